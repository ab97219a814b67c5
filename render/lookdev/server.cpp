#include "lookdev/server.h"

#include "cli.h"
#include "error.h"
#include "files.h"
#include "geometry.h"
#include "image_output.h"
#include "integrator.h"
#include "json_reader.h"
#include "lookdev/assets.h"
#include "lookdev/curves.h"
#include "lookdev/history.h"
#include "lookdev/http.h"
#include "lookdev/values.h"
#include "render_scene.h"
#include "scene.h"
#include "session.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <random>
#include <thread>
#include <tuple>

namespace oska::render {

namespace {

using lookdev::json;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMessagesKept = 200;
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

// The file `path` names, through any symbolic links; `path` when it names
// nothing (the read that follows then says so).
std::string link_target(const std::string &path) {
    std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : path;
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
                               lookdev::light_values(light), light.shader, false, given,
                               lookdev::light_values(light)});
            curves_.push_back(lookdev::response_curves(*session_, scene_, lights_.size() - 1));
            curves_shown_.push_back(curves_serial_);
            curves_waiting_.push_back(false);
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
        changed_();
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

    void serve(lookdev::HttpServer &server, const std::string &token);

  private:
    void note(const std::string &level, const std::string &text) {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back({{"index", message_count_++}, {"level", level}, {"text", text}});
        if (messages_.size() > kMessagesKept) {
            messages_.pop_front();
        }
        changed_();
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

    // One change from a page: the parameters it sets on one light, checked
    // together as the scene file's would be and applied together; nothing
    // changes when any is refused. Changes are taken one at a time, each on
    // the values the last one left, so none is lost.
    json change(const json &request) {
        auto [i, set, stroke] = parse_change(request);
        std::lock_guard<std::mutex> changing(change_mutex_);
        json before = values_at(i);
        json held = set_values(i, set);
        json was = json::object();
        for (auto it = held.begin(); it != held.end(); ++it) {
            was[it.key()] = before[it.key()];
        }
        history_.record(i, was, held, stroke);
        return committed(held);
    }

    // Undo (`back`) or redo one step of every page's history.
    json take_step(bool back) {
        std::lock_guard<std::mutex> changing(change_mutex_);
        const lookdev::Step *step = history_.next(back);
        if (step == nullptr) {
            throw Error(back ? "nothing to undo" : "nothing to redo");
        }
        json held = set_values(step->light, back ? step->before : step->after);
        history_.take(back);
        json out = committed(held);
        out["light"] = step->light;
        return out;
    }

    // A change as asked: {"light": index, "set": {name: value, ...}, "stroke":
    // text}, or one parameter as {"light": index, "name": name, "value": value}.
    std::tuple<std::size_t, json, std::string> parse_change(const json &request) const {
        const bool one = request.is_object() && request.contains("name") &&
                         request["name"].is_string() && request.contains("value");
        const bool many = request.is_object() && request.contains("set") &&
                          request["set"].is_object() && !request["set"].empty();
        if (!request.is_object() || !request.contains("light") ||
            !request["light"].is_number_integer() || !(one || many)) {
            throw Error("expected {\"light\": index, \"set\": {parameter: value, ...}} or "
                        "{\"light\": index, \"name\": parameter, \"value\": value}");
        }
        auto index = request["light"].get<long long>();
        if (index < 0 || index >= static_cast<long long>(scene_.lights.size())) {
            throw Error("no light " + std::to_string(index));
        }
        json set =
            many ? request["set"] : json{{request["name"].get<std::string>(), request["value"]}};
        std::string stroke;
        if (request.contains("stroke") && request["stroke"].is_string()) {
            stroke = request["stroke"].get<std::string>();
        }
        return {static_cast<std::size_t>(index), set, stroke};
    }

    // Sets `set` on light `i` and hands it to the render thread; gives the
    // values set as the light's record holds them (single precision), which
    // is what the page shows and Save writes.
    json set_values(std::size_t i, const json &set) {
        Light &light = lights_[i];
        json values = values_at(i);
        for (auto it = set.begin(); it != set.end(); ++it) {
            const ParamDecl *decl = light.decl->find(it.key());
            if (decl == nullptr || decl->array) {
                throw Error(light.where + ": " + light.shader + " has no parameter '" + it.key() +
                            "'");
            }
            json value = *it;
            if (decl->type == ParamType::color && value.is_array() && value.size() == 3) {
                value.push_back(1);
            }
            values[it.key()] = value;
        }
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
        LightDesc as_held;
        as_held.shader = call;
        values = lookdev::light_values(as_held);
        json held = json::object();
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = set.begin(); it != set.end(); ++it) {
            held[it.key()] = values[it.key()];
            if (std::find(light.given.begin(), light.given.end(), it.key()) == light.given.end()) {
                light.given.push_back(it.key());
            }
        }
        light.values = values;
        light.desired = std::move(call);
        light.dirty = true;
        ++generation_;
        ++values_serial_;
        change_time_ = Clock::now();
        cancel_ = true;
        work_.notify_all();
        return held;
    }

