#include "session.h"

#include "declarations.h"
#include "error.h"
#include "files.h"

#include <oska/host/library.h>

#include <algorithm>
#include <cstring>
#include <fstream>

namespace oska::render {

namespace {

// The shader reads the vector list at twice the channel numbers it is
// given; a channel the object lacks would be read past the list's end. A
// channel is used when vertex data is on and so is the boolean before it.
void check_channels(const Scene &scene, const std::string &where, int object,
                    const oskacolor_params &params) {
    const Mesh &mesh = scene.objects[object].mesh;
    const Roles p("oskacolor", &params);
    if (p.word(OSKA_ROLE_VERTEX_DATA) == 0) {
        return;
    }
    for (const oska_param_info *use : p.rows(OSKA_PARAM_CHANNEL)) {
        if (use == p.table().begin() || p.word(use - 1) == 0) {
            continue;
        }
        const int32_t channel = p.word(use);
        bool present = channel == 0 ||
                       (channel > 0 && static_cast<std::size_t>(channel) < mesh.channels.size() &&
                        !mesh.channels[channel].empty());
        if (!present) {
            throw Error(scene.file + ": " + where + ": " + use->name + " " +
                        std::to_string(channel) + ": object '" + scene.objects[object].name +
                        "' has no vertex channel " + std::to_string(channel));
        }
    }
}

// Camera-visible points are at trace level 0: a depth limit of 0 or less
// turns shadow tracing off, which is rarely what was meant. The warning, or
// "" when shadow tracing is off or happens.
std::string depth_warning(const oskacolor_params &params) {
    const Roles p("oskacolor", &params);
    const int32_t limit = p.word(OSKA_ROLE_DEPTH);
    if (p.word(OSKA_ROLE_SHADOWS) == 0 || limit > 0) {
        return "";
    }
    const std::string tracing = p.name(OSKA_ROLE_SHADOWS), depth = p.name(OSKA_ROLE_DEPTH);
    return "warning: " + tracing + " is on but " + depth + " is " + std::to_string(limit) +
           ", so no shadow is traced (set " + depth + " to 1 or more)";
}

// The bytes of the array elements laid after the record.
std::size_t array_bytes(const ShaderCall &call) {
    std::size_t bytes = 0;
    for (const ParamSetting &setting : call.params) {
        if (setting.decl->array) {
            bytes += 4 * setting.names.size();
        }
    }
    return bytes;
}

// The library must be a file, and one the system can load as a shared
// library, before it is loaded: a loader's own message for anything else
// says little.
void check_library_file(const std::string &scene_file, const std::string &library) {
    const std::string where = scene_file + ": library '" + library + "': ";
    if (std::string problem = file_problem(library); !problem.empty()) {
        throw Error(where + problem);
    }
    char magic[4] = {};
    std::ifstream in(library, std::ios::binary);
    if (!in.read(magic, sizeof magic) || std::string(magic, 4) != "\177ELF") {
        throw Error(where + "not a shader library (not a shared library at all)");
    }
}

} // namespace

std::string default_library_path() { return host::built_library_path(); }

void check_shader_library(const std::string &scene_file, const std::string &library) {
    check_library_file(scene_file, library);
    if (host::Library trial; !trial.load(library)) {
        throw Error(scene_file + ": library '" + library + "': not a shader library (" +
                    trial.error + ")");
    }
}

// One shader of the library: its exports, whether it wants per-instance
// init calls, and its instances in the order they were made.
struct Session::Shader {
    std::string name;
    oska_version_fn version = nullptr;
    oska_init_fn init = nullptr;
    oska_exit_fn exit = nullptr;
    oska_shader_fn call = nullptr;
    oska_state *wide_state = nullptr; // for the shader-wide init and exit
    bool per_instance = false;        // the shader-wide init asked for instance inits

