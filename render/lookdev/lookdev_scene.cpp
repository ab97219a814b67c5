#include "lookdev/lookdev.h"

#include "declarations.h"
#include "display.h"

#include <exception>
#include <utility>

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

Lookdev::Lookdev(Scene scene, std::string text, LoadOptions load, int threads)
    : render_(std::move(scene), threads), edits_(render_, std::move(text), std::move(load)) {
    render_.on_refused(
        [this](std::size_t i, json values) { edits_.restore(i, std::move(values)); });
}

Lookdev::~Lookdev() {
    if (render_.running()) {
        try {
            render_.close();
        } catch (const std::exception &) {
        }
    }
}

void Lookdev::on_change(std::function<void()> changed) {
    changed_ = std::move(changed);
    render_.on_news([this] { changed_(); });
    edits_.on_news([this] { changed_(); });
}

json Lookdev::scene_json() {
    const Scene &scene = render_.scene();
    json lights = json::array();
    for (std::size_t i = 0; i < edits_.light_count(); ++i) {
        json light = render_.light_object(i);
        light["name"] = edits_.name(i);
        light["params"] = edits_.values_at(i);
        lights.push_back(light);
    }
    json declarations = json::array();
    for (const ParamDecl &param : edits_.decl(0).params) {
        if (!param.array) {
            declarations.push_back(control_of(edits_.decl(0).name, param));
        }
    }
    json textures = json::array();
    for (const TextureDesc &image : scene.textures) {
        textures.push_back(image.name);
    }
    // The file's name without its folder (with none, rfind's npos + 1 is 0).
    return {{"file", scene.file.substr(scene.file.rfind('/') + 1)},
            {"width", render_.settings().width},
            {"height", render_.settings().height},
            {"lights", lights},
            {"declarations", declarations},
            {"textures", textures},
            {"decay_laws", decay_laws()},
            {"display", {{"tone_knee", tone_knee}}},
            {"generation", render_.generation()}};
}

std::optional<json> Lookdev::status(const Seen &seen, bool now) {
    json values = edits_.news(seen.values);
    std::optional<json> out = render_.news(seen, now || values.contains("values"));
    if (out) {
        out->update(values);
    }
    return out;
}

} // namespace oska::render::lookdev
