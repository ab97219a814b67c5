#include "scene.h"

#include "error.h"
#include "files.h"
#include "json_reader.h"
#include "scene_objects.h"
#include "shader_calls.h"

#include <cmath>
#include <cstddef>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

namespace oska::render {

using nlohmann::json;

namespace {

// The index of the element of `list` called `name`; -1 when there is none.
template <class T> int index_named(const std::vector<T> &list, const std::string &name) {
    const T *found = find_named(list, name);
    return found == nullptr ? -1 : static_cast<int>(found - list.data());
}

void read_image_settings(const JsonReader &read, const json &image, Scene &scene) {
    read.allow(image, "image", {"width", "height", "spp", "light_samples"});
    for (auto [key, count, most] :
         {std::tuple{"width", &scene.width, kMostPixelsOnASide},
          std::tuple{"height", &scene.height, kMostPixelsOnASide},
          std::tuple{"spp", &scene.spp, kMostCameraSamples},
          std::tuple{"light_samples", &scene.light_samples, kMostLightSamples}}) {
        if (image.contains(key)) {
            *count = read.count(image[key], std::string("image: ") + key, 1, most);
        }
    }
}

void read_camera(const JsonReader &read, const json &node, Camera &camera) {
    read.allow(node, "camera", {"position", "look_at", "up", "fov", "orthographic", "height"});
    for (auto [key, point] : {std::pair{"position", &camera.position},
                              std::pair{"look_at", &camera.look_at}, std::pair{"up", &camera.up}}) {
        if (node.contains(key)) {
            *point = read.vec3(node[key], std::string("camera: ") + key);
        }
    }
    if (node.contains("fov")) {
        camera.fov = read.positive(node["fov"], "camera: fov");
        if (camera.fov >= 179) {
            read.fail("camera: fov", "expected less than 179 degrees");
        }
    }
    if (node.contains("orthographic")) {
        camera.orthographic = read.boolean(node["orthographic"], "camera: orthographic");
    }
    if (node.contains("height")) {
        camera.height = read.positive(node["height"], "camera: height");
    }
    Vec3 forward = camera.look_at - camera.position;
    if (length(forward) == 0) {
        read.fail("camera", "position and look_at are the same point");
    }
    if (length(cross(forward, camera.up)) <= 1e-6f * length(forward) * length(camera.up)) {
        read.fail("camera", "up is zero or parallel to the viewing direction");
    }
    // The camera's frame as its rays are formed: points or an up so close to
    // zero that their squares vanish give no direction of unit length.
    auto unit = [](Vec3 v) { return std::fabs(length(v) - 1) < 1e-3f; };
    forward = normalize(forward);
    if (!unit(forward)) {
        read.fail("camera", "position and look_at are too close together to give a direction");
    }
    if (!unit(normalize(cross(forward, camera.up)))) {
        read.fail("camera: up", "too short to give a direction, got " + node["up"].dump());
    }
}

void read_textures(const JsonReader &read, const json &node, Scene &scene,
                   std::uint64_t image_budget) {
    if (!node.is_object()) {
        read.fail("textures", "expected an object of named textures");
    }
    for (auto it = node.begin(); it != node.end(); ++it) {
        std::string where = "textures: '" + it.key() + "'";
        TextureDesc texture;
        texture.name = it.key();
        std::string colorspace = "auto";
        if (it->is_string()) {
            texture.file = read.path(it->get<std::string>());
        } else {
            read.allow(*it, where, {"file", "colorspace"});
            if (!it->contains("file")) {
                read.fail(where, "missing 'file'");
            }
            texture.file = read.path(read.string((*it)["file"], where + ": file"));
            if (it->contains("colorspace")) {
                colorspace = read.string((*it)["colorspace"], where + ": colorspace");
                if (colorspace != "srgb" && colorspace != "linear") {
                    read.fail(where + ": colorspace", "expected \"srgb\" or \"linear\"");
                }
            }
        }
        // Read whole now, so that a missing, truncated or unreadable file
        // stops the scene before anything is rendered.
        read.require_file(texture.file, where + ": image");
        try {
            texture.image = read_image(texture.file, colorspace, image_budget);
        } catch (const Error &e) {
            read.fail(where, e.what());
        }
        scene.inputs.push_back(texture.file);
        scene.textures.push_back(std::move(texture));
    }
}

void read_materials(const JsonReader &read, const json &node, Scene &scene) {
    if (!node.is_object()) {
        read.fail("materials", "expected an object of named materials");
    }
    for (auto it = node.begin(); it != node.end(); ++it) {
        std::string where = "materials: '" + it.key() + "'";
        read.allow(*it, where, {"color", "texture", "repeat"});
        MaterialDesc material;
        material.name = it.key();
        if (it->contains("color")) {
            material.color = read.vec3((*it)["color"], where + ": color");
        }
        if (it->contains("texture")) {
            std::string name = read.string((*it)["texture"], where + ": texture");
            material.texture = scene.find_texture(name);
            if (material.texture < 0) {
                read.fail(where + ": texture", "no texture named '" + name + "'");
            }
        }
        if (it->contains("repeat")) {
            const json &repeat = (*it)["repeat"];
            if (!repeat.is_array() || repeat.size() != 2) {
                read.fail(where + ": repeat", "expected [u, v]");
            }
            material.repeat_u = read.positive(repeat[0], where + ": repeat");
            material.repeat_v = read.positive(repeat[1], where + ": repeat");
        }
        scene.materials.push_back(material);
    }
}

// The scene-shader call that binds a light to the object named by its
// "object" key: an oskalight instance with that object and light.
json binding_call(const std::string &object, const std::string &light) {
    auto name = [](int role) { return param_with("oskalight", role)->name; };
    return json{{"shader", "oskalight"},
                {"params",
                 {{name(OSKA_ROLE_ENABLE), true},
                  {name(OSKA_ROLE_EMITTER), object},
                  {name(OSKA_ROLE_BOUND_LIGHTS), {light}}}}};
}

// A light's own settings: its distance exponent, emission divisor and
// sample count.
void read_light_settings(const JsonReader &read, const json &entry, LightDesc &light) {
    if (entry.contains("exponent")) {
        // The distance to this power stays a float for distances from
        // 0.01 to 100 (ordinary lights take 2).
        light.exponent = read.number(entry["exponent"], light.where + ": exponent");
        if (std::fabs(light.exponent) > 16) {
            read.fail(light.where + ": exponent",
                      "expected a number from -16 to 16, got " + entry["exponent"].dump());
        }
    }
    if (entry.contains("emit_divisor")) {
        light.emit_divisor = read.number(entry["emit_divisor"], light.where + ": emit_divisor");
    }
    if (entry.contains("samples")) {
        light.samples =
            read.count(entry["samples"], light.where + ": samples", 0, kMostLightSamples);
    }
}

// Reads the lights and their shader calls, whose names are checked once
// every name is known.
void read_lights(const JsonReader &read, const json &node, Scene &scene) {
    read.each_named(node, "lights", [&](const json &entry, std::string name, std::string where) {
        LightDesc light;
        light.name = std::move(name);
        light.where = std::move(where);
        read.allow(entry, light.where,
                   {"name", "object", "shader", "params", "exponent", "emit_divisor", "samples"});
        read_light_settings(read, entry, light);
        std::string shader = entry.contains("shader")
                                 ? read.string(entry["shader"], light.where + ": shader")
                                 : "oskacolor";
        light.shader = read_shader_call(read, scene, shader,
                                        entry.contains("params") ? entry["params"] : json::object(),
                                        light.where + ": params");
        if (entry.contains("object")) {
            light.object = read.string(entry["object"], light.where + ": object");
        }
        scene.lights.push_back(std::move(light));
    });
}

void check_names(const JsonReader &read, const Scene &scene) {
    std::set<std::string> names;
    auto add = [&](const std::string &name, const std::string &where) {
        if (!names.insert(name).second) {
            read.fail(where,
                      "the name '" + name +
                          "' is taken (objects, lights and textures share one set of names)");
        }
    };
    for (const TextureDesc &t : scene.textures) {
        add(t.name, "textures: '" + t.name + "'");
    }
    for (const ObjectDesc &o : scene.objects) {
        add(o.name, o.where);
    }
    for (const LightDesc &l : scene.lights) {
        add(l.name, l.where);
    }
}

} // namespace

const char *const kAllowSceneLibraryOption = "--allow-scene-library";

int Scene::find_object(const std::string &name) const { return index_named(objects, name); }

int Scene::find_light(const std::string &name) const { return index_named(lights, name); }

int Scene::find_texture(const std::string &name) const { return index_named(textures, name); }

namespace {

// The scene file's top level, parsed and its keys checked.
json read_root(const JsonReader &read, const std::string &text, const std::string &file) {
    check_text(text, file); // a UTF-8 byte-order mark the JSON reader skips
    json root = parse_json(read, text);
    // "about" describes the scene for people (the gallery shows it).
    read.allow(root, "",
               {"about", "library", "declarations", "image", "background", "camera", "textures",
                "materials", "objects", "lights", "shaders"});
    if (root.contains("about") && !root["about"].is_string()) {
        read.fail("about", "expected a string");
    }
    return root;
}

// The library to load. A scene is data: the library it names is code,
// loaded only when the user allows it.
std::string choose_library(const JsonReader &read, const json &root, const LoadOptions &options) {
    if (!options.library.empty()) {
        return options.library;
    }
    if (root.contains("library")) {
        std::string named = read.string(root["library"], "library");
        if (!options.allow_scene_library) {
            read.fail("library", "the scene names a library to load ('" + named +
                                     "'); that takes " + kAllowSceneLibraryOption +
                                     " (or choose one with --library)");
        }
        return read.path(named);
    }
    return options.default_library.empty() ? default_library_path() : options.default_library;
}

// The library, and the declarations that ship beside it (or the scene's own).
void read_library(const JsonReader &read, const json &root, const LoadOptions &options,
                  Scene &scene) {
    scene.library = choose_library(read, root, options);
    bool beside = !root.contains("declarations");
    scene.declarations_file = beside ? directory_of(scene.library) + "/oska.decl"
                                     : read.path(read.string(root["declarations"], "declarations"));
    try {
        scene.declarations = load_declarations(scene.declarations_file);
    } catch (const Error &e) {
        if (beside) {
            throw DeclarationsNotBeside(e.what(), scene.file, scene.library);
        }
        throw;
    }
    if (!beside) {
        // Records are laid out from the declarations but read by role from
        // the renderer's own tables: the two must describe the same records.
        check_against_tables(scene.declarations, scene.declarations_file);
    }
    scene.inputs.insert(scene.inputs.end(), {scene.library, scene.declarations_file});
}

// The image settings, camera, textures, materials, objects and lights.
void read_contents(const JsonReader &read, const json &root, const LoadOptions &options,
                   Scene &scene) {
    if (root.contains("image")) {
        read_image_settings(read, root["image"], scene);
    }
    if (root.contains("background")) {
        scene.background = read.vec3(root["background"], "background");
    }
    if (root.contains("camera")) {
        read_camera(read, root["camera"], scene.camera);
    }
    if (root.contains("textures")) {
        read_textures(read, root["textures"], scene, options.max_image_bytes);
    }
    if (root.contains("materials")) {
        read_materials(read, root["materials"], scene);
    }
    if (root.contains("objects")) {
        read_objects(read, root["objects"], scene, options.max_file_bytes);
    }
    if (root.contains("lights")) {
        read_lights(read, root["lights"], scene);
    }
}

// The scene shaders: first the calls that bind lights given an "object",
// then the scene's "shaders", each with where it comes from.
std::vector<std::pair<json, std::string>> shader_calls(const JsonReader &read, const json &root,
                                                       Scene &scene) {
    std::vector<std::pair<json, std::string>> shaders;
    for (LightDesc &light : scene.lights) {
        check_call_names(read, scene, light.shader);
        light.shader.where = light.where;
        if (!light.object.empty()) {
            if (scene.find_object(light.object) < 0) {
                read.fail(light.where + ": object", "no object named '" + light.object + "'");
            }
            shaders.emplace_back(binding_call(light.object, light.name), light.where + ": object");
        }
    }
    if (root.contains("shaders")) {
        const json &list = root["shaders"];
        if (!list.is_array()) {
            read.fail("shaders", "expected an array of shader calls");
        }
        for (std::size_t i = 0; i < list.size(); ++i) {
            shaders.emplace_back(list[i], "shaders[" + std::to_string(i) + "]");
        }
    }
    return shaders;
}

void read_shaders(const JsonReader &read, const json &root, Scene &scene) {
    for (const auto &[call, where] : shader_calls(read, root, scene)) {
        read.allow(call, where, {"shader", "params"});
        if (!call.contains("shader")) {
            read.fail(where, "missing 'shader'");
        }
        std::string name = read.string(call["shader"], where + ": shader");
        scene.shaders.push_back(read_shader_call(
            read, scene, name, call.contains("params") ? call["params"] : json::object(), where));
        check_call_names(read, scene, scene.shaders.back());
    }
}

} // namespace

Scene load_scene_text(const std::string &text, const std::string &file, const std::string &base_dir,
                      const LoadOptions &options) {
    Scene scene;
    scene.file = file;
    scene.base_dir = base_dir;
    JsonReader read(scene.file, scene.base_dir);
    json root = read_root(read, text, scene.file);
    read_library(read, root, options, scene);
    read_contents(read, root, options, scene);
    check_names(read, scene);
    read_shaders(read, root, scene);
    return scene;
}

ShaderCall parse_shader_params(const Scene &scene, const std::string &shader,
                               const json &params, const std::string &where) {
    JsonReader read(scene.file, scene.base_dir);
    ShaderCall call = read_shader_call(read, scene, shader, params, where);
    check_call_names(read, scene, call);
    return call;
}

Scene load_scene_file(const std::string &path, const LoadOptions &options) {
    std::string text = read_regular_file(path, path, options.max_file_bytes);
    Scene scene = load_scene_text(text, path, directory_of(path), options);
    scene.inputs.insert(scene.inputs.begin(), path);
    return scene;
}

} // namespace oska::render
