// Scene texts the loader fuzz harness found faults with. Whatever the text,
// loading either gives a scene or throws the renderer's one kind of error,
// whose single line names the scene file.
#include "error.h"
#include "scene.h"

#include <gtest/gtest.h>

#include <string>

namespace oska::render {
namespace {

// The message of the error that loading `text` throws; fails the test when
// loading succeeds or anything else escapes.
std::string load_error(const std::string &text) {
    LoadOptions options;
    options.default_library = default_library_path();
    try {
        load_scene_text(text, "fuzzed.json", OSKA_EXAMPLES_DIR, options);
    } catch (const Error &e) {
        return e.what();
    } catch (const std::exception &e) {
        ADD_FAILURE() << "not the loader's error: " << e.what();
        return {};
    }
    ADD_FAILURE() << "the scene loaded";
    return {};
}

// A number beyond the range of a double is not valid JSON for the loader:
// the parser's overflow is reported like any other parse failure.
TEST(SceneLoaderFindings, NumberOverflowIsAParseError) {
    for (const char *text : {"{\"image\": {\"width\": 1e999}}", "[-1e400]", "1E+99999"}) {
        SCOPED_TRACE(text);
        const std::string error = load_error(text);
        EXPECT_NE(error.find("fuzzed.json"), std::string::npos) << error;
        EXPECT_NE(error.find("not valid JSON"), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

} // namespace
} // namespace oska::render
