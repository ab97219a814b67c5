// Writing light parameters back into a scene file: only each light's
// "params" changes, whatever else the text holds.
#include "lookdev/values.h"

#include "error.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace oska::render::lookdev {
namespace {

TEST(LookdevSave, SplicesOnlyEachLightsParams) {
    const json two = {{"decay", 2}};
    const struct {
        const char *name;
        std::string text;
        std::vector<json> params;
        std::string expected;
    } cases[] = {
        {"replaces params, keeps the rest byte for byte",
         "{\n  \"about\": \"x\",\n  \"lights\": [\n    { \"name\": \"a\", \"params\": {\"decay\": "
         "1} }\n  ]\n}\n",
         {two},
         "{\n  \"about\": \"x\",\n  \"lights\": [\n    { \"name\": \"a\", \"params\": { \"decay\": "
         "2 } }\n  ]\n}\n"},
        {"words that look like keys inside strings are text",
         R"({"about": "\"lights\": [{\"params\": 1}]", "lights": [{"params": {}, "name": "p{a}r\"ams"}]})",
         {two},
         R"({"about": "\"lights\": [{\"params\": 1}]", "lights": [{"params": { "decay": 2 }, "name": "p{a}r\"ams"}]})"},
        {"a light without params gets them",
         R"({"lights": [{"name": "a"}, {}]})",
         {two, two},
         R"({"lights": [{ "params": { "decay": 2 }, "name": "a"}, { "params": { "decay": 2 } }]})"},
        {"nothing to write leaves a light without params as it is",
         R"({"lights": [{"name": "a"}]})",
         {json::object()},
         R"({"lights": [{"name": "a"}]})"},
        {"params of other objects are left alone",
         R"({"shaders": [{"params": {"enable": true}}], "lights": [{"params": {"decay": 1}}]})",
         {two},
         R"({"shaders": [{"params": {"enable": true}}], "lights": [{"params": { "decay": 2 }}]})"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(splice_light_params(c.text, c.params), c.expected);
        // Still JSON, whatever was spliced.
        EXPECT_FALSE(
            json::parse(splice_light_params(c.text, c.params), nullptr, false).is_discarded());
    }
    // The file no longer has the lights the page edits: nothing is written.
    EXPECT_THROW(splice_light_params(R"({"lights": [{}]})", {two, two}), Error);
    EXPECT_THROW(splice_light_params(R"({"lights": [{"params": {"a": [1, 2})", {two}), Error);
}

// The page's curves and swatches find the light's parameters by role: each
// role reads the one parameter it stands for, with the name it is shown by.
TEST(LookdevRoles, ReadEachRoleFromTheRecord) {
    oskacolor_params record{};
    record.color = {0.5f, 0.25f, 1, 2};
    record.decay = 2;
    record.decay_start = 1.5f;
    record.decay_end = 7.25f;
    record.directional = 1;
    record.cutoff = -0.5f;
    record.threshold = 0.125f;
    record.use_texture = 1;
    record.vc_color = 1;
    record.vc_color_channel = 3;
    record.hsv_adjust = 1;
    record.use_vertex_color = 1;
    const Roles roles("oskacolor", &record);
    struct Case {
        int role;
        const char *name;
        int32_t word;
        float scalar;
    };
    const Case cases[] = {
        {OSKA_ROLE_DECAY, "decay", 2, 0},
        {OSKA_ROLE_RANGE_START, "decay_start", 0, 1.5f},
        {OSKA_ROLE_RANGE_END, "decay_end", 0, 7.25f},
        {OSKA_ROLE_FRONT_ONLY, "directional", 1, 0},
        {OSKA_ROLE_CUTOFF, "cutoff", 0, -0.5f},
        {OSKA_ROLE_THRESHOLD, "threshold", 0, 0.125f},
        {OSKA_ROLE_TEXTURE_SOURCE, "use_texture", 1, 0},
        {OSKA_ROLE_TEXTURE, "texture", 0, 0},
        {OSKA_ROLE_VERTEX_DATA, "use_vertex_color", 1, 0},
        {OSKA_ROLE_VERTEX_SOURCE, "vc_color", 1, 0},
        {OSKA_ROLE_HSV, "hsv_adjust", 1, 0},
        {OSKA_ROLE_BURN, "burn", 0, 0},
        {OSKA_ROLE_EMISSION, "color", 0, 0}, // a colour is neither a word nor a scalar
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(roles.name(c.role), c.name);
        EXPECT_EQ(roles.word(c.role), c.word);
        EXPECT_EQ(roles.scalar(c.role), c.scalar);
    }
    const oska_color emission = roles.color(OSKA_ROLE_EMISSION);
    EXPECT_EQ(std::vector<float>({emission.r, emission.g, emission.b, emission.a}),
              std::vector<float>({0.5f, 0.25f, 1, 2}));
    EXPECT_EQ(roles.color(OSKA_ROLE_CUTOFF).a, 0); // a scalar is not a colour
    // No two parameters of a shader share a role.
    for (const char *shader : {"oskacolor", "oskalight"}) {
        std::vector<int> seen;
        for (const oska_param_info &row : param_table(shader)) {
            if (row.role != OSKA_ROLE_NONE) {
                EXPECT_EQ(std::count(seen.begin(), seen.end(), row.role), 0) << row.name;
                seen.push_back(row.role);
            }
        }
    }
    // The vertex colour's channel is the parameter after its switch.
    EXPECT_EQ(roles.word(roles.next(roles.row(OSKA_ROLE_VERTEX_SOURCE))), 3);
    // What the colour swatches turn off: everything that weakens the light.
    std::vector<std::string> off;
    for (const oska_param_info *row : roles.rows(OSKA_PARAM_ATTENUATES)) {
        off.emplace_back(row->name);
    }
    EXPECT_EQ(off, (std::vector<std::string>{"shadows", "decay", "use_alpha", "texture_range",
                                             "directional", "cosine", "threshold", "vc_intensity",
                                             "vc_range"}));
    // A shader without these roles reads them as nothing.
    const oskalight_params light{};
    const Roles none("oskalight", &light);
    EXPECT_STREQ(none.name(OSKA_ROLE_DECAY), "");
    EXPECT_EQ(none.word(OSKA_ROLE_FRONT_ONLY), 0);
    EXPECT_EQ(none.scalar(OSKA_ROLE_CUTOFF), 0);
    EXPECT_EQ(none.next(none.row(OSKA_ROLE_VERTEX_SOURCE)), nullptr);
}

} // namespace
} // namespace oska::render::lookdev
