#include "scene.h"

#include "error.h"
#include "files.h"

#include <oska/host/library.h>

#include <OpenImageIO/imageio.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace oska::render {

using nlohmann::json;

namespace {

// Reads one JSON value of a scene, with the file and the path of the value
// for messages ("hall.json: lights[0] 'strip': params: color: ...").
class Reader {
  public:
    Reader(const Scene &scene) : scene_(scene) {}

    [[noreturn]] void fail(const std::string &where, const std::string &what) const {
        throw Error(scene_.file + ": " + (where.empty() ? "" : where + ": ") + what);
    }

    // Refuses keys the scene format does not know (a misspelt key would
    // otherwise be ignored silently).
    void allow(const json &object, const std::string &where,
               std::initializer_list<const char *> keys) const {
        if (!object.is_object()) {
            fail(where, "expected an object");
        }
        for (auto it = object.begin(); it != object.end(); ++it) {
            bool known = false;
            for (const char *key : keys) {
                known = known || it.key() == key;
            }
            if (!known) {
                fail(where, "unknown key '" + it.key() + "'");
            }
        }
    }

    float number(const json &value, const std::string &where) const {
        if (!value.is_number()) {
            fail(where, "expected a number");
        }
        double d = value.get<double>();
        if (!std::isfinite(d) || std::fabs(d) > 3.0e38) {
            fail(where, "expected a finite number");
        }
        return static_cast<float>(d);
    }

    float positive(const json &value, const std::string &where) const {
        float v = number(value, where);
        if (!(v > 0)) {
            fail(where, "expected a positive number, got " + value.dump());
        }
        return v;
    }

    int64_t whole(const json &value, const std::string &where) const {
        if (value.is_number_integer()) {
            return value.get<int64_t>();
        }
        if (value.is_number_float()) {
            double d = value.get<double>();
            if (std::floor(d) == d && std::fabs(d) < 2.0e9) {
                return static_cast<int64_t>(d);
            }
        }
        fail(where, "expected a whole number, got " + value.dump());
    }

    // A count: a whole number from `low` to `high`.
    int count(const json &value, const std::string &where, int64_t low, int64_t high) const {
        if (!value.is_number()) {
            fail(where, "expected a whole number, got " + value.dump());
        }
        int64_t v = whole(value, where);
        if (v < low || v > high) {
            fail(where, "expected a whole number from " + std::to_string(low) + " to " +
                            std::to_string(high) + ", got " + value.dump());
        }
        return static_cast<int>(v);
    }

    Vec3 vec3(const json &value, const std::string &where) const {
        if (!value.is_array() || value.size() != 3) {
            fail(where, "expected [x, y, z]");
        }
        return {number(value[0], where), number(value[1], where), number(value[2], where)};
    }

    std::string string(const json &value, const std::string &where) const {
        if (!value.is_string() || value.get<std::string>().empty()) {
            fail(where, "expected a non-empty string");
        }
        return value.get<std::string>();
    }

    bool boolean(const json &value, const std::string &where) const {
        if (!value.is_boolean()) {
            fail(where, "expected true or false");
        }
        return value.get<bool>();
    }

    // Stops unless `file` is a regular file: "SCENE: WHERE 'FILE': PROBLEM".
    void require_file(const std::string &file, const std::string &where) const {
        if (std::string problem = file_problem(file); !problem.empty()) {
            fail(where + " '" + file + "'", problem);
        }
    }

    std::string path(const std::string &relative) const {
        if (relative.empty() || relative[0] == '/' || scene_.base_dir.empty()) {
            return relative;
        }
        return scene_.base_dir + "/" + relative;
    }

