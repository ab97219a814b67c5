#include "lookdev/server.h"

#include "cli.h"
#include "error.h"
#include "files.h"
#include "geometry.h"
#include "image_output.h"
#include "integrator.h"
#include "json_reader.h"
#include "lookdev/assets.h"
#include "lookdev/values.h"
#include "render_scene.h"
#include "scene.h"
#include "session.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <iterator>
#include <mutex>
#include <pthread.h>
#include <random>
#include <thread>

namespace oska::render {

namespace {

using lookdev::json;
using Clock = std::chrono::steady_clock;

constexpr double kPi = 3.14159265358979323846;
constexpr std::size_t kMessagesKept = 200;
constexpr std::size_t kLargestRequest = 64 * 1024;
constexpr long long kLargestScene = 64LL * 1024 * 1024;

struct ServeArguments : SceneArguments {
    int port = 0; // 0: a free one
};

ServeArguments parse_serve(int argc, const char *const *argv) {
    ServeArguments args;
    for_each_word(argc, argv, [&](const std::string &arg, const Value &value) {
        if (arg == "--port") {
            args.port = parse_whole_number(arg, value(), 0, 65535);
        } else if (arg == "--help" || arg == "-h") {
            throw Usage{};
        } else {
            args.take(arg, value);
        }
    });
    if (args.scene.empty()) {
        throw Usage{"serve needs a scene file (it saves the lights back into it)"};
    }
    return args;
}

// The scene file's text, of a size the server is willing to hold.
std::string read_scene_text(const std::string &path) {
    return read_regular_file(path, path, kLargestScene);
}

std::string random_token() {
    std::random_device device; // the kernel's random source
    std::string token;
    const char *hex = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) {
        uint32_t word = device();
        for (int nibble = 0; nibble < 8; ++nibble) {
            token += hex[(word >> (4 * nibble)) & 15u];
        }
    }
    return token;
}

// Compares in time that does not depend on where the texts differ.
bool same_secret(const std::string &given, const std::string &secret) {
    unsigned difference = given.size() == secret.size() ? 0 : 1;
    for (std::size_t i = 0; i < secret.size(); ++i) {
        difference |= static_cast<unsigned char>(i < given.size() ? given[i] : 0) ^
                      static_cast<unsigned char>(secret[i]);
    }
    return difference == 0;
}

// What the page builds a parameter's control from: its name and type, and
// from the shader's parameter table the kind of control, the range and unit
// an artist works in and a one-line description.
json control_of(const std::string &shader, const ParamDecl &param) {
    json control = {{"name", param.name}, {"type", type_name(param.type)}};
    control["kind"] = control["type"];
    const oska_param_info *row = param_row(shader, param.name);
    if (row == nullptr || row->type != static_cast<int>(param.type)) {
        return control;
    }
    if ((row->flags & OSKA_PARAM_DECAY) != 0) {
        control["kind"] = "choice";
#define OSKA_DECAY_CHOICE(name, code, text) {code, text},
        control["choices"] = json::array({OSKA_DECAY_LAWS(OSKA_DECAY_CHOICE)});
#undef OSKA_DECAY_CHOICE
    } else if ((row->flags & OSKA_PARAM_CHANNEL) != 0) {
        control["kind"] = "channel";
    }
    if (row->min < row->max) {
        control["range"] = {row->min, row->max};
    }
    control["unit"] = row->unit;
    control["description"] = row->description;
    return control;
}

// Whether law `law` (OSKA_DECAY_...) works within a range.
bool ranged_decay(int law) { return law == OSKA_DECAY_LINEAR || law == OSKA_DECAY_INVERSE_POWER; }

// What the page notes of the distance curve: the law of falloff, whether it
// works within a range and that range, and the level below which a sample
// goes dark, each role with the name of its parameter.
void describe_distance(json &curve, const lookdev::Roles &p) {
    const int law = p.word(OSKA_PARAM_DECAY);
    curve["law"] = {{"name", p.name(OSKA_PARAM_DECAY)}, {"value", law}};
    curve["ranged"] = ranged_decay(law);
    curve["start"] = p.scalar(OSKA_PARAM_RANGE_START);
    curve["end"] = p.scalar(OSKA_PARAM_RANGE_END);
    curve["limit"] = {{"name", p.name(OSKA_PARAM_THRESHOLD)},
                      {"value", p.scalar(OSKA_PARAM_THRESHOLD)}};
}

// What it notes of the angle curve: whether the light emits from its front
// only, and the angle beyond which nothing arrives then (-1 otherwise).
void describe_angle(json &curve, const lookdev::Roles &p) {
    const bool front_only = p.word(OSKA_PARAM_FRONT_ONLY) != 0;
    const float edge = std::clamp(p.scalar(OSKA_PARAM_CUTOFF), -1.0f, 1.0f);
    curve["front"] = {{"name", p.name(OSKA_PARAM_FRONT_ONLY)}, {"on", front_only}};
    curve["edge"] = {{"name", p.name(OSKA_PARAM_CUTOFF)},
                     {"degrees", front_only ? std::acos(edge) * 180 / kPi : -1.0}};
}

// What the light's colour comes from: a vertex colour when vertex data and
// its switch are on, else the texel when the image is on and named;
// "" for neither.
std::string colour_source(const lookdev::Roles &p) {
    const oska_param_info *vertex = p.row(OSKA_PARAM_VERTEX_SOURCE);
    if (p.word(OSKA_PARAM_VERTEX_DATA) != 0 && p.word(vertex) != 0) {
        return "vertex colour " + std::to_string(p.word(p.next(vertex)));
    }
    if (p.word(OSKA_PARAM_TEXTURE_SOURCE) != 0 && p.word(OSKA_PARAM_TEXTURE) != 0) {
        return "texel";
    }
    return "";
}

// `base` with the parameter of `row` set: every number of it (a colour's
// channels, a scalar) to `number`, and its word (an integer, boolean or tag) 0.
ShaderCall with(ShaderCall base, const oska_param_info &row, int number) {
    const std::vector<ParamDecl> &decls = base.decl->params;
    auto at = std::find_if(decls.begin(), decls.end(), [&](const ParamDecl &d) {
        return d.offset == static_cast<std::size_t>(row.offset);
    });
    const ParamDecl *decl = at == decls.end() ? nullptr : &*at;
    auto it = std::find_if(base.params.begin(), base.params.end(),
                           [&](const ParamSetting &s) { return s.decl == decl; });
    if (it == base.params.end()) {
        it = base.params.insert(it, ParamSetting{});
        it->decl = decl;
    }
    std::fill(std::begin(it->numbers), std::end(it->numbers), static_cast<float>(number));
    it->integer = 0;
    return base;
}

// A render published to the page: tone-mapped, sRGB, 8 bits, RGBA.
struct Frame {
    uint64_t serial = 0;
    uint64_t generation = 0;
    std::string pass;
    bool final = false;
    int width = 0, height = 0;
    std::string rgba;
};

class Lookdev {
  public:
    Lookdev(Scene scene, std::string text, LoadOptions load, int threads)
        : load_(std::move(load)), scene_(std::move(scene)), text_(std::move(text)) {
        settings_ = settings_of(scene_, threads);
        SessionOptions options;
        options.report = [this](const std::string &line) { note("warning", line); };
        session_ = std::make_unique<Session>(scene_, options);
    }