    // The answer to a change, once its history is recorded.
    json committed(const json &held) {
        std::lock_guard<std::mutex> lock(mutex_);
        undoable_ = history_.undoable();
        redoable_ = history_.redoable();
        changed_();
        return {{"generation", generation_}, {"values", held}};
    }

    json save() {
        std::lock_guard<std::mutex> saving(save_mutex_);
        std::vector<json> params, values;
        uint64_t serial = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            // A light left as the file has it keeps its text as it is.
            for (const Light &light : lights_) {
                params.push_back(
                    light.values == light.written
                        ? json()
                        : lookdev::params_to_write(*light.decl, light.values, light.given));
                values.push_back(light.values);
            }
            serial = values_serial_;
        }
        // A scene opened through a symbolic link is written where the link
        // leads, and the link stays.
        const std::string path = link_target(scene_.file);
        if (read_scene_text(path) != text_) {
            throw Error(path + ": changed on disk since it was opened; not overwritten");
        }
        std::string text = lookdev::splice_light_params(text_, params);
        // What is written must read back as the same scene with these lights.
        Scene check = load_scene_text(text, path, scene_.base_dir, load_);
        for (std::size_t i = 0; i < check.lights.size(); ++i) {
            json expected = lookdev::params_to_write(*check.lights[i].shader.decl,
                                                     lookdev::light_values(check.lights[i]), {});
            json wanted = lookdev::params_to_write(*lights_[i].decl, values[i], {});
            for (auto it = wanted.begin(); it != wanted.end(); ++it) {
                if (!expected.contains(it.key()) || expected[it.key()] != *it) {
                    throw Error(path + ": " + lights_[i].name + "'s " + it.key() +
                                " would not read back as " + it->dump() + "; not saved");
                }
            }
            if (expected.size() != wanted.size()) {
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
        for (std::size_t i = 0; i < lights_.size(); ++i) {
            lights_[i].written = values[i];
        }
        std::lock_guard<std::mutex> lock(mutex_);
        // The pages hear of it through the count: saved, unless a change came
        // in while writing.
        const bool current = serial == values_serial_;
        ++values_serial_;
        saved_serial_ = current ? values_serial_ : serial;
        changed_();
        return {{"file", path}, {"backup", path + ".bak"}};
    }

    json values_at(std::size_t i) {
        std::lock_guard<std::mutex> lock(mutex_);
        return lights_[i].values;
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
            if (publish_curves()) {
                changed_();
            }
            rendered = generation;
        }
    }

    void apply(std::size_t i, ShaderCall call) {
        ShaderCall before = scene_.lights[i].shader;
        scene_.lights[i].shader = std::move(call);
        try {
            session_->refresh_light(i, scene_.lights[i].shader);
            json made = lookdev::response_curves(*session_, scene_, i);
            std::lock_guard<std::mutex> lock(mutex_);
            curves_[i] = std::move(made);
            curves_waiting_[i] = true; // shown with the first image of the change
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
            ++values_serial_;
            changed_();
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
            Framebuffer image = render(*session_, settings, nullptr);
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
            publish_curves();
            (frame->final ? full_ms_ : pass.divisor == 4 ? coarse_ms_ : medium_ms_) = elapsed;
            changed_();
        }
        return true;
    }