  private:
    const Scene &scene_;
};

std::string quoted(const std::string &where, const std::string &name) {
    return name.empty() ? where : where + " '" + name + "'";
}

void read_image_settings(const Reader &r, const json &j, Scene &scene) {
    r.allow(j, "image", {"width", "height", "spp", "light_samples"});
    if (j.contains("width")) {
        scene.width = r.count(j["width"], "image: width", 1, 16384);
    }
    if (j.contains("height")) {
        scene.height = r.count(j["height"], "image: height", 1, 16384);
    }
    if (j.contains("spp")) {
        scene.spp = r.count(j["spp"], "image: spp", 1, 65536);
    }
    if (j.contains("light_samples")) {
        scene.light_samples = r.count(j["light_samples"], "image: light_samples", 1, 65535);
    }
}

void read_camera(const Reader &r, const json &j, Camera &camera) {
    r.allow(j, "camera", {"position", "look_at", "up", "fov", "orthographic", "height"});
    if (j.contains("position")) {
        camera.position = r.vec3(j["position"], "camera: position");
    }
    if (j.contains("look_at")) {
        camera.look_at = r.vec3(j["look_at"], "camera: look_at");
    }
    if (j.contains("up")) {
        camera.up = r.vec3(j["up"], "camera: up");
    }
    if (j.contains("fov")) {
        camera.fov = r.positive(j["fov"], "camera: fov");
        if (camera.fov >= 179) {
            r.fail("camera: fov", "expected less than 179 degrees");
        }
    }
    if (j.contains("orthographic")) {
        camera.orthographic = r.boolean(j["orthographic"], "camera: orthographic");
    }
    if (j.contains("height")) {
        camera.height = r.positive(j["height"], "camera: height");
    }
    Vec3 forward = camera.look_at - camera.position;
    if (length(forward) == 0) {
        r.fail("camera", "position and look_at are the same point");
    }
    if (length(cross(forward, camera.up)) <= 1e-6f * length(forward) * length(camera.up)) {
        r.fail("camera", "up is parallel to the viewing direction");
    }
}

// Sends standard error to /dev/null while it lives (scene loading runs on
// one thread, before anything else writes there).
class StandardErrorMuted {
  public:
    StandardErrorMuted() {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) {
            dup2(null, STDERR_FILENO);
        }
        if (null >= 0) {
            close(null);
        }
    }
    ~StandardErrorMuted() {
        std::fflush(stderr);
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
        }
    }
    StandardErrorMuted(const StandardErrorMuted &) = delete;
    StandardErrorMuted &operator=(const StandardErrorMuted &) = delete;

  private:
    int saved_ = -1;
};

std::string megabytes(std::uint64_t bytes) {
    return std::to_string((bytes + (1u << 20) - 1) >> 20) + " MiB";
}

void read_textures(const Reader &r, const json &j, Scene &scene, std::uint64_t image_budget) {
    if (!j.is_object()) {
        r.fail("textures", "expected an object of named textures");
    }
    for (auto it = j.begin(); it != j.end(); ++it) {
        std::string where = "textures: '" + it.key() + "'";
        TextureDesc texture;
        texture.name = it.key();
        std::string colorspace = "auto";
        if (it->is_string()) {
            texture.file = r.path(it->get<std::string>());
        } else {
            r.allow(*it, where, {"file", "colorspace"});
            if (!it->contains("file")) {
                r.fail(where, "missing 'file'");
            }
            texture.file = r.path(r.string((*it)["file"], where + ": file"));
            if (it->contains("colorspace")) {
                colorspace = r.string((*it)["colorspace"], where + ": colorspace");
                if (colorspace != "srgb" && colorspace != "linear") {
                    r.fail(where + ": colorspace", "expected \"srgb\" or \"linear\"");
                }
            }
        }
        // Read the image whole now, so that a missing, truncated or unreadable
        // file stops the scene before anything is rendered, and check its
        // size against the budget before its pixels are read.
        r.require_file(texture.file, where + ": image");
        auto input = OIIO::ImageInput::open(texture.file);
        if (!input) {
            std::string why = OIIO::geterror();
            if (auto end = why.find('\n'); end != std::string::npos) {
                why.erase(end);
            }
            r.fail(where,
                   "cannot read image '" + texture.file + "'" + (why.empty() ? "" : ": " + why));
        }
        const OIIO::ImageSpec layout = input->spec_dimensions(0);
        if (layout.width <= 0 || layout.height <= 0 || layout.nchannels <= 0 || layout.depth != 1) {
            r.fail(where, "image '" + texture.file + "' is empty");
        }
        // As floats: what the texture system may hold of it.
        std::uint64_t bytes = static_cast<std::uint64_t>(layout.width) *
                              static_cast<std::uint64_t>(layout.height) *
                              static_cast<std::uint64_t>(layout.nchannels) * sizeof(float);
        if (bytes > image_budget) {
            r.fail(where, "image '" + texture.file + "' is " + std::to_string(layout.width) + "x" +
                              std::to_string(layout.height) + " with " +
                              std::to_string(layout.nchannels) + " channels (" + megabytes(bytes) +
                              "), beyond what is left of the image memory budget (" +
                              megabytes(image_budget) + ", --max-image-memory)");
        }
        image_budget -= bytes;
        std::vector<float> pixels(static_cast<std::size_t>(bytes / sizeof(float)));
        // The PNG decoder prints its own complaint besides returning it; the
        // scene's message below says what it had to say.
        StandardErrorMuted muted;
        if (!input->read_image(0, 0, 0, layout.nchannels, OIIO::TypeDesc::FLOAT, pixels.data())) {
            std::string why = input->geterror();
            if (auto end = why.find('\n'); end != std::string::npos) {
                why.erase(end);
            }
            r.fail(where, "image '" + texture.file + "' cannot be read whole" +
                              (why.empty() ? "" : ": " + why));
        }
        bool integer_pixels = layout.format.basetype == OIIO::TypeDesc::UINT8 ||
                              layout.format.basetype == OIIO::TypeDesc::UINT16;
        texture.srgb = colorspace == "auto" ? integer_pixels : colorspace == "srgb";
        input->close();
        scene.textures.push_back(texture);
    }
}