    void open() {
        session_->open();
        for (const LightDesc &light : scene_.lights) {
            std::vector<std::string> given;
            for (const ParamSetting &setting : light.shader.params) {
                given.push_back(setting.decl->name);
            }
            lights_.push_back({light.name, light.where, light.shader.shader, light.shader.decl,
                               lookdev::light_values(light), light.shader, false, given});
            curves_.push_back(curves(lights_.size() - 1));
        }
        change_time_ = Clock::now();
        worker_ = std::thread([this] { render_loop(); });
    }

    // Stops rendering and takes the session down; throws Error for the
    // library's leaks.
    void close() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            cancel_ = true;
        }
        work_.notify_all();
        frames_.notify_all();
        if (worker_.joinable()) {
            worker_.join();
        }
        session_->close();
    }

    ~Lookdev() {
        if (worker_.joinable()) {
            try {
                close();
            } catch (const std::exception &) {
            }
        }
    }

    void serve(httplib::Server &server, const std::string &token, int port);

  private:
    void note(const std::string &level, const std::string &text) {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back({{"index", message_count_++}, {"level", level}, {"text", text}});
        if (messages_.size() > kMessagesKept) {
            messages_.pop_front();
        }
        frames_.notify_all();
    }

    // ---- What the page sees of the lights.
    json scene_json() {
        json lights = json::array();
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = 0; i < scene_.lights.size(); ++i) {
            const BoundLight &bound = session_->lights()[i];
            const Mesh &mesh = scene_.objects[bound.object].mesh;
            json channels = json::array();
            for (std::size_t n = 1; n < mesh.channels.size(); ++n) {
                if (!mesh.channels[n].empty()) {
                    channels.push_back(n);
                }
            }
            lights.push_back({{"name", lights_[i].name},
                              {"object", scene_.objects[bound.object].name},
                              {"channels", channels},
                              {"params", lights_[i].values}});
        }
        json declarations = json::array();
        for (const ParamDecl &param : lights_.at(0).decl->params) {
            if (!param.array) {
                declarations.push_back(control_of(lights_.at(0).decl->name, param));
            }
        }
        json textures = json::array();
        for (const TextureDesc &image : scene_.textures) {
            textures.push_back(image.name);
        }
        // The file's name without its folder (with none, rfind's npos + 1 is 0).
        return {{"file", scene_.file.substr(scene_.file.rfind('/') + 1)},
                {"width", settings_.width},
                {"height", settings_.height},
                {"lights", lights},
                {"declarations", declarations},
                {"textures", textures},
                {"generation", generation_}};
    }

    // One change from the page: checked as the scene file's would be, then
    // handed to the render thread. Nothing changes when it is refused.
    json change(const json &request) {
        if (!request.is_object() || !request.contains("light") || !request.contains("name") ||
            !request.contains("value") || !request["light"].is_number_integer() ||
            !request["name"].is_string()) {
            throw Error("expected {\"light\": index, \"name\": parameter, \"value\": value}");
        }
        auto index = request["light"].get<long long>();
        if (index < 0 || index >= static_cast<long long>(scene_.lights.size())) {
            throw Error("no light " + std::to_string(index));
        }
        auto i = static_cast<std::size_t>(index);
        Light &light = lights_[i];
        std::string name = request["name"].get<std::string>();
        const ParamDecl *decl = light.decl->find(name);
        if (decl == nullptr || decl->array) {
            throw Error(light.where + ": " + light.shader + " has no parameter '" + name + "'");
        }
        json values = values_at(i);
        json value = request["value"];
        if (decl->type == ParamType::color && value.is_array() && value.size() == 3) {
            value.push_back(1);
        }
        values[name] = value;
        json params = json::object();
        for (auto it = values.begin(); it != values.end(); ++it) {
            // A tag of "" names nothing: the parameter stays unset (zero).
            const ParamDecl *param = light.decl->find(it.key());
            bool unset = param != nullptr && param->type == ParamType::tag && *it == "";
            if (!unset) {
                params[it.key()] = *it;
            }
        }
        ShaderCall call = parse_shader_params(scene_, light.shader, params.dump(), light.where);
        session_->check_light(i, call);
        std::lock_guard<std::mutex> lock(mutex_);
        light.values = values;
        light.desired = std::move(call);
        light.dirty = true;
        if (std::find(light.given.begin(), light.given.end(), name) == light.given.end()) {
            light.given.push_back(name);
        }
        ++generation_;
        change_time_ = Clock::now();
        cancel_ = true;
        work_.notify_all();
        return {{"generation", generation_}};
    }

    json save() {
        std::lock_guard<std::mutex> saving(save_mutex_);
        std::vector<json> params;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const Light &light : lights_) {
                params.push_back(lookdev::params_to_write(*light.decl, light.values, light.given));
            }
        }
        const std::string &path = scene_.file;
        if (read_scene_text(path) != text_) {
            throw Error(path + ": changed on disk since it was opened; not overwritten");
        }
        std::string text = lookdev::splice_light_params(text_, params);
        // What is written must read back as the same scene with these lights.
        Scene check = load_scene_text(text, path, scene_.base_dir, load_);
        for (std::size_t i = 0; i < check.lights.size(); ++i) {
            json expected = lookdev::params_to_write(*check.lights[i].shader.decl,
                                                     lookdev::light_values(check.lights[i]), {});
            json wanted = lookdev::params_to_write(*lights_[i].decl, values_at(i), {});
            if (expected != wanted) {
                throw Error(path + ": the lights would not read back as set; not saved");
            }
        }
        // The previous version goes beside it first; on a failure the file is
        // as it was. Neither may replace another file the scene reads.
        std::vector<std::string> others = scene_.inputs;
        if (std::string problem = replace_problem(path, others); !problem.empty()) {
            throw Error(path + ": cannot write the scene: " + problem);
        }
        others.push_back(path);
        replace_file(path + ".bak", text_.data(), text_.size(), "backup", others);
        others.pop_back();
        replace_file(path, text.data(), text.size(), "scene", others);
        text_ = text;
        return {{"file", path}, {"backup", path + ".bak"}};
    }

    json values_at(std::size_t i) {
        std::lock_guard<std::mutex> lock(mutex_);
        return lights_[i].values;
    }

    // ---- The light's response, from the library through the host.

    // The light's states for a light sample at the centre of its object's
    // first face, head-on, at distance `d`.
    json curves(std::size_t i) {
        const BoundLight &bound = session_->lights()[i];
        const ShaderCall &call = scene_.lights[i].shader;
        const Mesh &mesh = scene_.objects[bound.object].mesh;
        const float third = 1.0f / 3.0f;
        SurfacePoint point = surface_point(mesh, 0, third, third, false);
        std::vector<oska_vector> vectors(static_cast<std::size_t>(bound.vector_count));
        vectors[0] = {point.uv.x, point.uv.y, point.uv.z};
        for (int n = 1; 2 * n < bound.vector_count; ++n) {
            Vec3 v = channel_at(mesh, static_cast<std::size_t>(n), 0, third, third);
            vectors[static_cast<std::size_t>(2 * n)] = {v.x, v.y, v.z};
        }
        auto state_at = [&](double distance, float emission_cosine) {
            oska_state state{};
            state.ray_kind = OSKA_RAY_LIGHT;
            state.distance = distance;
            state.emission_dot = -emission_cosine;
            state.orientation = emission_cosine > 0 ? 1 : 0;
            state.vectors = vectors.data();
            state.vector_count = bound.vector_count;
            return state;
        };
        const lookdev::Roles p(lights_[i].shader, bound.params);
        const float start = p.scalar(OSKA_PARAM_RANGE_START), end = p.scalar(OSKA_PARAM_RANGE_END);
        // A law's range sets the distances shown; otherwise 0 to 10, angles at 1.
        double far = 10, reference = 1;
        if (ranged_decay(p.word(OSKA_PARAM_DECAY)) && end > 0) {
            far = 1.25 * std::max(end, start);
            reference = 0.5 * (std::max(0.0f, start) + end);
        }
        constexpr int kSteps = 200;
        std::vector<oska_state> states;
        json distances = json::array(), angles = json::array();
        for (int s = 1; s <= kSteps; ++s) {
            double d = far * s / kSteps;
            distances.push_back(d);
            states.push_back(state_at(d, 1.0f));
        }
        for (int degrees = 0; degrees <= 180; ++degrees) {
            angles.push_back(degrees);
            states.push_back(
                state_at(reference, static_cast<float>(std::cos(degrees * kPi / 180))));
        }
        std::vector<Session::Answer> answers = session_->evaluate_light_at(i, call, states);
        auto series = [&](std::size_t from, std::size_t count) {
            json r = json::array(), g = json::array(), b = json::array();
            for (std::size_t k = from; k < from + count; ++k) {
                const Session::Answer &a = answers[k];
                r.push_back(a.accepted ? a.color.r : 0.0f);
                g.push_back(a.accepted ? a.color.g : 0.0f);
                b.push_back(a.accepted ? a.color.b : 0.0f);
            }
            return json{{"r", r}, {"g", g}, {"b", b}};
        };
        json distance = series(0, kSteps);
        distance["x"] = distances;
        describe_distance(distance, p);
        json angle = series(kSteps, 181);
        angle["x"] = angles;
        angle["distance"] = reference;
        describe_angle(angle, p);
        return {{"distance", distance}, {"angle", angle}, {"chain", chain(i, state_at(1, 1))}};
    }

    // The colour source, then after its HSV scaling, then after its highlights
    // are burnt: the shader's answer with everything that weakens the light off.
    json chain(std::size_t i, oska_state state) {
        const ShaderCall &call = scene_.lights[i].shader;
        const lookdev::Roles p(lights_[i].shader, session_->lights()[i].params);
        const std::string source = colour_source(p);
        const unsigned needed[] = {OSKA_PARAM_EMISSION, OSKA_PARAM_BURN, OSKA_PARAM_HSV};
        if (source.empty() || std::any_of(std::begin(needed), std::end(needed),
                                          [&](unsigned flag) { return p.row(flag) == nullptr; })) {
            return json::array();
        }
        ShaderCall plain = with(call, *p.row(OSKA_PARAM_EMISSION), 1);
        for (const oska_param_info *row : p.rows(OSKA_PARAM_ATTENUATES)) {
            plain = with(plain, *row, 0);
        }
        ShaderCall after_hsv = with(plain, *p.row(OSKA_PARAM_BURN), 0);
        ShaderCall bare = with(after_hsv, *p.row(OSKA_PARAM_HSV), 0);
        json out = json::array();
        const std::pair<std::string, const ShaderCall *> steps[] = {
            {source, &bare},
            {"after HSV", &after_hsv},
            {std::string("after ") + p.name(OSKA_PARAM_BURN), &plain}};
        for (const auto &[label, variant] : steps) {
            std::vector<oska_state> states{state};
            Session::Answer a = session_->evaluate_light_at(i, *variant, states)[0];
            out.push_back({{"label", label},
                           {"rgb", {a.color.r, a.color.g, a.color.b}},
                           {"accepted", a.accepted}});
        }
        return out;
    }

    // ---- The render thread: applies the latest parameters, then renders
    // coarse to full, giving up as soon as a newer change arrives.
    void render_loop() {
        uint64_t rendered = 0;
        for (;;) {
            std::vector<std::pair<std::size_t, ShaderCall>> changes;
            uint64_t generation;
            Clock::time_point changed;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                work_.wait(lock, [&] { return stopping_ || generation_ != rendered; });
                if (stopping_) {
                    return;
                }
                generation = generation_;
                changed = change_time_;
                for (std::size_t i = 0; i < lights_.size(); ++i) {
                    if (lights_[i].dirty) {
                        changes.emplace_back(i, lights_[i].desired);
                        lights_[i].dirty = false;
                    }
                }
                cancel_ = false;
            }
            for (auto &[i, call] : changes) {
                apply(i, std::move(call));
            }
            ++(render_passes(generation, changed) ? completed_ : cancelled_);
            std::lock_guard<std::mutex> lock(mutex_);
            if (curves_waiting_) {
                curves_waiting_ = false;
                ++curves_serial_;
                frames_.notify_all();
            }
            rendered = generation;
        }
    }

    void apply(std::size_t i, ShaderCall call) {
        ShaderCall before = scene_.lights[i].shader;
        scene_.lights[i].shader = std::move(call);
        try {
            session_->refresh_light(i, scene_.lights[i].shader);
            json made = curves(i);
            std::lock_guard<std::mutex> lock(mutex_);
            curves_[i] = std::move(made);
            curves_waiting_ = true; // shown with the first image of the change
        } catch (const Error &e) {
            // The library refused them: back to what it took before.
            note("error", e.what());
            scene_.lights[i].shader = std::move(before);
            try {
                session_->refresh_light(i, scene_.lights[i].shader);
            } catch (const Error &again) {
                note("error", again.what());
            }
            std::lock_guard<std::mutex> lock(mutex_);
            lights_[i].values = lookdev::light_values(scene_.lights[i]);
        }
    }

    bool render_passes(uint64_t generation, Clock::time_point changed) {
        struct Pass {
            const char *name;
            int divisor, spp, samples_divisor;
        };
        const Pass passes[] = {{"coarse", 4, 1, 8}, {"medium", 2, 1, 4}, {"full", 1, 0, 1}};
        for (const Pass &pass : passes) {
            RenderSettings settings = settings_;
            settings.width = std::max(1, settings_.width / pass.divisor);
            settings.height = std::max(1, settings_.height / pass.divisor);
            settings.spp = pass.spp > 0 ? pass.spp : settings_.spp;
            settings.light_samples = std::max(1, settings_.light_samples / pass.samples_divisor);
            settings.cancel = &cancel_;
            Framebuffer image = render(session_->lit(), settings, nullptr);
            if (cancel_.load()) {
                return false;
            }
            auto frame = std::make_shared<Frame>();
            frame->generation = generation;
            frame->pass = pass.name;
            frame->final = pass.divisor == 1;
            frame->width = image.width;
            frame->height = image.height;
            frame->rgba.assign(4 * image.rgb.size() / 3, static_cast<char>(255)); // opaque
            for (std::size_t c = 0; c < image.rgb.size(); ++c) {
                frame->rgba[c / 3 * 4 + c % 3] = static_cast<char>(display_value(image.rgb[c]));
            }
            double elapsed =
                std::chrono::duration<double, std::milli>(Clock::now() - changed).count();
            std::lock_guard<std::mutex> lock(mutex_);
            if (generation != generation_) {
                return false;
            }
            frame->serial = ++frame_serial_;
            frame_ = frame;
            if (curves_waiting_) {
                curves_waiting_ = false;
                ++curves_serial_;
            }
            (frame->final ? full_ms_ : pass.divisor == 4 ? coarse_ms_ : medium_ms_) = elapsed;
            frames_.notify_all();
        }
        return true;
    }

    // ---- Status for the page: waits up to a second for something newer
    // than what it has.
    json status(uint64_t frame_seen, uint64_t messages_seen, uint64_t curves_seen) {
        std::unique_lock<std::mutex> lock(mutex_);
        frames_.wait_for(lock, std::chrono::seconds(1), [&] {
            return stopping_ || frame_serial_ > frame_seen || message_count_ > messages_seen ||
                   curves_serial_ > curves_seen;
        });
        json messages = json::array();
        std::copy_if(messages_.begin(), messages_.end(), std::back_inserter(messages),
                     [&](const json &m) { return m["index"].get<uint64_t>() >= messages_seen; });
        json out = {
            {"generation", generation_},
            {"messages", messages},
            {"message_count", message_count_},
            {"renders_completed", completed_.load()},
            {"renders_cancelled", cancelled_.load()},
            {"timing_ms", {{"coarse", coarse_ms_}, {"medium", medium_ms_}, {"full", full_ms_}}},
            {"curves_serial", curves_serial_}};
        if (curves_serial_ > curves_seen) {
            out["curves"] = curves_;
        }
        if (frame_) {
            out["frame"] = {{"serial", frame_->serial},
                            {"generation", frame_->generation},
                            {"pass", frame_->pass},
                            {"final", frame_->final && frame_->generation == generation_},
                            {"width", frame_->width},
                            {"height", frame_->height}};
        }
        return out;
    }

    std::shared_ptr<const Frame> frame() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frame_;
    }

    LoadOptions load_; // how the scene was read: the saved one is read back so
    Scene scene_;
    std::string text_; // the scene file as last read or written
    RenderSettings settings_;
    std::unique_ptr<Session> session_;
    std::thread worker_;

    std::mutex mutex_, save_mutex_;
    std::condition_variable work_, frames_;
    bool stopping_ = false;
    std::atomic<bool> cancel_{false};
    uint64_t generation_ = 1;
    Clock::time_point change_time_;
    struct Light {
        // What the request threads read without the lock: fixed once open
        // (the render thread rewrites the scene's parameters, never these).
        std::string name, where, shader;
        const ShaderDecl *decl;
        // Under the lock.
        json values;                    // as the page sees them
        ShaderCall desired;             // the call the render thread is to apply
        bool dirty;                     // `desired` not yet applied
        std::vector<std::string> given; // parameters the file or the page set
    };
    std::vector<Light> lights_;
    std::vector<json> curves_; // a light's curves, as the page is sent them
    uint64_t curves_serial_ = 1;
    bool curves_waiting_ = false; // curves of a change not yet shown
    std::shared_ptr<const Frame> frame_;
    uint64_t frame_serial_ = 0;
    std::deque<json> messages_;
    uint64_t message_count_ = 0;
    std::atomic<long> completed_{0}, cancelled_{0};
    double coarse_ms_ = 0, medium_ms_ = 0, full_ms_ = 0;
};

