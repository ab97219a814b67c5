// The oska-render command line:
//   oska-render [SCENE.json] [-o OUT.exr|OUT.png] [--threads N] [--spp N]
//               [--light-samples N] [--size WxH] [--library FILE]
//               [--allow-scene-library] [--max-image-memory MIB] [--quiet] [--verbose]
//               [--sampler sobol|random] [--seed N] [--time SECONDS] [--noise TARGET]
//               [--light-sampling area|bounds|choose] [--light-split N]
//               [--adaptive on|off]
//   oska-render serve SCENE.json [--port N] [--threads N] [--library FILE]
//               [--allow-scene-library] [--max-image-memory MIB]
// Without a scene it renders the built-in showcase.
#ifndef OSKA_RENDER_CLI_H
#define OSKA_RENDER_CLI_H

#include "scene.h"

#include <functional>
#include <iostream>
#include <string>

namespace oska::render {

// A command-line mistake: the line the user is told before the usage text
// (empty: just the usage text).
struct Usage {
    std::string what;
};

// `text` as a whole number from `low` to `high`, or a Usage naming `option`.
int parse_whole_number(const std::string &option, const std::string &text, long low, long high);

// Gives `take` each word of the command line after the program's name, and
// a function that gives the word after it as its value (Usage "WORD: needs a
// value" when there is none).
using Value = std::function<std::string()>;
void for_each_word(int argc, const char *const *argv,
                   const std::function<void(const std::string &, const Value &)> &take);

// What rendering and serving both take: the scene, its library, the image
// memory and the threads.
struct SceneArguments {
    std::string scene, library;
    int threads = 0; // 0: one for each core
    int max_image_mib = 2048;
    bool allow_scene_library = false;

    // Takes `word`, one of these options (its value from `value`) or the
    // scene; throws Usage for any other option or a second scene.
    void take(const std::string &word, const Value &value);
    LoadOptions load_options() const;
    int thread_count() const;
};

// Renders as the command line says (main sends `serve` to the lookdev
// server before); messages, progress and the summary go to `err`, the help
// text to `out`. Returns the exit status: 0 done, 1 failed (one line
// on `err` says why), 2 bad usage.
int run_cli(int argc, const char *const *argv, std::ostream &err, std::ostream &out = std::cout);

// The built-in showcase scene (examples/showcase.json).
extern const char *const kShowcaseScene;

} // namespace oska::render

#endif
