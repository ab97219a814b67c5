// A scene as its JSON file describes it, checked and resolved: camera,
// objects with their meshes and vertex channels, materials, textures, lights
// with their light shaders, and the scene shaders run before rendering.
// Loading throws Error with a one-line message naming the file and the thing
// at fault.
#ifndef OSKA_RENDER_SCENE_H
#define OSKA_RENDER_SCENE_H

#include "declarations.h"
#include "error.h"
#include "mesh.h"
#include "textures.h"
#include "vec.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace oska::render {

struct Camera {
    Vec3 position{0, 1, 5};
    Vec3 look_at{0, 0, 0};
    Vec3 up{0, 1, 0};
    float fov = 40; // vertical field of view, degrees (perspective)
    bool orthographic = false;
    float height = 2; // orthographic: world units across the image height
};

struct TextureDesc {
    std::string name;
    std::string file; // resolved path
    Image image;      // decoded once, when the scene is read
};

struct MaterialDesc {
    std::string name;
    Vec3 color{0.75f, 0.75f, 0.75f};
    int texture = -1; // index into textures, multiplies color
    float repeat_u = 1, repeat_v = 1;
};

struct ObjectDesc {
    std::string name;
    std::string where; // "objects[2] 'ball'", for messages
    Mesh mesh;         // in world space
    int material = -1; // index into materials; -1: the default grey
};

// A parameter value checked against its declaration. Tags are kept as the
// names of scene elements until the host has given them tags.
struct ParamSetting {
    const ParamDecl *decl = nullptr;
    float numbers[4] = {0, 0, 0, 0}; // colour (r, g, b, a) or scalar
    int32_t integer = 0;             // integer or boolean
    std::vector<std::string> names;  // tag (one) or array of tags
};

struct ShaderCall {
    std::string shader;
    std::string where; // "shaders[0]" or "lights[1] 'strip'"
    const ShaderDecl *decl = nullptr;
    std::vector<ParamSetting> params;
};

struct LightDesc {
    std::string name;
    std::string where;
    ShaderCall shader;      // its light shader (oskacolor)
    std::string object;     // the object its "object" key binds it to, if any
    float exponent = 2;     // the light's distance exponent
    float emit_divisor = 1; // divides a physical light's brightness as the camera sees it
    int samples = 0;        // light samples per shading point; 0: the render's default
};

// Parameters point into `declarations`: a scene moves but does not copy.
struct Scene {
    Scene() = default;
    Scene(Scene &&) = default;
    Scene &operator=(Scene &&) = default;
    Scene(const Scene &) = delete;
    Scene &operator=(const Scene &) = delete;

    std::string file;     // the scene file, as named in messages
    std::string base_dir; // relative paths resolve against it
    std::string library;  // the shader library to load
    std::string declarations_file;
    Declarations declarations;
    // Every file the scene was read from: the scene file itself (first, when
    // it is one), its library, declarations, textures and models. Nothing
    // written may replace one of them.
    std::vector<std::string> inputs;

    int width = 256, height = 192;
    int spp = 4;           // camera samples per pixel
    int light_samples = 8; // per light and camera sample, unless the light says
    Vec3 background{0, 0, 0};
    Camera camera;

    std::vector<TextureDesc> textures;
    std::vector<MaterialDesc> materials;
    std::vector<ObjectDesc> objects;
    std::vector<LightDesc> lights;
    std::vector<ShaderCall> shaders; // scene shaders, run in order before rendering

    int find_object(const std::string &name) const;
    int find_light(const std::string &name) const;
    int find_texture(const std::string &name) const;
};

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

// Checks `params`, the text of a JSON object of parameters, against the
// declarations of `shader` as a scene file's would be (types, names of scene
// elements), and gives the call it makes; throws Error naming `where`.
ShaderCall parse_shader_params(const Scene &scene, const std::string &shader,
                               const std::string &params, const std::string &where);

// The library beside the running program, the one this build made.
std::string default_library_path();

} // namespace oska::render

#endif
