// Fuzzes oska-render's scene loader with any text as a scene file.
//
// Loading either gives a scene or throws the renderer's one kind of error
// (render::Error, a one-line message); anything else escaping the loader, or
// any fault the sanitizers see, is a finding. The files a scene names are
// looked up beside the example scenes; inputs that could name a file
// elsewhere (an absolute path, "..", an escaped slash or any \u escape) are
// skipped, so a run reads nothing but the examples.
#include "error.h"
#include "scene.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

bool stays_in_examples(const std::string &text) {
    for (const char *escape : {"..", "\"/", "\\/", "\\u"}) {
        if (text.find(escape) != std::string::npos) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    if (!stays_in_examples(text)) {
        return -1; // not kept in the corpus
    }
    oska::render::LoadOptions options;
    options.default_library = oska::render::default_library_path();
    try {
        const oska::render::Scene scene =
            oska::render::load_scene_text(text, "fuzz.json", OSKA_EXAMPLES_DIR, options);
        (void)scene;
    } catch (const oska::render::Error &) {
        // The loader's own refusal: the message says what is wrong.
    }
    return 0;
}
