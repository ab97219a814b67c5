#include "mesh.h"

#include "error.h"

#include <tiny_obj_loader.h>

#include <map>
#include <tuple>

namespace oska::render {

namespace {

constexpr float kPi = 3.14159265358979f;

void add_vertex(Mesh &mesh, Vec3 p, Vec3 n, float u, float v) {
    mesh.source_vertex.push_back(static_cast<uint32_t>(mesh.positions.size()));
    mesh.positions.push_back(p);
    mesh.normals.push_back(n);
    mesh.uvs.push_back({u, v, 0});
    mesh.source_vertex_count = mesh.positions.size();
}

// Two triangles over the last four vertices added, in order around the face.
void add_face(Mesh &mesh) {
    auto base = static_cast<uint32_t>(mesh.positions.size() - 4);
    for (uint32_t i : {0u, 1u, 2u, 0u, 2u, 3u}) {
        mesh.indices.push_back(base + i);
    }
}

} // namespace

Vec3 Transform::normal(Vec3 n) const {
    // The cofactor matrix is the inverse transpose up to a positive scale
    // (for a positive determinant), which normalisation removes.
    Vec3 c0{m[0][0], m[1][0], m[2][0]}, c1{m[0][1], m[1][1], m[2][1]},
        c2{m[0][2], m[1][2], m[2][2]};
    Vec3 r0 = cross(c1, c2), r1 = cross(c2, c0), r2 = cross(c0, c1);
    float det = dot(c0, r0);
    Vec3 out = r0 * n.x + r1 * n.y + r2 * n.z;
    return normalize(det < 0 ? -out : out);
}

Transform Transform::after(const Transform &first) const {
    Transform out;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            out.m[r][c] =
                m[r][0] * first.m[0][c] + m[r][1] * first.m[1][c] + m[r][2] * first.m[2][c];
        }
    }
    out.t = point(first.t);
    return out;
}

Transform Transform::translate(Vec3 d) {
    Transform out;
    out.t = d;
    return out;
}

Transform Transform::scale(Vec3 s) {
    Transform out;
    out.m[0][0] = s.x;
    out.m[1][1] = s.y;
    out.m[2][2] = s.z;
    return out;
}

Transform Transform::rotate(int axis, float degrees) {
    Transform out;
    float a = degrees * kPi / 180.0f, c = std::cos(a), s = std::sin(a);
    int i = (axis + 1) % 3, j = (axis + 2) % 3;
    out.m[i][i] = c;
    out.m[i][j] = -s;
    out.m[j][i] = s;
    out.m[j][j] = c;
    return out;
}

Mesh make_quad(float size_x, float size_z) {
    Mesh mesh;
    float x = size_x / 2, z = size_z / 2;
    Vec3 up{0, 1, 0};
    add_vertex(mesh, {-x, 0, z}, up, 0, 0);
    add_vertex(mesh, {x, 0, z}, up, 1, 0);
    add_vertex(mesh, {x, 0, -z}, up, 1, 1);
    add_vertex(mesh, {-x, 0, -z}, up, 0, 1);
    add_face(mesh);
    return mesh;
}

Mesh make_box(Vec3 size) {
    Mesh mesh;
    Vec3 h = size * 0.5f;
    // Each face: its normal n and two in-plane axes a, b with a x b = n.
    const Vec3 faces[6][3] = {
        {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}}, {{-1, 0, 0}, {0, 0, 1}, {0, 1, 0}},
        {{0, 1, 0}, {1, 0, 0}, {0, 0, -1}}, {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}},
        {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}},  {{0, 0, -1}, {-1, 0, 0}, {0, 1, 0}}};
    for (const auto &face : faces) {
        Vec3 n = face[0], a = face[1], b = face[2];
        auto corner = [&](float sa, float sb) {
            Vec3 p = n + a * sa + b * sb;
            return Vec3{p.x * h.x, p.y * h.y, p.z * h.z};
        };
        add_vertex(mesh, corner(-1, -1), n, 0, 0);
        add_vertex(mesh, corner(1, -1), n, 1, 0);
        add_vertex(mesh, corner(1, 1), n, 1, 1);
        add_vertex(mesh, corner(-1, 1), n, 0, 1);
        add_face(mesh);
    }
    return mesh;
}