void read_materials(const Reader &r, const json &j, Scene &scene) {
    if (!j.is_object()) {
        r.fail("materials", "expected an object of named materials");
    }
    for (auto it = j.begin(); it != j.end(); ++it) {
        std::string where = "materials: '" + it.key() + "'";
        r.allow(*it, where, {"color", "texture", "repeat"});
        MaterialDesc material;
        material.name = it.key();
        if (it->contains("color")) {
            material.color = r.vec3((*it)["color"], where + ": color");
        }
        if (it->contains("texture")) {
            std::string name = r.string((*it)["texture"], where + ": texture");
            material.texture = scene.find_texture(name);
            if (material.texture < 0) {
                r.fail(where + ": texture", "no texture named '" + name + "'");
            }
        }
        if (it->contains("repeat")) {
            const json &repeat = (*it)["repeat"];
            if (!repeat.is_array() || repeat.size() != 2) {
                r.fail(where + ": repeat", "expected [u, v]");
            }
            material.repeat_u = r.positive(repeat[0], where + ": repeat");
            material.repeat_v = r.positive(repeat[1], where + ": repeat");
        }
        scene.materials.push_back(material);
    }
}

// Fills vertex channel `n` of `mesh` from its description: a constant
// [x, y, z], {"from": [..], "to": [..], "along": "u" | "v"}, or
// {"vertices": [[x, y, z], ...]} in the mesh's source vertex order.
void read_channel(const Reader &r, const json &j, const std::string &where, Mesh &mesh,
                  std::size_t n) {
    std::vector<Vec3> values(mesh.vertex_count());
    if (j.is_array()) {
        Vec3 constant = r.vec3(j, where);
        std::fill(values.begin(), values.end(), constant);
    } else if (j.is_object() && j.contains("vertices")) {
        r.allow(j, where, {"vertices"});
        const json &list = j["vertices"];
        if (!list.is_array() || list.size() != mesh.source_vertex_count) {
            r.fail(where, "expected " + std::to_string(mesh.source_vertex_count) +
                              " vertex values (one per vertex of the mesh), got " +
                              (list.is_array() ? std::to_string(list.size()) : list.dump()));
        }
        std::vector<Vec3> source;
        for (std::size_t i = 0; i < list.size(); ++i) {
            source.push_back(r.vec3(list[i], where + ": vertices[" + std::to_string(i) + "]"));
        }
        for (std::size_t v = 0; v < values.size(); ++v) {
            values[v] = source[mesh.source_vertex[v]];
        }
    } else if (j.is_object()) {
        r.allow(j, where, {"from", "to", "along"});
        if (!j.contains("from") || !j.contains("to")) {
            r.fail(where, "a gradient needs 'from' and 'to'");
        }
        Vec3 from = r.vec3(j["from"], where + ": from"), to = r.vec3(j["to"], where + ": to");
        std::string along = j.contains("along") ? r.string(j["along"], where + ": along") : "u";
        if (along != "u" && along != "v" && along != "x" && along != "y" && along != "z") {
            r.fail(where + ": along", "expected \"u\", \"v\", \"x\", \"y\" or \"z\"");
        }
        // x, y, z: across the object's own extent on that axis, before it is placed.
        int axis = along == "x" ? 0 : (along == "y" ? 1 : (along == "z" ? 2 : -1));
        float low = 0, high = 1;
        if (axis >= 0) {
            low = high = mesh.positions.at(0)[axis];
            for (const Vec3 &p : mesh.positions) {
                low = std::min(low, p[axis]);
                high = std::max(high, p[axis]);
            }
        }
        for (std::size_t v = 0; v < values.size(); ++v) {
            float t = axis < 0 ? (along == "u" ? mesh.uvs[v].x : mesh.uvs[v].y)
                               : (high > low ? (mesh.positions[v][axis] - low) / (high - low) : 0);
            values[v] = from + (to - from) * t;
        }
    } else {
        r.fail(where, "expected [x, y, z], a gradient {from, to, along} or {vertices: [...]}");
    }
    if (mesh.channels.size() <= n) {
        mesh.channels.resize(n + 1);
    }
    mesh.channels[n] = std::move(values);
}

