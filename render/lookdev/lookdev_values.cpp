#include "lookdev/scene_edits.h"

#include "error.h"
#include "files.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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

SceneEdits::SceneEdits(LiveRender &render, std::string text, LoadOptions load)
    : render_(render), scene_(render.scene()), load_(std::move(load)), text_(std::move(text)) {
    for (const LightDesc &light : scene_.lights) {
        std::vector<std::string> given;
        for (const ParamSetting &setting : light.shader.params) {
            given.push_back(setting.decl->name);
        }
        json values = light_values(light);
        lights_.push_back({light.name, light.where, light.shader.shader, light.shader.decl, values,
                           light.shader, false, given, values});
    }
}

json SceneEdits::change(const json &request) {
    auto [i, set, stroke] = parse_change(request);
    std::lock_guard<std::mutex> lock(mutex_);
    json before = lights_[i].values;
    auto [held, generation] = set_values(i, set);
    json was = json::object();
    for (auto it = held.begin(); it != held.end(); ++it) {
        was[it.key()] = before[it.key()];
    }
    history_.record(i, was, held, stroke);
    return committed(held, generation);
}

json SceneEdits::take_step(bool back) {
    std::lock_guard<std::mutex> lock(mutex_);
    const lookdev::Step *step = history_.next(back);
    if (step == nullptr) {
        throw Error(back ? "nothing to undo" : "nothing to redo");
    }
    auto [held, generation] = set_values(step->light, back ? step->before : step->after);
    history_.take(back);
    json out = committed(held, generation);
    out["light"] = step->light;
    return out;
}

json SceneEdits::mute(const json &request, bool solo) {
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
    std::vector<LightChange> changes;
    for (std::size_t i = 0; i < lights_.size(); ++i) {
        if (lights_[i].muted != muted[i]) {
            lights_[i].muted = muted[i];
            changes.push_back({i, lights_[i].call, muted[i]});
        }
    }
    // The pages hear of it; it leaves the file's values, saved or not, alone.
    saved_serial_ += saved_serial_ == values_serial_ ? 1 : 0;
    const uint64_t generation = wake(std::move(changes));
    news_();
    return {{"generation", generation}, {"muted", muted}};
}

std::tuple<std::size_t, json, std::string> SceneEdits::parse_change(const json &request) const {
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

std::pair<json, uint64_t> SceneEdits::set_values(std::size_t i, const json &set) {
    Light &light = lights_[i];
    json values = light.values;
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
    ShaderCall call = parse_shader_params(scene_, light.shader, params, light.where);
    render_.check(i, call);
    LightDesc as_held;
    as_held.shader = call;
    values = lookdev::light_values(as_held);
    json held = json::object();
    for (auto it = set.begin(); it != set.end(); ++it) {
        held[it.key()] = values[it.key()];
        if (std::find(light.given.begin(), light.given.end(), it.key()) == light.given.end()) {
            light.given.push_back(it.key());
        }
    }
    light.values = values;
    light.call = call;
    const uint64_t generation = wake({{i, std::move(call), light.muted}});
    return {held, generation};
}

json SceneEdits::committed(const json &held, uint64_t generation) {
    news_();
    return {{"generation", generation}, {"values", held}};
}

uint64_t SceneEdits::wake(std::vector<LightChange> changes) {
    ++values_serial_;
    return render_.wake(std::move(changes));
}

void SceneEdits::restore(std::size_t i, json values) {
    std::lock_guard<std::mutex> lock(mutex_);
    lights_[i].values = std::move(values);
    ++values_serial_;
}

// What is written must read back as the same scene with these lights: the
// command line then renders the saved scene as the page showed it.
void SceneEdits::check_reads_back(const std::string &text, const std::string &path,
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

json SceneEdits::save() {
    std::unique_lock<std::mutex> lock(mutex_);
    saved_.wait(lock, [this] { return !saving_; });
    std::vector<json> params, values;
    // A light left as the file has it keeps its text as it is.
    for (const Light &light : lights_) {
        params.push_back(light.values == light.written
                             ? json()
                             : lookdev::params_to_write(*light.decl, light.values, light.given));
        values.push_back(light.values);
    }
    const uint64_t serial = values_serial_;
    const std::string old_text = text_;
    saving_ = true;
    lock.unlock();
    std::string path, text;
    try {
        path = link_target(scene_.file);
        text = write(path, params, values, old_text);
    } catch (...) {
        lock.lock();
        saving_ = false;
        saved_.notify_all();
        throw;
    }
    lock.lock();
    saving_ = false;
    saved_.notify_all();
    text_ = text;
    for (std::size_t i = 0; i < lights_.size(); ++i) {
        lights_[i].written = values[i];
    }
    // The pages hear of it through the count: saved, unless a change came
    // in while writing.
    const bool current = serial == values_serial_;
    ++values_serial_;
    saved_serial_ = current ? values_serial_ : serial;
    news_();
    return {{"file", path}, {"backup", path + ".bak"}};
}

// Writes the scene with `params` to `path` (a scene opened through a
// symbolic link is written where the link leads, and the link stays), and
// gives the text written.
std::string SceneEdits::write(const std::string &path, const std::vector<json> &params,
                              const std::vector<json> &values, const std::string &old_text) {
    if (read_scene_text(path) != old_text) {
        throw Error(path + ": changed on disk since it was opened; not overwritten");
    }
    std::string text = lookdev::splice_light_params(old_text, params);
    check_reads_back(text, path, values);
    // The previous version goes beside it first; on a failure the file is
    // as it was. Neither may replace another file the scene reads.
    std::vector<std::string> others = scene_.inputs;
    if (std::string problem = replace_problem(path, others); !problem.empty()) {
        throw Error(path + ": cannot write the scene: " + problem);
    }
    others.push_back(path);
    replace_file(path + ".bak", old_text.data(), old_text.size(), "backup", others);
    others.pop_back();
    replace_file(path, text.data(), text.size(), "scene", others);
    return text;
}

json SceneEdits::values_at(std::size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return lights_.at(i).values;
}

json SceneEdits::news(const std::optional<uint64_t> &seen) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t values_seen = seen && *seen <= values_serial_ ? *seen : 0;
    // What every page shows of the values, whoever changed them.
    json out = {{"values_serial", values_serial_}};
    if (values_serial_ > values_seen) {
        json lights = json::array();
        json muted = json::array();
        for (const Light &light : lights_) {
            lights.push_back(light.values);
            muted.push_back(light.muted);
        }
        out["values"] = {{"lights", lights},
                         {"muted", muted},
                         {"undo", history_.undoable()},
                         {"redo", history_.redoable()},
                         {"unsaved", saved_serial_ != values_serial_}};
    }
    return out;
}

} // namespace oska::render::lookdev