    // The curves of light `i` as they were last shown.
    json curves_of(uint64_t i) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (i >= lights_.size()) {
            throw Error("no light " + std::to_string(i));
        }
        return {{"light", i}, {"serial", curves_shown_[i]}, {"data", curves_[i]}};
    }

    // The curves of the change just rendered become the pages'; under
    // mutex_. Whether there were any.
    bool publish_curves() {
        if (std::none_of(curves_waiting_.begin(), curves_waiting_.end(),
                         [](bool w) { return w; })) {
            return false;
        }
        ++curves_serial_;
        for (std::size_t i = 0; i < curves_waiting_.size(); ++i) {
            if (curves_waiting_[i]) {
                curves_waiting_[i] = false;
                curves_shown_[i] = curves_serial_;
            }
        }
        return true;
    }

    // ---- Status for the page: nothing (it then waits) while there is
    // nothing newer than what it has, unless `now`.
    std::optional<json> status(const std::function<uint64_t(const char *)> &seen, bool now) {
        std::unique_lock<std::mutex> lock(mutex_);
        const uint64_t messages_seen = seen("messages");
        // Curves only of the light in view: they are most of what a status weighs.
        const std::size_t in_view = std::min<std::size_t>(seen("light"), lights_.size() - 1);
        if (!now && !stopping_ && frame_serial_ <= seen("frame") &&
            message_count_ <= messages_seen && curves_shown_[in_view] <= seen("curves") &&
            values_serial_ <= seen("values")) {
            return std::nullopt;
        }
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
        if (curves_shown_[in_view] > seen("curves")) {
            out["curves"] = {{"light", in_view}, {"data", curves_[in_view]}};
        }
        // What every page shows of the values, whoever changed them.
        out["values_serial"] = values_serial_;
        if (values_serial_ > seen("values")) {
            json lights = json::array();
            for (const Light &light : lights_) {
                lights.push_back(light.values);
            }
            out["values"] = {{"lights", lights},
                             {"undo", undoable_},
                             {"redo", redoable_},
                             {"unsaved", saved_serial_ != values_serial_}};
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
    std::mutex change_mutex_;  // one change at a time; taken before mutex_
    lookdev::History history_; // under change_mutex_
    // Under mutex_: counts the changes of the values the pages show, and
    // that count when they were last saved.
    uint64_t values_serial_ = 1, saved_serial_ = 1;
    std::size_t undoable_ = 0, redoable_ = 0;
    std::condition_variable work_;
    std::function<void()> changed_ = [] {}; // tells waiting pages; set before open()
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
        json written;                   // the values as the file holds them; under save_mutex_
    };
    std::vector<Light> lights_;
    std::vector<json> curves_; // a light's curves, as the page is sent them
    uint64_t curves_serial_ = 1;
    std::vector<uint64_t> curves_shown_; // the serial at which each light's were
    std::vector<bool> curves_waiting_;   // curves of a change not yet shown
    std::shared_ptr<const Frame> frame_;
    uint64_t frame_serial_ = 0;
    std::deque<json> messages_;
    uint64_t message_count_ = 0;
    std::atomic<long> completed_{0}, cancelled_{0};
    double coarse_ms_ = 0, medium_ms_ = 0, full_ms_ = 0;
};

