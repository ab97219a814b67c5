// The shader declarations that ship beside the library lay the parameter
// records out exactly as the public header does.
#include "declarations.h"
#include "render_test.h"

#include <oska/host_api.h>

#include <cstddef>
#include <vector>

namespace oska::render {
namespace {

std::string shipped_declarations() {
    std::string library = default_library_path();
    return library.substr(0, library.rfind('/')) + "/oska.decl";
}

struct Field {
    const char *name;
    std::size_t offset;
};

#define OSKA_FIELD(type, name)                                                                     \
    Field { #name, offsetof(type, name) }

// The shader is declared with a record of the header's size (`sizeof_record`,
// and the size the record has always had, `size`) and with the header's
// fields, in its order and at its offsets.
const ShaderDecl *expect_layout(const Declarations &decls, const char *name,
                                std::size_t sizeof_record, std::size_t size,
                                const std::vector<Field> &fields) {
    const ShaderDecl *shader = decls.find(name);
    if (shader == nullptr) {
        ADD_FAILURE() << name << " is not declared";
        return nullptr;
    }
    EXPECT_EQ(shader->record_size, sizeof_record);
    EXPECT_EQ(shader->record_size, size);
    if (shader->params.size() != fields.size()) {
        ADD_FAILURE() << name << " has " << shader->params.size() << " parameters, not "
                      << fields.size();
        return nullptr;
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
        EXPECT_EQ(shader->params[i].name, fields[i].name);
        EXPECT_EQ(shader->params[i].offset, fields[i].offset) << fields[i].name;
    }
    return shader;
}

TEST(Declarations, OskacolorRecordMatchesThePublicHeader) {
    const Declarations decls = load_declarations(shipped_declarations());
    const ShaderDecl *shader = expect_layout(decls, "oskacolor", sizeof(oskacolor_params), 164u,
                                             {
                                                 OSKA_FIELD(oskacolor_params, color),
                                                 OSKA_FIELD(oskacolor_params, shadows),
                                                 OSKA_FIELD(oskacolor_params, shadow_color),
                                                 OSKA_FIELD(oskacolor_params, decay),
                                                 OSKA_FIELD(oskacolor_params, decay_start),
                                                 OSKA_FIELD(oskacolor_params, decay_end),
                                                 OSKA_FIELD(oskacolor_params, texture),
                                                 OSKA_FIELD(oskacolor_params, use_texture),
                                                 OSKA_FIELD(oskacolor_params, use_alpha),
                                                 OSKA_FIELD(oskacolor_params, alpha_scale),
                                                 OSKA_FIELD(oskacolor_params, burn),
                                                 OSKA_FIELD(oskacolor_params, burn_multiplier),
                                                 OSKA_FIELD(oskacolor_params, burn_threshold),
                                                 OSKA_FIELD(oskacolor_params, burn_power),
                                                 OSKA_FIELD(oskacolor_params, hsv_adjust),
                                                 OSKA_FIELD(oskacolor_params, hue),
                                                 OSKA_FIELD(oskacolor_params, saturation),
                                                 OSKA_FIELD(oskacolor_params, value),
                                                 OSKA_FIELD(oskacolor_params, texture_range),
                                                 OSKA_FIELD(oskacolor_params, range_gamma),
                                                 OSKA_FIELD(oskacolor_params, tint_shadow),
                                                 OSKA_FIELD(oskacolor_params, use_vertex_color),
                                                 OSKA_FIELD(oskacolor_params, directional),
                                                 OSKA_FIELD(oskacolor_params, cosine),
                                                 OSKA_FIELD(oskacolor_params, cutoff),
                                                 OSKA_FIELD(oskacolor_params, threshold),
                                                 OSKA_FIELD(oskacolor_params, max_level),
                                                 OSKA_FIELD(oskacolor_params, vc_color),
                                                 OSKA_FIELD(oskacolor_params, vc_color_channel),
                                                 OSKA_FIELD(oskacolor_params, vc_intensity),
                                                 OSKA_FIELD(oskacolor_params, vc_intensity_channel),
                                                 OSKA_FIELD(oskacolor_params, vc_range),
                                                 OSKA_FIELD(oskacolor_params, vc_range_channel),
                                                 OSKA_FIELD(oskacolor_params, vc_shadow),
                                                 OSKA_FIELD(oskacolor_params, vc_shadow_channel),
                                             });
    ASSERT_NE(shader, nullptr);
    EXPECT_EQ(shader->find("color")->type, ParamType::color);
    EXPECT_EQ(shader->find("texture")->type, ParamType::tag);
}

TEST(Declarations, OskalightRecordMatchesThePublicHeader) {
    const Declarations decls = load_declarations(shipped_declarations());
    const ShaderDecl *shader =
        expect_layout(decls, "oskalight", sizeof(oskalight_params), 56u,
                      {
                          OSKA_FIELD(oskalight_params, reserved),
                          OSKA_FIELD(oskalight_params, enable),
                          OSKA_FIELD(oskalight_params, instance),
                          Field{"lights", offsetof(oskalight_params, lights_start)},
                          OSKA_FIELD(oskalight_params, override_samples),
                          OSKA_FIELD(oskalight_params, samples_1),
                          OSKA_FIELD(oskalight_params, samples_2),
                          OSKA_FIELD(oskalight_params, samples_3),
                          OSKA_FIELD(oskalight_params, samples_4),
                          OSKA_FIELD(oskalight_params, samples_5),
                          OSKA_FIELD(oskalight_params, extra_value),
                          OSKA_FIELD(oskalight_params, set_instance_flags),
                      });
    ASSERT_NE(shader, nullptr);
    // The array's three slots: start index, count, element slot.
    const ParamDecl *lights = shader->find("lights");
    EXPECT_TRUE(lights->array);
    EXPECT_EQ(lights->size, 12u);
    EXPECT_EQ(lights->offset + 8, offsetof(oskalight_params, lights));
}

// The renderer reads a parameter's role from the tables by the name the
// declarations give it: every declared parameter has its row, alike in type,
// array, offset and size, and every row is declared.
TEST(Declarations, ShippedDeclarationsFollowTheParameterTables) {
    Declarations decls = load_declarations(shipped_declarations());
    for (const char *name : {"oskacolor", "oskalight"}) {
        const ShaderDecl *shader = decls.find(name);
        if (shader == nullptr) {
            ADD_FAILURE() << name << " is not declared";
            continue;
        }
        const ParamTable table = param_table(name);
        EXPECT_EQ(shader->params.size(), table.count) << name;
        for (const ParamDecl &param : shader->params) {
            const oska_param_info *row = param_row(name, param.name);
            if (row == nullptr) {
                ADD_FAILURE() << name << "." << param.name << " has no row";
                continue;
            }
            EXPECT_EQ(row->type, static_cast<int>(param.type)) << param.name;
            EXPECT_EQ(row->array != 0, param.array) << param.name;
            EXPECT_EQ(std::size_t(row->offset), param.offset) << param.name;
            EXPECT_EQ(std::size_t(row->size), param.size) << param.name;
        }
    }
    EXPECT_EQ(param_table("oskaother").count, 0u);
    EXPECT_EQ(param_row("oskacolor", "no_such_parameter"), nullptr);
}

TEST(Declarations, MalformedLinesAreNamedByFileAndLine) {
    const struct {
        const char *text;
        const char *error;
    } cases[] = {
        {"shader a color\n  colour c\nend\n", "d.decl:2: expected 'TYPE NAME'"},
        {"shader a color\n  scalar x\n  scalar x\nend\n", "d.decl:3: parameter 'x' declared twice"},
        {"shader a color\n  scalar x\n", "has no 'end'"},
        {"  scalar x\n", "d.decl:1: 'scalar' outside a shader"},
        {"shader a\nend\n", "d.decl:1: expected 'shader NAME RESULT'"},
        {"shader a color\n  array x\nend\n", "d.decl:2: expected 'array TYPE NAME'"},
    };
    for (const auto &c : cases) {
        try {
            parse_declarations(c.text, "d.decl");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const Error &e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos)
                << e.what() << " / expected " << c.error;
        }
    }
}

TEST(Declarations, ArraysTakeTwelveBytesAndCommentsAreIgnored) {
    Declarations decls = parse_declarations(
        "# comment\nshader s boolean  # trailing\n  color c\n  array tag t\n  integer i\nend\n",
        "d.decl");
    const ShaderDecl &s = decls.shaders.at(0);
    EXPECT_EQ(s.find("t")->offset, 16u);
    EXPECT_EQ(s.find("i")->offset, 28u);
    EXPECT_EQ(s.record_size, 32u);
}

} // namespace
} // namespace oska::render