    struct Instance {
        host::ShaderInstance *shader;
        oska_state *state;
        std::string where;
        bool initialised;
    };
    std::vector<Instance> instances;
};

std::string Session::located(const std::string &where, const std::string &what) const {
    return scene_.file + ": " + where + ": " + what;
}

Session::Session(const Scene &scene, SessionOptions options)
    : scene_(scene), options_(std::move(options)) {}

Session::~Session() { teardown(); }

// Adds an instance of `s`, and runs its instance init when the shader asked
// for instance inits.
void Session::start_instance(Shader &s, host::ShaderInstance &instance, oska_state &state,
                             const std::string &where) {
    s.instances.push_back({&instance, &state, where, false});
    if (s.per_instance) {
        oska_boolean flag = 1; // an instance init does not change the shader's choice
        s.init(&state, instance.record(), &flag);
        s.instances.back().initialised = true;
        protocol_.push_back(s.name + "_init(" + where + ")");
        take_messages(where);
    }
}

Session::Shader &Session::shader(const std::string &name, const std::string &where) {
    for (auto &known : shaders_) {
        if (known->name == name) {
            return *known;
        }
    }
    auto made = std::make_unique<Shader>();
    made->name = name;
    // A shader of the library is four exports, found by its name; the host
    // calls them through the generic types of the interface.
    made->version = library_.entry<oska_version_fn>(name + "_version");
    made->init = library_.entry<oska_init_fn>(name + "_init");
    made->exit = library_.entry<oska_exit_fn>(name + "_exit");
    made->call = library_.entry<oska_shader_fn>(name);
    if (made->version == nullptr || made->init == nullptr || made->exit == nullptr ||
        made->call == nullptr) {
        throw Error(
            located(where, "the library " + scene_.library + " has no shader '" + name + "'"));
    }
    // The version, then the shader-wide init (no record).
    int version = made->version();
    protocol_.push_back(name + "_version");
    if (version != 1) {
        throw Error(scene_.library + ": " + name + "_version is " + std::to_string(version) +
                    "; this host knows version 1");
    }
    host::ShaderInstance &wide =
        host::host().add_shader(name.c_str(), scene_.declarations.find(name)->record_size);
    made->wide_state = &host::host().make_state(wide);
    oska_boolean wanted = 0;
    made->init(made->wide_state, nullptr, &wanted);
    made->per_instance = wanted != 0;
    protocol_.push_back(name + "_init(0)");
    Shader &added = *made;
    shaders_.push_back(std::move(made));
    take_messages(where);
    return added;
}

void Session::fill_record(std::vector<unsigned char> &storage, const ShaderCall &call) const {
    std::fill(storage.begin(), storage.end(), 0);
    unsigned char *record = storage.data();
    std::size_t next_element = call.decl->record_size;
    for (const ParamSetting &setting : call.params) {
        const ParamDecl &decl = *setting.decl;
        unsigned char *at = record + decl.offset;
        if (decl.array) {
            // Start index (counted from the element slot), count, element
            // slot; the elements themselves after the record.
            auto start = static_cast<int32_t>((next_element - (decl.offset + 8)) / 4);
            auto count = static_cast<int32_t>(setting.names.size());
            std::memcpy(at, &start, 4);
            std::memcpy(at + 4, &count, 4);
            for (const std::string &name : setting.names) {
                oska_tag tag = tag_of(name);
                std::memcpy(record + next_element, &tag, 4);
                next_element += 4;
            }
            continue;
        }
        switch (decl.type) {
        case ParamType::color:
            std::memcpy(at, setting.numbers, 16);
            break;
        case ParamType::scalar:
            std::memcpy(at, setting.numbers, 4);
            break;
        case ParamType::boolean:
        case ParamType::integer:
            std::memcpy(at, &setting.integer, 4);
            break;
        case ParamType::tag: {
            oska_tag tag = tag_of(setting.names.at(0));
            std::memcpy(at, &tag, 4);
            break;
        }
        }
    }
}

// The library, bound to this program's mi_ functions.
void Session::load_library() {
    check_library_file(scene_.file, scene_.library);
    if (!library_.load(scene_.library)) {
        throw Error(scene_.file + ": library '" + scene_.library + "': " + library_.error);
    }
    library_.miSetModuleHandle(host::module_handle());
    protocol_.push_back("miSetModuleHandle");
}

// Scene shaders, in order: they bind lights to objects.
void Session::run_scene_shaders() {
    host::Host &host = host::host();
    for (const ShaderCall &call : scene_.shaders) {
        Shader &s = shader(call.shader, call.where);
        host::ShaderInstance &instance =
            host.add_shader(call.shader.c_str(), call.decl->record_size, array_bytes(call));
        fill_record(instance.storage, call);
        // oskalight binds the first light of its list (its one array) and
        // ignores the rest.
        for (const ParamSetting &setting : call.params) {
            if (call.shader == "oskalight" && setting.decl->array && setting.names.size() > 1 &&
                options_.report) {
                options_.report(scene_.file + ": " + call.where + ": warning: one oskalight call " +
                                "binds only the first of its lights ('" + setting.names[0] +
                                "'); give each light a call of its own");
            }
        }
        oska_state &state = host.make_state(instance);
        state.ray_kind = OSKA_RAY_EYE;
        start_instance(s, instance, state, call.where);
        int32_t result = 0;
        s.call(&result, &state, instance.record());
        protocol_.push_back(call.shader + "(" + call.where + ")");
        take_messages(call.where);
    }
}

// Each light: its emitting object, then its shader's instance init.
void Session::bind_lights() {
    for (std::size_t i = 0; i < scene_.lights.size(); ++i) {
        bind_light(i);
    }
}

// Light `index` of the scene: its shader instance, the object it emits
// from, and the instance init.
void Session::bind_light(std::size_t index) {
    host::Host &host = host::host();
    const LightDesc &desc = scene_.lights[index];
    const ShaderCall &call = desc.shader;
    if (call.decl->result != "color" || call.shader != "oskacolor") {
        throw Error(located(desc.where, "'" + call.shader + "' is not a light shader"));
    }
    Shader &s = shader(call.shader, desc.where);
    lit_.light_shader = s.call;
    BoundLight &bound = lit_.lights[index];
    bound.shader = &host.add_shader(call.shader.c_str(), call.decl->record_size, array_bytes(call));
    fill_record(bound.shader->storage, call);
    bound.params = bound.shader->params<oskacolor_params>();
    const oska_light &record = *host.light(bound.light);
    bound.samples = record.samples[0];
    if (record.area_kind == OSKA_AREA_OBJECT) {
        auto found = std::find_if(objects_.begin(), objects_.end(), [&](const ObjectRecord &o) {
            return o.instance == record.object_instance;
        });
        if (found == objects_.end()) {
            throw Error(located(desc.where, "bound to an element that is not an object"));
        }
        bound.object = static_cast<int>(found - objects_.begin());
        const Mesh &mesh = scene_.objects[bound.object].mesh;
        bound.sampler = std::make_unique<AreaSampler>(mesh);
        if (!(bound.sampler->area() > 0)) {
            throw Error(located(desc.where, "its object '" + scene_.objects[bound.object].name +
                                                "' has no area to emit from"));
        }
        bound.vector_count =
            static_cast<int>(mesh.channels.empty() ? 1 : 2 * (mesh.channels.size() - 1) + 1);
        check_channels(scene_, desc.where, bound.object, *bound.params);
    }
    if (options_.report) {
        if (std::string warning = depth_warning(*bound.params); !warning.empty()) {
            options_.report(located(desc.where, warning));
        }
    }
    // The shader's instance init refuses lights that are not object lights.
    start_instance(s, *bound.shader, host.make_state(*bound.shader, bound.instance), desc.where);
    if (bound.object < 0) {
        throw Error(located(desc.where, "not bound to an object (give it an 'object', or bind it "
                                        "with oskalight in 'shaders')"));
    }
    lit_.lights_of_object[static_cast<std::size_t>(bound.object)].push_back(
        static_cast<int>(index));
}

void Session::open() {
    reset_host();
    load_library();
    fill_database();
    route_lookups();
    run_scene_shaders();
    bind_lights();
}

void Session::check_light(std::size_t index, const ShaderCall &call) const {
    const BoundLight &light = lit_.lights.at(index);
    // The switches and channels, as the record would hold them.
    std::vector<unsigned char> record(
        std::max(sizeof(oskacolor_params), call.decl->record_size + array_bytes(call)));
    fill_record(record, call);
    oskacolor_params params;
    std::memcpy(&params, record.data(), sizeof params);
    check_channels(scene_, light.desc->where, light.object, params);
}

void Session::refresh_light(std::size_t index, const ShaderCall &call) {
    BoundLight &light = lit_.lights.at(index);
    if (array_bytes(call) != 0) {
        throw Error(located(light.desc->where, "a light takes no array parameter"));
    }
    if (call.shader != light.desc->shader.shader) {
        throw Error(located(light.desc->where, "not parameters of its shader"));
    }
    check_light(index, call);
    Shader &s = shader(call.shader, light.desc->where);
    auto entry = std::find_if(s.instances.begin(), s.instances.end(),
                              [&](const Shader::Instance &i) { return i.shader == light.shader; });
    if (entry == s.instances.end()) {
        throw Error(located(light.desc->where, "the light has no shader instance"));
    }
    if (entry->initialised) {
        s.exit(entry->state, light.shader->record());
        entry->initialised = false;
    }
    fill_record(light.shader->storage, call);
    if (s.per_instance) {
        oska_boolean flag = 1;
        s.init(entry->state, light.shader->record(), &flag);
        entry->initialised = true;
        take_messages(light.desc->where);
    }
}

std::vector<Session::Answer> Session::evaluate_light_at(std::size_t index, const ShaderCall &call,
                                                        std::vector<oska_state> &states) {
    const BoundLight &light = lit_.lights.at(index);
    if (array_bytes(call) != 0 || call.shader != light.desc->shader.shader) {
        throw Error(located(light.desc->where, "not parameters of its shader"));
    }
    check_light(index, call);
    Shader &s = shader(call.shader, light.desc->where);
    host::Host &host = host::host();
    if (evaluator_ == nullptr) {
        evaluator_ = &host.add_shader(call.shader.c_str(), call.decl->record_size);
        evaluator_state_ = &host.make_state(*evaluator_, light.instance);
    }
    fill_record(evaluator_->storage, call);
    evaluator_state_->light_instance = light.instance;
    std::vector<Answer> answers(states.size());
    if (s.per_instance) {
        oska_boolean flag = 1;
        s.init(evaluator_state_, evaluator_->record(), &flag);
    }
    try {
        take_messages(light.desc->where);
        for (std::size_t i = 0; i < states.size(); ++i) {
            oska_state &state = states[i];
            evaluator_->address(state);
            state.light_instance = light.instance;
            state.sample = state.parent = &state;
            answers[i].accepted = s.call(&answers[i].color, &state, evaluator_->record()) != 0;
        }
    } catch (...) {
        if (s.per_instance) {
            s.exit(evaluator_state_, evaluator_->record());
        }
        throw;
    }
    if (s.per_instance) {
        s.exit(evaluator_state_, evaluator_->record());
    }
    return answers;
}

void Session::teardown() {
    if (down_) {
        return;
    }
    down_ = true;
    // Instances end before their shader, the last made first.
    for (auto shader = shaders_.rbegin(); shader != shaders_.rend(); ++shader) {
        Shader &s = **shader;
        for (auto it = s.instances.rbegin(); it != s.instances.rend(); ++it) {
            if (it->initialised) {
                s.exit(it->state, it->shader->record());
                protocol_.push_back(s.name + "_exit(" + it->where + ")");
            }
        }
        s.exit(s.wide_state, nullptr); // every shader kept had its shader-wide init
        protocol_.push_back(s.name + "_exit(0)");
    }
    host::host().set_texture_lookup(nullptr);
    host::host().set_shadow_tracer(nullptr);
    host::host().set_message_sink(nullptr);
    library_.unload();
}

// What the library said since the last take_messages: at the end, its
// exits' messages, and any sent while rendering, which nothing read sooner.
// Warnings (and info, when verbose) are reported; the errors are returned.
std::vector<std::string> Session::closing_errors() {
    std::vector<host::Message> messages;
    {
        std::lock_guard<std::mutex> lock(messages_mutex_);
        messages.swap(pending_messages_);
    }
    std::vector<std::string> errors;
    for (const host::Message &m : messages) {
        if (m.level == host::Level::error) {
            // Each shader's exit may say the same (one report, one failure).
            std::string error = scene_.file + ": " + m.text;
            if (std::find(errors.begin(), errors.end(), error) == errors.end()) {
                errors.push_back(std::move(error));
            }
        } else if (options_.report && (m.level == host::Level::warning || options_.verbose)) {
            bool warning = m.level == host::Level::warning;
            options_.report(scene_.file + ": " + (warning ? "warning: " + m.text : m.text));
        }
    }
    return errors;
}

void Session::close() {
    teardown();
    // An error the library sends as it ends fails the close, as one sent at
    // an init fails the open; every one of them reaches the user.
    std::vector<std::string> errors = closing_errors();
    std::vector<host::Block> leaks = host::host().leaks();
    std::vector<std::string> faults = host::host().allocator_errors();
    if (!leaks.empty()) {
        std::string where = leaks[0].file + ":" + std::to_string(leaks[0].line);
        errors.push_back(scene_.library + ": " + std::to_string(leaks.size()) +
                         " block(s) allocated by the library were never released (first from " +
                         where + ", " + std::to_string(leaks[0].size) + " bytes)");
    }
    if (!faults.empty()) {
        errors.push_back(scene_.library + ": allocator misuse: " + faults[0]);
    }
    if (errors.empty()) {
        return;
    }
    for (std::size_t i = 0; i + 1 < errors.size() && options_.report; ++i) {
        options_.report(errors[i]);
    }
    throw Error(errors.back());
}

} // namespace oska::render
