#include "shader_calls.h"

#include "declarations.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace oska::render {

using nlohmann::json;

namespace {

// Sets one parameter from its JSON value, checked against its declared type.
ParamSetting read_param(const JsonReader &read, const ParamDecl &decl, const json &value,
                        const std::string &where) {
    ParamSetting setting;
    setting.decl = &decl;
    auto wrong = [&](const std::string &what) {
        read.fail(where, "expected " + what + ", got " + value.dump());
    };
    if (decl.array) {
        if (!value.is_array() ||
            !std::all_of(value.begin(), value.end(), [](const json &e) { return e.is_string(); })) {
            wrong("an array of names");
        }
        setting.names = value.get<std::vector<std::string>>();
        return setting;
    }
    switch (decl.type) {
    case ParamType::color:
        if (!value.is_array() || (value.size() != 3 && value.size() != 4)) {
            wrong("a colour [r, g, b] or [r, g, b, a]");
        }
        for (std::size_t c = 0; c < value.size(); ++c) {
            if (!value[c].is_number()) {
                wrong("a colour [r, g, b] or [r, g, b, a]");
            }
            setting.numbers[c] = read.number(value[c], where);
        }
        if (value.size() == 3) {
            setting.numbers[3] = 1;
        }
        break;
    case ParamType::scalar:
        if (!value.is_number()) {
            wrong("a number");
        }
        setting.numbers[0] = read.number(value, where);
        break;
    case ParamType::boolean:
        if (!value.is_boolean()) {
            wrong("true or false");
        }
        setting.integer = value.get<bool>() ? 1 : 0;
        break;
    case ParamType::integer: {
        int64_t n = read.whole(value, where); // refuses what is not a whole number
        if (n < INT32_MIN || n > INT32_MAX) {
            wrong("a 32-bit whole number");
        }
        setting.integer = static_cast<int32_t>(n);
        break;
    }
    case ParamType::tag:
        if (!value.is_string()) {
            wrong("the name of a scene element");
        }
        setting.names.push_back(value.get<std::string>());
        break;
    }
    return setting;
}

} // namespace

ShaderCall read_shader_call(const JsonReader &read, const Scene &scene, const std::string &shader,
                            const json &params, const std::string &where) {
    ShaderCall call;
    call.shader = shader;
    call.where = where;
    call.decl = scene.declarations.find(shader);
    if (call.decl == nullptr) {
        read.fail(where, "unknown shader '" + shader + "' (not declared in " +
                             scene.declarations_file + ")");
    }
    if (!params.is_object()) {
        read.fail(where + ": params", "expected an object of parameters");
    }
    for (auto it = params.begin(); it != params.end(); ++it) {
        const ParamDecl *decl = call.decl->find(it.key());
        std::string pw = where + ": parameter '" + it.key() + "'";
        if (decl == nullptr) {
            read.fail(where, "unknown parameter '" + it.key() + "' of " + shader);
        }
        ParamSetting setting = read_param(read, *decl, *it, pw);
        // A sample count below 0 would reach the light wrapped.
        if (param_has(shader, it.key(), OSKA_PARAM_SAMPLES) &&
            (setting.integer < 0 || setting.integer > kMostLightSamples)) {
            read.fail(pw, "expected a sample count from 0 to " + std::to_string(kMostLightSamples) +
                              ", got " + it->dump());
        }
        call.params.push_back(std::move(setting));
    }
    return call;
}

void check_call_names(const JsonReader &read, const Scene &scene, const ShaderCall &call) {
    for (const ParamSetting &setting : call.params) {
        std::string where = call.where + ": parameter '" + setting.decl->name + "'";
        if (setting.decl->type == ParamType::tag && !setting.decl->array &&
            param_is(call.shader, setting.decl->name, OSKA_ROLE_TEXTURE) &&
            scene.find_texture(setting.names.at(0)) < 0) {
            read.fail(where, "no texture named '" + setting.names.at(0) + "'");
        }
        for (const std::string &name : setting.names) {
            if (scene.find_object(name) < 0 && scene.find_light(name) < 0 &&
                scene.find_texture(name) < 0) {
                read.fail(where, "no object, light or texture named '" + name + "'");
            }
        }
    }
}

} // namespace oska::render
