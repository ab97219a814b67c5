// A scene as the renderer keeps it once read: camera, objects with their
// meshes and vertex channels, materials, textures, lights with their light
// shaders, and the scene shaders run before rendering. scene.h reads it
// from a file; the readers of its parts fill it in.
#ifndef OSKA_RENDER_SCENE_DESC_H
#define OSKA_RENDER_SCENE_DESC_H

#include "declarations.h"
#include "mesh.h"
#include "textures.h"
#include "vec.h"

#include <cstdint>
#include <string>
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

// The most a scene or the command line may ask for: pixels on a side of the
// image, camera samples per pixel, and light samples, which the light keeps
// in 16 bits (a count beyond them would reach it cut or wrapped).
constexpr int kMostPixelsOnASide = 16384;
constexpr int kMostCameraSamples = 65536;
constexpr int kMostLightSamples = 65535;

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

} // namespace oska::render

#endif