Transform read_transform(const Reader &r, const json &j, const std::string &where) {
    Transform transform;
    if (j.contains("scale")) {
        const json &s = j["scale"];
        Vec3 scale = s.is_number() ? Vec3{1, 1, 1} * r.number(s, where + ": scale")
                                   : r.vec3(s, where + ": scale");
        if (scale.x == 0 || scale.y == 0 || scale.z == 0) {
            r.fail(where + ": scale", "a scale of 0 flattens the object");
        }
        transform = Transform::scale(scale);
    }
    if (j.contains("rotate")) {
        Vec3 degrees = r.vec3(j["rotate"], where + ": rotate");
        for (int axis = 0; axis < 3; ++axis) {
            if (degrees[axis] != 0) {
                transform = Transform::rotate(axis, degrees[axis]).after(transform);
            }
        }
    }
    if (j.contains("translate")) {
        transform =
            Transform::translate(r.vec3(j["translate"], where + ": translate")).after(transform);
    }
    return transform;
}

void read_objects(const Reader &r, const json &j, Scene &scene, std::uint64_t max_file_bytes) {
    if (!j.is_array()) {
        r.fail("objects", "expected an array of objects");
    }
    for (std::size_t i = 0; i < j.size(); ++i) {
        const json &o = j[i];
        std::string where = "objects[" + std::to_string(i) + "]";
        if (!o.is_object()) {
            r.fail(where, "expected an object");
        }
        ObjectDesc object;
        if (!o.contains("name")) {
            r.fail(where, "missing 'name'");
        }
        object.name = r.string(o["name"], where + ": name");
        where = quoted(where, object.name);
        object.where = where;
        r.allow(o, where,
                {"name", "shape", "mesh", "size", "radius", "segments", "material", "color",
                 "translate", "rotate", "scale", "channels"});
        if (o.contains("mesh") == o.contains("shape")) {
            r.fail(where, "give either 'shape' (quad, box, sphere) or 'mesh' (an OBJ file)");
        }
        if (o.contains("mesh")) {
            std::string file = r.path(r.string(o["mesh"], where + ": mesh"));
            try {
                object.mesh = load_obj(file, max_file_bytes);
            } catch (const Error &e) {
                r.fail(where, e.what());
            }
        } else {
            std::string shape = r.string(o["shape"], where + ": shape");
            if (shape == "quad") {
                float sx = 1, sz = 1;
                if (o.contains("size")) {
                    const json &s = o["size"];
                    if (!s.is_array() || s.size() != 2) {
                        r.fail(where + ": size", "expected [x, z]");
                    }
                    sx = r.positive(s[0], where + ": size");
                    sz = r.positive(s[1], where + ": size");
                }
                object.mesh = make_quad(sx, sz);
            } else if (shape == "box") {
                Vec3 size{1, 1, 1};
                if (o.contains("size")) {
                    size = r.vec3(o["size"], where + ": size");
                    if (!(size.x > 0 && size.y > 0 && size.z > 0)) {
                        r.fail(where + ": size", "expected positive sizes");
                    }
                }
                object.mesh = make_box(size);
            } else if (shape == "sphere") {
                float radius =
                    o.contains("radius") ? r.positive(o["radius"], where + ": radius") : 0.5f;
                int segments = o.contains("segments")
                                   ? r.count(o["segments"], where + ": segments", 4, 1024)
                                   : 32;
                object.mesh = make_sphere(radius, segments);
            } else {
                r.fail(where + ": shape", "unknown shape '" + shape + "' (quad, box or sphere)");
            }
        }
        if (o.contains("material") && o.contains("color")) {
            r.fail(where, "give either 'material' or 'color'");
        }
        if (o.contains("material")) {
            std::string name = r.string(o["material"], where + ": material");
            for (std::size_t m = 0; m < scene.materials.size(); ++m) {
                if (scene.materials[m].name == name) {
                    object.material = static_cast<int>(m);
                }
            }
            if (object.material < 0) {
                r.fail(where + ": material", "no material named '" + name + "'");
            }
        } else if (o.contains("color")) {
            MaterialDesc own;
            own.name = "(" + object.name + ")";
            own.color = r.vec3(o["color"], where + ": color");
            object.material = static_cast<int>(scene.materials.size());
            scene.materials.push_back(own);
        }
        if (o.contains("channels")) {
            const json &channels = o["channels"];
            if (!channels.is_object()) {
                r.fail(where + ": channels", "expected an object of numbered channels");
            }
            for (auto it = channels.begin(); it != channels.end(); ++it) {
                std::string cw = where + ": channels: '" + it.key() + "'";
                char *end = nullptr;
                long n = std::strtol(it.key().c_str(), &end, 10);
                if (it.key().empty() || *end != '\0' || n < 1 || n > 15) {
                    r.fail(cw, "a channel is numbered 1 to 15 (0 is the texture coordinate)");
                }
                read_channel(r, *it, cw, object.mesh, static_cast<std::size_t>(n));
            }
        }
        transform_mesh(object.mesh, read_transform(r, o, where));
        for (const Vec3 &p : object.mesh.positions) {
            if (!finite(p)) {
                r.fail(where, "vertex positions are not finite");
            }
        }
        scene.objects.push_back(std::move(object));
    }
}

