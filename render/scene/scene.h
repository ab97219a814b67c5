// Reads a scene from its JSON file or text, checked and resolved (see
// scene_desc.h for what it holds). Loading throws Error with a one-line
// message naming the file and the thing at fault.
#ifndef OSKA_RENDER_SCENE_H
#define OSKA_RENDER_SCENE_H

#include "error.h"
#include "scene_desc.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace oska::render {

struct LoadOptions {
    std::string library;         // replaces the scene's library when not empty
    std::string default_library; // when neither gives one
    // A scene's own "library" key names code to run: it is honoured only
    // when the user says so; otherwise it is an error.
    bool allow_scene_library = false;
    // Decoded pixels of all textures together, checked against each image's
    // header before its pixels are read.
    std::uint64_t max_image_bytes = std::uint64_t{2} << 30;
    // The largest scene, declaration or OBJ file read.
    std::uint64_t max_file_bytes = std::uint64_t{1} << 30;
};

// The option that lets a scene name its library.
extern const char *const kAllowSceneLibraryOption;

// The declarations that ship beside the library could not be read. The
// library itself may be what is wrong (a file that is no shader library has
// none beside it), which only the library's own checks can tell: see
// check_shader_library.
struct DeclarationsNotBeside : Error {
    DeclarationsNotBeside(const std::string &what, std::string scene, std::string library_file)
        : Error(what), scene_file(std::move(scene)), library(std::move(library_file)) {}
    std::string scene_file, library;
};

Scene load_scene_file(const std::string &path, const LoadOptions &options);
// `file` names the scene in messages; relative paths resolve against `base_dir`.
Scene load_scene_text(const std::string &text, const std::string &file, const std::string &base_dir,
                      const LoadOptions &options);

// Checks `params`, a JSON object of parameters, against the
// declarations of `shader` as a scene file's would be (types, names of scene
// elements), and gives the call it makes; throws Error naming `where`.
ShaderCall parse_shader_params(const Scene &scene, const std::string &shader,
                               const nlohmann::json &params, const std::string &where);

// The library beside the running program, the one this build made.
std::string default_library_path();

} // namespace oska::render

#endif
