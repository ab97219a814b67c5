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
    // A pretty file's params wrap at its width, aligned under their first
    // member, and a light without params on a short line gets them so too.
    const json many = {{"color", {1, 0.85, 0.6}}, {"cosine", true},
                       {"cutoff", 0.9},           {"decay", 2},
                       {"decay_end", 5},          {"decay_start", 0.8},
                       {"directional", true},     {"max_level", 4},
                       {"shadows", true},         {"shadow_color", {0.05, 0.05, 0.12}}};
    EXPECT_EQ(splice_light_params("{\n  \"lights\": [\n    { \"name\": \"spot\",\n      "
                                  "\"params\": {} },\n    {}\n  ]\n}\n",
                                  {many, many}),
              "{\n  \"lights\": [\n    { \"name\": \"spot\",\n"
              "      \"params\": { \"color\": [1,0.85,0.6], \"cosine\": true, \"cutoff\": 0.9, "
              "\"decay\": 2,\n"
              "                  \"decay_end\": 5, \"decay_start\": 0.8, \"directional\": true,\n"
              "                  \"max_level\": 4, \"shadow_color\": [0.05,0.05,0.12],\n"
              "                  \"shadows\": true } },\n"
              "    { \"params\": { \"color\": [1,0.85,0.6], \"cosine\": true, \"cutoff\": 0.9, "
              "\"decay\": 2, \"decay_end\": 5,\n"
              "      \"decay_start\": 0.8, \"directional\": true, \"max_level\": 4,\n"
              "      \"shadow_color\": [0.05,0.05,0.12], \"shadows\": true } }\n"
              "  ]\n}\n");
    // The file no longer has the lights the page edits: nothing is written.
    EXPECT_THROW(splice_light_params(R"({"lights": [{}]})", {two, two}), Error);
    EXPECT_THROW(splice_light_params(R"({"lights": [{"params": {"a": [1, 2})", {two}), Error);
}

// A scene written on one line by a program: Save's text is no larger than
// what it rewrites, however long the line, so the saved scene opens again
// (the server refuses a scene file past its size).
TEST(LookdevSave, OneLineSceneGrowsOnlyByTheParamsWritten) {
    const json params = {
        {"color", {1, 0.45, 0.15}}, {"decay", 3},     {"decay_start", 0.25},  {"decay_end", 12.5},
        {"threshold", 0.002},       {"cutoff", 0.9},  {"burn_multiplier", 2}, {"burn_power", 1.5},
        {"burn_threshold", 0.75},   {"hue", 0.1},     {"saturation", 1.2},    {"value", 0.8},
        {"max_level", 4},           {"shadows", true}};
    auto lights = [](std::size_t count, const std::string &light) {
        std::string out = "[";
        for (std::size_t i = 0; i < count; ++i) {
            out += (i == 0 ? "" : ",") + light;
        }
        return out + "]";
    };
    const std::string lamp =
        R"({"name":"lamp","object":"panel","params":{"decay":1,"shadows":true}})";
    const std::string bare = R"({"name":"lamp","object":"panel"})";
    const std::string about = "\"" + std::string(300000, 'a') + "\"";
    const struct {
        const char *name;
        std::string before, light, after; // the scene: lights between these
        std::size_t lights;
        std::vector<std::size_t> changed; // none: every light
    } cases[] = {
        {"2000 lights, 4 changed", R"({"lights":)", lamp, "}", 2000, {3, 700, 1500, 1999}},
        {"2000 lights, all changed", R"({"lights":)", lamp, "}", 2000, {}},
        {"a long about before the lights",
         R"({"about":)" + about + R"(,"lights":)",
         lamp,
         "}",
         3,
         {0, 1, 2}},
        {"a long about after the lights",
         R"({"lights":)",
         lamp,
         R"(,"about":)" + about + "}",
         3,
         {0, 1, 2}},
        {"lights without params",
         R"({"about":)" + about + R"(,"lights":)",
         bare,
         "}",
         500,
         {0, 250, 499}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = c.before + lights(c.lights, c.light) + c.after;
        std::vector<json> written(c.lights);
        std::size_t rewritten = 0, changed = 0;
        for (std::size_t i = 0; i < c.lights; ++i) {
            if (c.changed.empty() ||
                std::find(c.changed.begin(), c.changed.end(), i) != c.changed.end()) {
                written[i] = params;
                rewritten += params.dump().size();
                ++changed;
            }
        }
        const std::string saved = splice_light_params(text, written);
        // Each light's params as compact JSON, a space after each colon and
        // comma, and the key of those a light lacked.
        EXPECT_LE(saved.size(), text.size() + rewritten * 5 / 4 + 16 * changed);
        EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 0);
        const json scene = json::parse(saved, nullptr, false);
        ASSERT_FALSE(scene.is_discarded());
        for (std::size_t i = 0; i < c.lights; ++i) {
            json expected = json::parse(c.light);
            if (!written[i].is_null()) {
                expected["params"] = written[i];
            }
            ASSERT_EQ(scene["lights"][i], expected) << "light " << i;
        }
    }
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
