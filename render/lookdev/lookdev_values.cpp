#include "lookdev/lookdev.h"

#include "error.h"
#include "files.h"
#include "json_reader.h"

#include <algorithm>
#include <cstdlib>

namespace oska::render::lookdev {

namespace {

constexpr long long kLargestScene = 64LL * 1024 * 1024;

} // namespace

std::string read_scene_text(const std::string &path) {
    return read_regular_file(path, path, kLargestScene);
}

// The file `path` names, through any symbolic links; `path` when it names
// nothing (the read that follows then says so).
std::string link_target(const std::string &path) {
    std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : path;
}

// One change from a page: the parameters it sets on one light, checked
// together as the scene file's would be and applied together; nothing
// changes when any is refused. Changes are taken one at a time, each on
// the values the last one left, so none is lost.
json Lookdev::change(const json &request) {
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
json Lookdev::take_step(bool back) {
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

json Lookdev::mute(const json &request, bool solo) {
    if (!request.is_object() || !request.contains("light") ||
        !request["light"].is_number_integer() ||
        (!solo && !(request.contains("muted") && request["muted"].is_boolean()))) {
        throw Error(solo ? "expected {\"light\": index}"
                         : "expected {\"light\": index, \"muted\": true or false}");
    }
    const auto index = request["light"].get<long long>();
    if (index < 0 || index >= static_cast<long long>(lights_.size())) {
        throw Error("no light " + std::to_string(index));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<bool> muted(lights_.size());
    for (std::size_t i = 0; i < lights_.size(); ++i) {
        const bool it = static_cast<long long>(i) == index;
        muted[i] = solo ? !it : it ? request["muted"].get<bool>() : lights_[i].muted;
    }
    const bool already = std::equal(muted.begin(), muted.end(), lights_.begin(),
                                    [](bool m, const Light &l) { return m == l.muted; });
    if (solo && already) {
        muted.assign(lights_.size(), false); // a second solo lets every light back
    }
    for (std::size_t i = 0; i < lights_.size(); ++i) {
        lights_[i].dirty = lights_[i].dirty || lights_[i].muted != muted[i];
        lights_[i].muted = muted[i];
    }
    // The pages hear of it; it leaves the file's values, saved or not, alone.
    saved_serial_ += saved_serial_ == values_serial_ ? 1 : 0;
    ++values_serial_;
    ++generation_;
    change_time_ = Clock::now();
    cancel_ = true;
    work_.notify_all();
    changed_();
    return {{"generation", generation_}, {"muted", muted}};
}

// A change as asked: {"light": index, "set": {name: value, ...}, "stroke":
// text}, or one parameter as {"light": index, "name": name, "value": value}.
std::tuple<std::size_t, json, std::string> Lookdev::parse_change(const json &request) const {
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
    json set = many ? request["set"] : json{{request["name"].get<std::string>(), request["value"]}};
    std::string stroke;
    if (request.contains("stroke") && request["stroke"].is_string()) {
        stroke = request["stroke"].get<std::string>();
    }
    return {static_cast<std::size_t>(index), set, stroke};
}

// Sets `set` on light `i` and hands it to the render thread; gives the
// values set as the light's record holds them (single precision), which
// is what the page shows and Save writes.
json Lookdev::set_values(std::size_t i, const json &set) {
    Light &light = lights_[i];
    json values = values_at(i);
    for (auto it = set.begin(); it != set.end(); ++it) {
        const ParamDecl *decl = light.decl->find(it.key());
        if (decl == nullptr || decl->array) {
            throw Error(light.where + ": " + light.shader + " has no parameter '" + it.key() + "'");
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
        bool unset = param != nullptr && param->type == ParamType::tag && it->is_string() &&
                     it->get_ref<const std::string &>().empty();
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
json Lookdev::committed(const json &held) {
    std::lock_guard<std::mutex> lock(mutex_);
    undoable_ = history_.undoable();
    redoable_ = history_.redoable();
    changed_();
    return {{"generation", generation_}, {"values", held}};
}

// What is written must read back as the same scene with these lights: the
// command line then renders the saved scene as the page showed it.
void Lookdev::check_reads_back(const std::string &text, const std::string &path,
                               const std::vector<json> &values) const {
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
}

json Lookdev::save() {
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
    check_reads_back(text, path, values);
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

json Lookdev::values_at(std::size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return lights_[i].values;
}

} // namespace oska::render::lookdev
