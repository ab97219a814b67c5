// Writing light parameters back into a scene file: only each light's
// "params" changes, whatever else the text holds.
#include "lookdev/values.h"

#include "error.h"

#include <gtest/gtest.h>

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

} // namespace
} // namespace oska::render::lookdev