Mesh make_sphere(float radius, int segments) {
    Mesh mesh;
    int rings = segments / 2 > 2 ? segments / 2 : 2;
    for (int r = 0; r <= rings; ++r) {
        float v = static_cast<float>(r) / rings, theta = v * kPi;
        for (int s = 0; s <= segments; ++s) {
            float u = static_cast<float>(s) / segments, phi = u * 2 * kPi;
            Vec3 n{std::sin(theta) * std::cos(phi), std::cos(theta),
                   -std::sin(theta) * std::sin(phi)};
            add_vertex(mesh, n * radius, n, u, 1 - v);
        }
    }
    auto at = [&](int r, int s) { return static_cast<uint32_t>(r * (segments + 1) + s); };
    for (int r = 0; r < rings; ++r) {
        for (int s = 0; s < segments; ++s) {
            uint32_t a = at(r, s), b = at(r + 1, s), c = at(r + 1, s + 1), d = at(r, s + 1);
            if (r != 0) { // no degenerate triangles at the poles
                mesh.indices.insert(mesh.indices.end(), {a, b, d});
            }
            if (r != rings - 1) {
                mesh.indices.insert(mesh.indices.end(), {b, c, d});
            }
        }
    }
    return mesh;
}

Mesh load_obj(const std::string &path) {
    tinyobj::ObjReaderConfig config;
    config.triangulate = true;
    config.vertex_color = false;
    config.mtl_search_path = "";
    tinyobj::ObjReader reader;
    if (!reader.ParseFromFile(path, config)) {
        std::string why = reader.Error();
        if (auto end = why.find('\n'); end != std::string::npos) {
            why.erase(end);
        }
        throw Error(path + ": cannot read the OBJ file" + (why.empty() ? "" : ": " + why));
    }
    const tinyobj::attrib_t &attrib = reader.GetAttrib();
    Mesh mesh;
    mesh.source_vertex_count = attrib.vertices.size() / 3;
    // One mesh vertex per distinct (position, normal, uv) triple.
    std::map<std::tuple<int, int, int>, uint32_t> seen;
    bool needs_normals = false;
    for (const tinyobj::shape_t &shape : reader.GetShapes()) {
        for (const tinyobj::index_t &index : shape.mesh.indices) {
            auto key =
                std::make_tuple(index.vertex_index, index.normal_index, index.texcoord_index);
            auto found = seen.find(key);
            if (found != seen.end()) {
                mesh.indices.push_back(found->second);
                continue;
            }
            auto vertex = static_cast<uint32_t>(mesh.positions.size());
            seen.emplace(key, vertex);
            mesh.indices.push_back(vertex);
            const float *p = &attrib.vertices[3 * static_cast<std::size_t>(index.vertex_index)];
            mesh.positions.push_back({p[0], p[1], p[2]});
            mesh.source_vertex.push_back(static_cast<uint32_t>(index.vertex_index));
            if (index.normal_index >= 0) {
                const float *n = &attrib.normals[3 * static_cast<std::size_t>(index.normal_index)];
                mesh.normals.push_back(normalize({n[0], n[1], n[2]}));
            } else {
                mesh.normals.push_back({});
                needs_normals = true;
            }
            if (index.texcoord_index >= 0) {
                const float *t =
                    &attrib.texcoords[2 * static_cast<std::size_t>(index.texcoord_index)];
                mesh.uvs.push_back({t[0], t[1], 0});
            } else {
                mesh.uvs.push_back({});
            }
        }
    }
    if (mesh.indices.empty()) {
        throw Error(path + ": the OBJ file has no faces");
    }
    if (needs_normals) {
        // Area-weighted face normals summed at each vertex that lacks one.
        std::vector<Vec3> sum(mesh.positions.size());
        for (std::size_t t = 0; t < mesh.indices.size(); t += 3) {
            uint32_t a = mesh.indices[t], b = mesh.indices[t + 1], c = mesh.indices[t + 2];
            Vec3 n =
                cross(mesh.positions[b] - mesh.positions[a], mesh.positions[c] - mesh.positions[a]);
            sum[a] += n;
            sum[b] += n;
            sum[c] += n;
        }
        for (std::size_t v = 0; v < sum.size(); ++v) {
            if (length(mesh.normals[v]) == 0) {
                mesh.normals[v] = normalize(sum[v]);
            }
        }
    }
    return mesh;
}

void transform_mesh(Mesh &mesh, const Transform &transform) {
    for (Vec3 &p : mesh.positions) {
        p = transform.point(p);
    }
    for (Vec3 &n : mesh.normals) {
        n = transform.normal(n);
    }
    // A mirroring transform turns the winding inside out; keep it outward.
    Vec3 c0{transform.m[0][0], transform.m[1][0], transform.m[2][0]},
        c1{transform.m[0][1], transform.m[1][1], transform.m[2][1]},
        c2{transform.m[0][2], transform.m[1][2], transform.m[2][2]};
    if (dot(c0, cross(c1, c2)) < 0) {
        for (std::size_t t = 0; t < mesh.indices.size(); t += 3) {
            std::swap(mesh.indices[t + 1], mesh.indices[t + 2]);
        }
    }
}

} // namespace oska::render