void Lookdev::serve(httplib::Server &server, const std::string &token, int port) {
    const std::string here = "127.0.0.1:" + std::to_string(port);
    const std::string named = "localhost:" + std::to_string(port);
    server.set_payload_max_length(kLargestRequest);
    server.set_keep_alive_max_count(100);
    server.set_tcp_nodelay(true); // small answers go out at once, not after a delayed ack
    server.set_pre_routing_handler([=](const httplib::Request &req, httplib::Response &res) {
        auto refuse = [&](const std::string &why) {
            res.status = 403;
            res.set_content(json{{"error", why}}.dump(), "application/json");
            return httplib::Server::HandlerResponse::Handled;
        };
        // A page of another site, or this address under another name (DNS
        // rebinding), gets nothing.
        std::string host = req.get_header_value("Host");
        if (host != here && host != named) {
            return refuse("refused: this server answers only to " + here);
        }
        if (req.has_header("Origin")) {
            std::string origin = req.get_header_value("Origin");
            if (origin != "http://" + here && origin != "http://" + named) {
                return refuse("refused: requests from another origin");
            }
        }
        std::string given = req.has_header("X-Oska-Token") ? req.get_header_value("X-Oska-Token")
                                                           : req.get_param_value("token");
        if (!same_secret(given, token)) {
            return refuse("refused: the page's token is missing or wrong");
        }
        res.set_header("Cache-Control", "no-store");
        res.set_header("Referrer-Policy", "no-referrer");
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("X-Frame-Options", "DENY");
        return httplib::Server::HandlerResponse::Unhandled;
    });
    for (const lookdev::Asset &asset : lookdev::assets()) {
        std::string path = std::string("/") + asset.name;
        bool page = path == "/index.html";
        auto handler = [asset, page, token](const httplib::Request &, httplib::Response &res) {
            std::string body(reinterpret_cast<const char *>(asset.data), asset.size);
            if (page) {
                for (std::size_t at; (at = body.find("{{TOKEN}}")) != std::string::npos;) {
                    body.replace(at, 9, token);
                }
                res.set_header("Content-Security-Policy",
                               "default-src 'self'; style-src 'self' 'unsafe-inline'; "
                               "img-src 'self' data:; frame-ancestors 'none'");
            }
            res.set_content(body, std::string(asset.type) + "; charset=utf-8");
        };
        server.Get(path, handler);
        if (page) {
            server.Get("/", handler);
        }
    }
    auto reply = [](httplib::Response &res, const std::function<json()> &make) {
        try {
            res.set_content(make().dump(), "application/json");
        } catch (const Error &e) {
            res.status = 400;
            res.set_content(json{{"error", e.what()}}.dump(), "application/json");
        } catch (const std::exception &e) {
            res.status = 500;
            res.set_content(json{{"error", e.what()}}.dump(), "application/json");
        }
    };
    server.Get("/api/scene", [=](const httplib::Request &, httplib::Response &res) {
        reply(res, [&] { return scene_json(); });
    });
    server.Get("/api/status", [=](const httplib::Request &req, httplib::Response &res) {
        auto count = [&](const char *name) -> uint64_t {
            return std::strtoull(req.get_param_value(name).c_str(), nullptr, 10);
        };
        reply(res, [&] { return status(count("frame"), count("messages"), count("curves")); });
    });
    server.Get("/api/image", [=](const httplib::Request &, httplib::Response &res) {
        std::shared_ptr<const Frame> shown = frame();
        if (!shown) {
            res.status = 404;
            res.set_content(json{{"error", "no image yet"}}.dump(), "application/json");
            return;
        }
        res.set_header("X-Frame-Serial", std::to_string(shown->serial));
        res.set_header("X-Frame-Width", std::to_string(shown->width));
        res.set_header("X-Frame-Height", std::to_string(shown->height));
        res.set_header("X-Frame-Pass", shown->pass);
        res.set_header("X-Frame-Generation", std::to_string(shown->generation));
        res.set_header("X-Frame-Final", shown->final ? "1" : "0");
        res.set_content(shown->rgba, "application/octet-stream");
    });
    server.Post("/api/param", [=](const httplib::Request &req, httplib::Response &res) {
        reply(res, [&] {
            json request;
            try {
                request = parse_json(req.body);
            } catch (const Error &e) {
                throw Error(std::string("the request: ") + e.what());
            }
            return change(request);
        });
    });
    server.Post("/api/save", [=](const httplib::Request &, httplib::Response &res) {
        reply(res, [&] { return save(); });
    });
}

} // namespace