// The page's files, with the token written into the page itself.
void serve_assets(lookdev::HttpServer &server, const std::string &token) {
    for (const lookdev::Asset &asset : lookdev::assets()) {
        std::string path = std::string("/") + asset.name;
        bool page = path == "/index.html";
        auto handler = [asset, page, token](const lookdev::HttpRequest &) {
            lookdev::HttpResponse res;
            res.body.assign(reinterpret_cast<const char *>(asset.data), asset.size);
            if (page) {
                for (std::size_t at; (at = res.body.find("{{TOKEN}}")) != std::string::npos;) {
                    res.body.replace(at, 9, token);
                }
                res.headers.emplace_back("Content-Security-Policy",
                                         "default-src 'self'; style-src 'self' 'unsafe-inline'; "
                                         "img-src 'self' data:; frame-ancestors 'none'");
            }
            res.type = std::string(asset.type) + "; charset=utf-8";
            return std::optional<lookdev::HttpResponse>(res);
        };
        server.get(path, handler);
        if (page) {
            server.get("/", handler);
        }
    }
}

json request_json(const std::string &body) {
    try {
        return parse_json(body);
    } catch (const Error &e) {
        throw Error(std::string("the request: ") + e.what());
    }
}

// An answer of `make()`, or its error: 400 for a refused request.
std::optional<lookdev::HttpResponse> reply(const std::function<std::optional<json>()> &make) {
    lookdev::HttpResponse res;
    try {
        std::optional<json> made = make();
        if (!made) {
            return std::nullopt;
        }
        res.body = made->dump();
    } catch (const Error &e) {
        res.status = 400;
        res.body = json{{"error", e.what()}}.dump();
    }
    return res;
}

void Lookdev::serve(lookdev::HttpServer &server, const std::string &token) {
    changed_ = [&server] { server.wake(); };
    serve_assets(server, token);
    using Request = lookdev::HttpRequest;
    server.get("/api/scene",
               [this](const Request &) { return reply([&] { return scene_json(); }); });
    server.get("/api/status", [this](const Request &req) {
        auto count = [&](const char *name) -> uint64_t {
            return std::strtoull(req.arg(name).c_str(), nullptr, 10);
        };
        return reply([&] { return status(count, !req.patient); });
    });
    server.get("/api/curves", [this](const Request &req) {
        return reply(
            [&] { return curves_of(std::strtoull(req.arg("light").c_str(), nullptr, 10)); });
    });
    server.get("/api/image", [this](const Request &) {
        std::shared_ptr<const Frame> shown = frame();
        lookdev::HttpResponse res;
        if (!shown) {
            res.status = 404;
            res.body = json{{"error", "no image yet"}}.dump();
            return std::optional(res);
        }
        res.headers = {{"X-Frame-Serial", std::to_string(shown->serial)},
                       {"X-Frame-Width", std::to_string(shown->width)},
                       {"X-Frame-Height", std::to_string(shown->height)},
                       {"X-Frame-Pass", shown->pass},
                       {"X-Frame-Generation", std::to_string(shown->generation)},
                       {"X-Frame-Final", shown->final ? "1" : "0"}};
        res.type = "application/octet-stream";
        res.body = shown->rgba;
        return std::optional(res);
    });
    server.post("/api/param", [this](const Request &req) {
        return reply([&] { return change(request_json(req.body)); });
    });
    server.post("/api/change", [this](const Request &req) {
        return reply([&] { return change(request_json(req.body)); });
    });
    server.post("/api/undo",
                [this](const Request &) { return reply([&] { return take_step(true); }); });
    server.post("/api/redo",
                [this](const Request &) { return reply([&] { return take_step(false); }); });
    server.post("/api/save", [this](const Request &) { return reply([&] { return save(); }); });
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
    // SIGINT and SIGTERM end the server: this thread waits for them, every
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
        std::string token = random_token();
        lookdev::HttpServer server(token);
        lookdev.serve(server, token);
        lookdev.open();
        int port = server.start(args.port);
        out << "oska lookdev: http://127.0.0.1:" << port << "/?token=" << token << std::endl;
        int signal = 0;
        sigwait(&stop_signals, &signal);
        server.stop();
        lookdev.close();
        return 0;
    } catch (const std::exception &e) {
        err << "oska-render: " << printable(e.what()) << "\n";
        return 1;
    }
}

} // namespace oska::render
