// Triangle meshes: the built-in quad, box and sphere, OBJ files, and the
// per-vertex channels that object lights read.
#ifndef OSKA_RENDER_MESH_H
#define OSKA_RENDER_MESH_H

#include "vec.h"

#include <cstdint>
#include <string>
#include <vector>

namespace oska::render {

// Row-major 3x4 affine transform: linear part `m` (one row per output
// coordinate), then the translation `t`.
struct Transform {
    float m[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}; // m[row][column]
    Vec3 t;

    Vec3 point(Vec3 position) const { return linear(position) + t; }
    Vec3 linear(Vec3 vector) const {
        return {m[0][0] * vector.x + m[0][1] * vector.y + m[0][2] * vector.z,
                m[1][0] * vector.x + m[1][1] * vector.y + m[1][2] * vector.z,
                m[2][0] * vector.x + m[2][1] * vector.y + m[2][2] * vector.z};
    }
    // Normals go through the inverse transpose of the linear part.
    Vec3 normal(Vec3 direction) const;
    // `this` after `first`.
    Transform after(const Transform &first) const;

    static Transform translate(Vec3 offset);
    static Transform scale(Vec3 factors);
    static Transform rotate(int axis, float degrees);
};

struct Mesh {
    std::vector<Vec3> positions;
    std::vector<Vec3> normals;     // per vertex, unit length
    std::vector<Vec3> uvs;         // texture coordinate (u, v, 0) per vertex
    std::vector<uint32_t> indices; // three per triangle, counter-clockwise seen from outside
    // Which vertex of the source each vertex comes from: the built-in shapes'
    // own vertices, or an OBJ file's "v" lines. Per-vertex channel lists are
    // given in source order.
    std::vector<uint32_t> source_vertex;
    std::size_t source_vertex_count = 0;
    // Vertex channel n (n >= 1) is channels[n], one vector per vertex; an
    // empty entry is a channel the mesh does not have.
    std::vector<std::vector<Vec3>> channels;

    std::size_t triangle_count() const { return indices.size() / 3; }
    std::size_t vertex_count() const { return positions.size(); }
};

// A square in the XZ plane facing +Y, `size_x` by `size_z`, centred on the
// origin; vertices (-x,+z) (+x,+z) (+x,-z) (-x,-z) with uv (0,0) (1,0) (1,1) (0,1).
Mesh make_quad(float size_x, float size_z);
// An axis-aligned box centred on the origin, four vertices per face, faces in
// the order +X, -X, +Y, -Y, +Z, -Z, each with uv over the unit square.
Mesh make_box(Vec3 size);
// A sphere of `segments` steps around Y and `segments / 2` from pole to pole;
// uv is (longitude, latitude) in [0,1].
Mesh make_sphere(float radius, int segments);
// Loads the triangles of an OBJ file of at most `max_bytes` (quads split
// along the shorter diagonal, larger polygons fanned); throws Error naming
// the file, and the line for a bad one, when it cannot be read, refers to
// a vertex it does not have, or has no triangles.
Mesh load_obj(const std::string &path, std::uint64_t max_bytes);

void transform_mesh(Mesh &mesh, const Transform &transform);

} // namespace oska::render

#endif