// Sets one parameter from its JSON value, checked against its declared type.
ParamSetting read_param(const Reader &r, const ParamDecl &decl, const json &v,
                        const std::string &where) {
    ParamSetting setting;
    setting.decl = &decl;
    auto wrong = [&](const std::string &what) {
        r.fail(where, "expected " + what + ", got " + v.dump());
    };
    if (decl.array) {
        if (!v.is_array()) {
            wrong("an array of names");
        }
        for (const json &element : v) {
            if (!element.is_string()) {
                wrong("an array of names");
            }
            setting.names.push_back(element.get<std::string>());
        }
        return setting;
    }
    switch (decl.type) {
    case ParamType::color:
        if (!v.is_array() || (v.size() != 3 && v.size() != 4)) {
            wrong("a colour [r, g, b] or [r, g, b, a]");
        }
        for (std::size_t c = 0; c < v.size(); ++c) {
            if (!v[c].is_number()) {
                wrong("a colour [r, g, b] or [r, g, b, a]");
            }
            setting.numbers[c] = r.number(v[c], where);
        }
        if (v.size() == 3) {
            setting.numbers[3] = 1;
        }
        break;
    case ParamType::scalar:
        if (!v.is_number()) {
            wrong("a number");
        }
        setting.numbers[0] = r.number(v, where);
        break;
    case ParamType::boolean:
        if (!v.is_boolean()) {
            wrong("true or false");
        }
        setting.integer = v.get<bool>() ? 1 : 0;
        break;
    case ParamType::integer: {
        if (!v.is_number()) {
            wrong("a whole number");
        }
        int64_t n = r.whole(v, where);
        if (n < INT32_MIN || n > INT32_MAX) {
            wrong("a 32-bit whole number");
        }
        setting.integer = static_cast<int32_t>(n);
        break;
    }
    case ParamType::tag:
        if (!v.is_string()) {
            wrong("the name of a scene element");
        }
        setting.names.push_back(v.get<std::string>());
        break;
    }
    return setting;
}

