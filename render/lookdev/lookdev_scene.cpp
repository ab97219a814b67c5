#include "lookdev/lookdev.h"

#include "declarations.h"
#include "display.h"

namespace oska::render::lookdev {

namespace {

// The value a parameter has in a zeroed record, as the page sends it; null
// for a tag (the page has no default to offer there).
json default_of(const oska_param_info &row) {
    const double value = row.default_value;
    switch (row.type) {
    case OSKA_PARAM_TYPE_COLOR:
        return json::array({value, value, value, value});
    case OSKA_PARAM_TYPE_BOOLEAN:
        return value != 0;
    case OSKA_PARAM_TYPE_INTEGER:
        return static_cast<int>(value);
    case OSKA_PARAM_TYPE_SCALAR:
        return value;
    default:
        return nullptr;
    }
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
    if (row->role == OSKA_ROLE_DECAY) {
        control["kind"] = "choice";
#define OSKA_DECAY_CHOICE(name, code, text, ranged) {code, text},
        control["choices"] = json::array({OSKA_DECAY_LAWS(OSKA_DECAY_CHOICE)});
#undef OSKA_DECAY_CHOICE
    } else if ((row->flags & OSKA_PARAM_CHANNEL) != 0) {
        control["kind"] = "channel";
    }
    // The role the page reads to dim what the light's mode leaves idle.
    json roles = json::array();
    if (row->role != OSKA_ROLE_NONE) {
        roles.push_back(role_name(row->role));
    }
    if ((row->flags & OSKA_PARAM_CHANNEL) != 0) {
        roles.push_back("channel");
    }
    control["roles"] = roles;
    if (row->min < row->max) {
        control["range"] = {row->min, row->max};
    }
    control["unit"] = row->unit;
    control["description"] = row->description;
    control["default"] = default_of(*row);
    return control;
}

// The decay laws, each with the roles of the parameters it reads, so that
// the page dims the others: a law in a range reads its start and end, the
// physical one reads the start as its cosine's exponent.
json decay_laws() {
    json laws = json::array();
    auto add = [&laws](int code, const char *name, bool ranged) {
        json reads = json::array();
        if (ranged || code == OSKA_DECAY_PHYSICAL) {
            reads.push_back("range_start");
        }
        if (ranged) {
            reads.push_back("range_end");
        }
        laws.push_back({{"code", code}, {"name", name}, {"ranged", ranged}, {"reads", reads}});
    };
#define OSKA_DECAY_ENTRY(name, code, text, ranged) add(code, text, (ranged) != 0);
    OSKA_DECAY_LAWS(OSKA_DECAY_ENTRY)
#undef OSKA_DECAY_ENTRY
    return laws;
}

} // namespace

// ---- What the page sees of the lights.
json Lookdev::scene_json() {
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
            {"decay_laws", decay_laws()},
            {"display", {{"tone_knee", tone_knee}}},
            {"generation", generation_}};
}

} // namespace oska::render::lookdev