int run_serve(int argc, const char *const *argv, std::ostream &out, std::ostream &err) {
    ServeArguments args;
    try {
        args = parse_serve(argc, argv);
    } catch (const Usage &usage) {
        if (!usage.what.empty()) {
            err << "oska-render serve: " << printable(usage.what) << "\n";
        }
        err << "usage: oska-render serve SCENE.json [--port N] [--threads N] [--library FILE]\n"
               "                          [--allow-scene-library] [--max-image-memory MIB]\n"
               "Serves a page on 127.0.0.1 for tuning the scene's lights live.\n";
        return usage.what.empty() ? 0 : 2;
    }
    // SIGINT and SIGTERM end the server through a thread of its own; every
    // other thread leaves them blocked.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    try {
        std::string text = read_scene_text(args.scene);
        LoadOptions load = args.load_options();
        Scene scene =
            load_scene(SceneSource::from_text(text, args.scene, directory_of(args.scene)), load);
        if (scene.lights.empty()) {
            throw Error(args.scene + ": has no light to tune");
        }
        Lookdev lookdev(std::move(scene), text, load, args.thread_count());
        lookdev.open();

        httplib::Server server;
        int port = args.port;
        if (port == 0) {
            port = server.bind_to_any_port("127.0.0.1");
        } else if (!server.bind_to_port("127.0.0.1", port)) {
            port = -1;
        }
        if (port < 0) {
            throw Error("cannot listen on 127.0.0.1:" + std::to_string(args.port));
        }
        std::string token = random_token();
        lookdev.serve(server, token, port);
        std::thread stopper([&] {
            int signal = 0;
            sigwait(&stop_signals, &signal);
            server.stop();
        });
        out << "oska lookdev: http://127.0.0.1:" << port << "/?token=" << token << std::endl;
        bool listened = server.listen_after_bind();
        if (!listened) {
            pthread_kill(stopper.native_handle(), SIGTERM);
        }
        stopper.join();
        lookdev.close();
        return listened ? 0 : 1;
    } catch (const std::exception &e) {
        err << "oska-render: " << printable(e.what()) << "\n";
        return 1;
    }
}

} // namespace oska::render