ShaderCall read_shader_call(const Reader &r, const Scene &scene, const std::string &shader,
                            const json &params, const std::string &where) {
    ShaderCall call;
    call.shader = shader;
    call.where = where;
    call.decl = scene.declarations.find(shader);
    if (call.decl == nullptr) {
        r.fail(where,
               "unknown shader '" + shader + "' (not declared in " + scene.declarations_file + ")");
    }
    if (!params.is_object()) {
        r.fail(where + ": params", "expected an object of parameters");
    }
    for (auto it = params.begin(); it != params.end(); ++it) {
        const ParamDecl *decl = call.decl->find(it.key());
        std::string pw = where + ": parameter '" + it.key() + "'";
        if (decl == nullptr) {
            r.fail(where, "unknown parameter '" + it.key() + "' of " + shader);
        }
        ParamSetting setting = read_param(r, *decl, *it, pw);
        // The light keeps its sample counts in 16 bits: a count beyond them,
        // or below 0, would reach it cut or wrapped.
        if (shader == "oskalight" && it.key().rfind("samples_", 0) == 0 &&
            (setting.integer < 0 || setting.integer > 65535)) {
            r.fail(pw, "expected a sample count from 0 to 65535, got " + it->dump());
        }
        if (decl->type == ParamType::tag && !decl->array && it.key() == "texture" &&
            scene.find_texture(setting.names.at(0)) < 0) {
            r.fail(pw, "no texture named '" + setting.names.at(0) + "'");
        }
        for (const std::string &name : setting.names) {
            if (scene.find_object(name) < 0 && scene.find_light(name) < 0 &&
                scene.find_texture(name) < 0) {
                r.fail(pw, "no object, light or texture named '" + name + "'");
            }
        }
        call.params.push_back(std::move(setting));
    }
    return call;
}

void read_lights(const Reader &r, const json &j, Scene &scene, std::vector<json> &light_params) {
    if (!j.is_array()) {
        r.fail("lights", "expected an array of lights");
    }
    for (std::size_t i = 0; i < j.size(); ++i) {
        const json &l = j[i];
        std::string where = "lights[" + std::to_string(i) + "]";
        if (!l.is_object()) {
            r.fail(where, "expected an object");
        }
        if (!l.contains("name")) {
            r.fail(where, "missing 'name'");
        }
        LightDesc light;
        light.name = r.string(l["name"], where + ": name");
        light.where = quoted(where, light.name);
        r.allow(l, light.where,
                {"name", "object", "shader", "params", "exponent", "emit_divisor", "samples"});
        if (l.contains("exponent")) {
            light.exponent = r.number(l["exponent"], light.where + ": exponent");
        }
        if (l.contains("emit_divisor")) {
            light.emit_divisor = r.number(l["emit_divisor"], light.where + ": emit_divisor");
        }
        if (l.contains("samples")) {
            light.samples = r.count(l["samples"], light.where + ": samples", 0, 65535);
        }
        light.shader.shader =
            l.contains("shader") ? r.string(l["shader"], light.where + ": shader") : "oskacolor";
        light_params.push_back(l.contains("params") ? l["params"] : json::object());
        scene.lights.push_back(light);
    }
}

