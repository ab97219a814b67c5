#include "scene_objects.h"

#include "json_reader.h"

#include <algorithm>
#include <cstdlib>

namespace oska::render {

using nlohmann::json;

namespace {

// Fills vertex channel `channel` of `mesh` from its description: a constant
// [x, y, z], {"from": [..], "to": [..], "along": "u" | "v" | "x" | "y" | "z"},
// or {"vertices": [[x, y, z], ...]} in the mesh's source vertex order.
void read_channel(const JsonReader &read, const json &node, const std::string &where, Mesh &mesh,
                  std::size_t channel) {
    std::vector<Vec3> values(mesh.vertex_count());
    if (node.is_array()) {
        Vec3 constant = read.vec3(node, where);
        std::fill(values.begin(), values.end(), constant);
    } else if (node.is_object() && node.contains("vertices")) {
        read.allow(node, where, {"vertices"});
        const json &list = node["vertices"];
        if (!list.is_array() || list.size() != mesh.source_vertex_count) {
            read.fail(where, "expected " + std::to_string(mesh.source_vertex_count) +
                                 " vertex values (one per vertex of the mesh), got " +
                                 (list.is_array() ? std::to_string(list.size()) : list.dump()));
        }
        std::vector<Vec3> source;
        for (std::size_t i = 0; i < list.size(); ++i) {
            source.push_back(read.vec3(list[i], where + ": vertices[" + std::to_string(i) + "]"));
        }
        for (std::size_t v = 0; v < values.size(); ++v) {
            values[v] = source[mesh.source_vertex[v]];
        }
    } else if (node.is_object()) {
        read.allow(node, where, {"from", "to", "along"});
        if (!node.contains("from") || !node.contains("to")) {
            read.fail(where, "a gradient needs 'from' and 'to'");
        }
        Vec3 from = read.vec3(node["from"], where + ": from"),
             to = read.vec3(node["to"], where + ": to");
        std::string along =
            node.contains("along") ? read.string(node["along"], where + ": along") : "u";
        if (along != "u" && along != "v" && along != "x" && along != "y" && along != "z") {
            read.fail(where + ": along", "expected \"u\", \"v\", \"x\", \"y\" or \"z\"");
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
        read.fail(where, "expected [x, y, z], a gradient {from, to, along} or {vertices: [...]}");
    }
    if (mesh.channels.size() <= channel) {
        mesh.channels.resize(channel + 1);
    }
    mesh.channels[channel] = std::move(values);
}

Transform read_transform(const JsonReader &read, const json &node, const std::string &where) {
    Transform transform;
    if (node.contains("scale")) {
        const json &given = node["scale"];
        Vec3 scale = given.is_number() ? Vec3{1, 1, 1} * read.number(given, where + ": scale")
                                       : read.vec3(given, where + ": scale");
        if (scale.x == 0 || scale.y == 0 || scale.z == 0) {
            read.fail(where + ": scale", "a scale of 0 flattens the object");
        }
        transform = Transform::scale(scale);
    }
    if (node.contains("rotate")) {
        Vec3 degrees = read.vec3(node["rotate"], where + ": rotate");
        for (int axis = 0; axis < 3; ++axis) {
            if (degrees[axis] != 0) {
                transform = Transform::rotate(axis, degrees[axis]).after(transform);
            }
        }
    }
    if (node.contains("translate")) {
        transform = Transform::translate(read.vec3(node["translate"], where + ": translate"))
                        .after(transform);
    }
    return transform;
}

// The mesh of a built-in shape: "quad", "box" or "sphere".
Mesh read_shape(const JsonReader &read, const json &entry, const std::string &where) {
    std::string shape = read.string(entry["shape"], where + ": shape");
    if (shape != "quad" && shape != "box" && shape != "sphere") {
        read.fail(where + ": shape", "unknown shape '" + shape + "' (quad, box or sphere)");
    }
    if (shape == "quad") {
        float sx = 1, sz = 1;
        if (entry.contains("size")) {
            const json &size = entry["size"];
            if (!size.is_array() || size.size() != 2) {
                read.fail(where + ": size", "expected [x, z]");
            }
            sx = read.positive(size[0], where + ": size");
            sz = read.positive(size[1], where + ": size");
        }
        return make_quad(sx, sz);
    }
    if (shape == "box") {
        Vec3 size{1, 1, 1};
        if (entry.contains("size")) {
            size = read.vec3(entry["size"], where + ": size");
            if (!(size.x > 0 && size.y > 0 && size.z > 0)) {
                read.fail(where + ": size", "expected positive sizes");
            }
        }
        return make_box(size);
    }
    float radius =
        entry.contains("radius") ? read.positive(entry["radius"], where + ": radius") : 0.5f;
    int segments = entry.contains("segments")
                       ? read.count(entry["segments"], where + ": segments", 4, 1024)
                       : 32;
    return make_sphere(radius, segments);
}

// The object's mesh: an OBJ file (`mesh`) or a built-in shape.
Mesh read_mesh(const JsonReader &read, const json &entry, const std::string &where, Scene &scene,
               std::uint64_t max_file_bytes) {
    if (entry.contains("mesh") == entry.contains("shape")) {
        read.fail(where, "give either 'shape' (quad, box, sphere) or 'mesh' (an OBJ file)");
    }
    if (!entry.contains("mesh")) {
        return read_shape(read, entry, where);
    }
    std::string file = read.path(read.string(entry["mesh"], where + ": mesh"));
    try {
        Mesh mesh = load_obj(file, max_file_bytes);
        scene.inputs.push_back(file);
        return mesh;
    } catch (const Error &e) {
        read.fail(where, e.what());
    }
}

// The object's material: a named one, or one of its own for a colour.
void read_material(const JsonReader &read, const json &entry, ObjectDesc &object, Scene &scene) {
    const std::string &where = object.where;
    if (entry.contains("material") && entry.contains("color")) {
        read.fail(where, "give either 'material' or 'color'");
    }
    if (entry.contains("material")) {
        std::string name = read.string(entry["material"], where + ": material");
        for (std::size_t m = 0; m < scene.materials.size(); ++m) {
            if (scene.materials[m].name == name) {
                object.material = static_cast<int>(m);
            }
        }
        if (object.material < 0) {
            read.fail(where + ": material", "no material named '" + name + "'");
        }
    } else if (entry.contains("color")) {
        MaterialDesc own;
        own.name = "(" + object.name + ")";
        own.color = read.vec3(entry["color"], where + ": color");
        object.material = static_cast<int>(scene.materials.size());
        scene.materials.push_back(own);
    }
}

// The numbered vertex channels of `channels`, into `mesh`.
void read_channels(const JsonReader &read, const json &channels, const std::string &where,
                   Mesh &mesh) {
    if (!channels.is_object()) {
        read.fail(where + ": channels", "expected an object of numbered channels");
    }
    for (auto it = channels.begin(); it != channels.end(); ++it) {
        std::string cw = where + ": channels: '" + it.key() + "'";
        char *end = nullptr;
        long n = std::strtol(it.key().c_str(), &end, 10);
        if (it.key().empty() || *end != '\0' || n < 1 || n > 15) {
            read.fail(cw, "a channel is numbered 1 to 15 (0 is the texture coordinate)");
        }
        read_channel(read, *it, cw, mesh, static_cast<std::size_t>(n));
    }
}

// Places the mesh; each number was within the limit, but together (a large
// object moved far, or scaled up) they may not be.
void place(const JsonReader &read, const json &entry, const std::string &where, Mesh &mesh) {
    transform_mesh(mesh, read_transform(read, entry, where));
    if (!std::all_of(mesh.positions.begin(), mesh.positions.end(),
                     [](Vec3 p) { return finite(p) && within_limit(p); })) {
        read.fail(where, std::string("placed in the scene, its vertices reach beyond "
                                     "coordinates ") +
                             kNumberLimitText);
    }
}

} // namespace

void read_objects(const JsonReader &read, const json &node, Scene &scene,
                  std::uint64_t max_file_bytes) {
    read.each_named(node, "objects", [&](const json &entry, std::string name, std::string where) {
        ObjectDesc object;
        object.name = std::move(name);
        object.where = std::move(where);
        read.allow(entry, object.where,
                   {"name", "shape", "mesh", "size", "radius", "segments", "material", "color",
                    "translate", "rotate", "scale", "channels"});
        object.mesh = read_mesh(read, entry, object.where, scene, max_file_bytes);
        read_material(read, entry, object, scene);
        if (entry.contains("channels")) {
            read_channels(read, entry["channels"], object.where, object.mesh);
        }
        place(read, entry, object.where, object.mesh);
        scene.objects.push_back(std::move(object));
    });
}

} // namespace oska::render