// The scene-shader call that binds a light to the object named by its
// "object" key: an oskalight instance with that object and light.
json binding_call(const std::string &object, const std::string &light) {
    return json{{"shader", "oskalight"},
                {"params", {{"enable", true}, {"instance", object}, {"lights", {light}}}}};
}

void check_names(const Reader &r, const Scene &scene) {
    std::set<std::string> names;
    auto add = [&](const std::string &name, const std::string &where) {
        if (!names.insert(name).second) {
            r.fail(where, "the name '" + name +
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

std::string directory_of(const std::string &path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Parses the scene text, refusing an object that gives one key twice (the
// parser would keep the last in silence).
json parse_scene(const Reader &r, const std::string &text) {
    struct Frame {
        bool array = false;
        std::size_t next = 0; // index of the next element of an array
        std::string key;      // the current key of an object
        std::set<std::string> keys;
        std::string where;
    };
    std::vector<Frame> stack;
    auto callback = [&](int, json::parse_event_t event, json &parsed) {
        switch (event) {
        case json::parse_event_t::object_start:
        case json::parse_event_t::array_start: {
            Frame frame;
            frame.array = event == json::parse_event_t::array_start;
            if (!stack.empty()) {
                Frame &parent = stack.back();
                frame.where = parent.array
                                  ? parent.where + "[" + std::to_string(parent.next++) + "]"
                                  : (parent.where.empty() ? "" : parent.where + ": ") + parent.key;
            }
            stack.push_back(std::move(frame));
            break;
        }
        case json::parse_event_t::object_end:
        case json::parse_event_t::array_end:
            stack.pop_back();
            break;
        case json::parse_event_t::key:
            stack.back().key = parsed.get<std::string>();
            if (!stack.back().keys.insert(stack.back().key).second) {
                r.fail(stack.back().where, "the key '" + stack.back().key + "' is given twice");
            }
            break;
        case json::parse_event_t::value:
            if (!stack.empty() && stack.back().array) {
                ++stack.back().next;
            }
            break;
        }
        return true;
    };
    try {
        return json::parse(text, callback);
    } catch (const json::exception &e) { // parse errors, and numbers beyond a double
        std::string why = e.what();
        if (auto colon = why.find("] "); colon != std::string::npos) {
            why = why.substr(colon + 2);
        }
        r.fail("", "not valid JSON: " + why);
    }
}

// The library must be a file, and one the system can load as a shared
// library, before its declarations are looked for beside it.
void check_library_file(const Scene &scene) {
    const std::string where = scene.file + ": library '" + scene.library + "': ";
    if (std::string problem = file_problem(scene.library); !problem.empty()) {
        throw Error(where + problem);
    }
    char magic[4] = {};
    std::ifstream in(scene.library, std::ios::binary);
    if (!in.read(magic, sizeof magic) || std::string(magic, 4) != "\x7f"
                                                                  "ELF") {
        throw Error(where + "not a shader library (not a shared library at all)");
    }
}

// Loads the library on its own to see whether it is a shader library.
void check_library_exports(const Scene &scene) {
    host::Library library;
    if (!library.load(scene.library)) {
        throw Error(scene.file + ": library '" + scene.library + "': not a shader library (" +
                    library.error + ")");
    }
}

} // namespace

const char *const kAllowSceneLibraryOption = "--allow-scene-library";

int Scene::find_object(const std::string &name) const {
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (objects[i].name == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int Scene::find_light(const std::string &name) const {
    for (std::size_t i = 0; i < lights.size(); ++i) {
        if (lights[i].name == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int Scene::find_texture(const std::string &name) const {
    for (std::size_t i = 0; i < textures.size(); ++i) {
        if (textures[i].name == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::string default_library_path() { return host::built_library_path(); }

Scene load_scene_text(const std::string &text, const std::string &file, const std::string &base_dir,
                      const LoadOptions &options) {
    Scene scene;
    scene.file = file;
    scene.base_dir = base_dir;
    Reader r(scene);

    json j = parse_scene(r, text);
    // "about" describes the scene for people (the gallery shows it).
    r.allow(j, "",
            {"about", "library", "declarations", "image", "background", "camera", "textures",
             "materials", "objects", "lights", "shaders"});
    if (j.contains("about") && !j["about"].is_string()) {
        r.fail("about", "expected a string");
    }

    // The library, and the declarations that ship beside it. A scene is
    // data: the library it names is code, loaded only when the user allows it.
    if (!options.library.empty()) {
        scene.library = options.library;
    } else if (j.contains("library")) {
        std::string named = r.string(j["library"], "library");
        if (!options.allow_scene_library) {
            r.fail("library", "the scene names a library to load ('" + named + "'); that takes " +
                                  kAllowSceneLibraryOption + " (or choose one with --library)");
        }
        scene.library = r.path(named);
    } else {
        scene.library =
            options.default_library.empty() ? default_library_path() : options.default_library;
    }
    check_library_file(scene);
    bool beside = !j.contains("declarations");
    scene.declarations_file = beside ? directory_of(scene.library) + "/oska.decl"
                                     : r.path(r.string(j["declarations"], "declarations"));
    try {
        scene.declarations = load_declarations(scene.declarations_file);
    } catch (const Error &) {
        // Declarations missing beside something that is not the shader
        // library at all: the library is what is wrong.
        if (beside) {
            check_library_exports(scene);
        }
        throw;
    }

    if (j.contains("image")) {
        read_image_settings(r, j["image"], scene);
    }
    if (j.contains("background")) {
        scene.background = r.vec3(j["background"], "background");
    }
    if (j.contains("camera")) {
        read_camera(r, j["camera"], scene.camera);
    }
    if (j.contains("textures")) {
        read_textures(r, j["textures"], scene, options.max_image_bytes);
    }
    if (j.contains("materials")) {
        read_materials(r, j["materials"], scene);
    }
    if (j.contains("objects")) {
        read_objects(r, j["objects"], scene, options.max_file_bytes);
    }
    std::vector<json> light_params;
    if (j.contains("lights")) {
        read_lights(r, j["lights"], scene, light_params);
    }
    check_names(r, scene);

    // Light shaders, once every name is known.
    std::vector<std::pair<json, std::string>> shaders; // call, where it comes from
    for (std::size_t i = 0; i < scene.lights.size(); ++i) {
        LightDesc &light = scene.lights[i];
        light.shader = read_shader_call(r, scene, light.shader.shader, light_params[i],
                                        light.where + ": params");
        light.shader.where = light.where;
        const json &l = j["lights"][i];
        if (l.contains("object")) {
            std::string object = r.string(l["object"], light.where + ": object");
            if (scene.find_object(object) < 0) {
                r.fail(light.where + ": object", "no object named '" + object + "'");
            }
            shaders.emplace_back(binding_call(object, light.name), light.where + ": object");
        }
    }
    if (j.contains("shaders")) {
        const json &list = j["shaders"];
        if (!list.is_array()) {
            r.fail("shaders", "expected an array of shader calls");
        }
        for (std::size_t i = 0; i < list.size(); ++i) {
            shaders.emplace_back(list[i], "shaders[" + std::to_string(i) + "]");
        }
    }
    for (const auto &[call, where] : shaders) {
        r.allow(call, where, {"shader", "params"});
        if (!call.contains("shader")) {
            r.fail(where, "missing 'shader'");
        }
        std::string name = r.string(call["shader"], where + ": shader");
        scene.shaders.push_back(read_shader_call(
            r, scene, name, call.contains("params") ? call["params"] : json::object(), where));
    }
    return scene;
}

ShaderCall parse_shader_params(const Scene &scene, const std::string &shader,
                               const std::string &params, const std::string &where) {
    Reader r(scene);
    json parsed = json::parse(params, nullptr, false);
    if (parsed.is_discarded()) {
        r.fail(where, "the parameters are not JSON");
    }
    return read_shader_call(r, scene, shader, parsed, where);
}

Scene load_scene_file(const std::string &path, const LoadOptions &options) {
    std::string text = read_regular_file(path, path, options.max_file_bytes);
    return load_scene_text(text, path, directory_of(path), options);
}

} // namespace oska::render
