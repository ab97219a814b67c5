#include "mesh.h"

#include "error.h"

#include "files.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>
#include <string_view>
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

Vec3 Transform::normal(Vec3 direction) const {
    // The cofactor matrix is the inverse transpose up to a positive scale
    // (for a positive determinant), which normalisation removes.
    Vec3 c0{m[0][0], m[1][0], m[2][0]}, c1{m[0][1], m[1][1], m[2][1]},
        c2{m[0][2], m[1][2], m[2][2]};
    Vec3 r0 = cross(c1, c2), r1 = cross(c2, c0), r2 = cross(c0, c1);
    float det = dot(c0, r0);
    Vec3 out = r0 * direction.x + r1 * direction.y + r2 * direction.z;
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

Transform Transform::translate(Vec3 offset) {
    Transform out;
    out.t = offset;
    return out;
}

Transform Transform::scale(Vec3 factors) {
    Transform out;
    out.m[0][0] = factors.x;
    out.m[1][1] = factors.y;
    out.m[2][2] = factors.z;
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
        float v = static_cast<float>(r) / static_cast<float>(rings), theta = v * kPi;
        for (int s = 0; s <= segments; ++s) {
            float u = static_cast<float>(s) / static_cast<float>(segments), phi = u * 2 * kPi;
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

namespace {

// One corner of an OBJ face: 0-based indices into the file's position,
// texture-coordinate and normal lists; -1 where the corner gives none.
struct Corner {
    int v = -1, vt = -1, vn = -1;
};

// Reads an OBJ file's vertex lists and faces. Every index is checked against
// the list it refers to as that list stands at the face's line, the way the
// format counts relative (negative) indices.
class ObjReader {
  public:
    explicit ObjReader(const std::string &path) : path_(path) {}

    void read(const std::string &text) {
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            if (end == std::string::npos) {
                end = text.size();
            }
            ++line_;
            line(std::string_view(text).substr(start, end - start));
            start = end + 1;
        }
    }

    std::vector<float> positions, texcoords, normals; // 3, 2 and 3 per entry
    std::vector<Corner> corners;                      // three per triangle

  private:
    [[noreturn]] void fail(const std::string &what) const {
        throw Error(path_ + ":" + std::to_string(line_) + ": " + what);
    }

    static bool space(char c) { return c == ' ' || c == '\t' || c == '\r'; }

    std::string_view word(std::string_view &rest) const {
        std::size_t i = 0;
        while (i < rest.size() && space(rest[i])) {
            ++i;
        }
        std::size_t j = i;
        while (j < rest.size() && !space(rest[j])) {
            ++j;
        }
        std::string_view out = rest.substr(i, j - i);
        rest.remove_prefix(j);
        return out;
    }

    void numbers(std::string_view rest, std::size_t count, std::size_t required,
                 std::vector<float> &into) {
        for (std::size_t i = 0; i < count; ++i) {
            std::string_view text = word(rest);
            if (text.empty()) {
                if (i < required) {
                    fail("expected " + std::to_string(required) + " numbers");
                }
                into.push_back(0);
                continue;
            }
            std::string copy(text);
            char *end = nullptr;
            // The bound is on the number as written: read as a float,
            // 1.00000001e8 would round onto it and pass.
            const double value = std::strtod(copy.c_str(), &end);
            if (end != copy.c_str() + copy.size() || !std::isfinite(value)) {
                fail("'" + copy + "' is not a finite number");
            }
            if (!(std::fabs(value) <= kNumberLimit)) {
                fail("'" + copy + "' is not a number " + kNumberLimitText);
            }
            into.push_back(static_cast<float>(value));
        }
    }

    // One index of a corner: 1-based from the start of its list, or negative
    // from its end; empty text gives -1 when `optional`.
    int index(std::string_view text, std::size_t size, const char *list, bool optional) const {
        if (text.empty()) {
            if (!optional) {
                fail("a face corner needs a vertex index");
            }
            return -1;
        }
        std::string copy(text);
        errno = 0;
        char *end = nullptr;
        long long value = std::strtoll(copy.c_str(), &end, 10);
        if (end != copy.c_str() + copy.size() || errno != 0) {
            fail("'" + copy + "' is not a whole number");
        }
        auto count = static_cast<long long>(size);
        long long at = value > 0 ? value - 1 : count + value;
        if (value == 0 || at < 0 || at >= count) {
            fail(std::string(list) + " index " + copy + " is out of range (the file has " +
                 std::to_string(size) + " so far)");
        }
        return static_cast<int>(at);
    }

    Corner corner(std::string_view text) const {
        Corner c;
        std::size_t slash = text.find('/');
        c.v = index(text.substr(0, slash), positions.size() / 3, "vertex", false);
        if (slash != std::string_view::npos) {
            std::string_view rest = text.substr(slash + 1);
            std::size_t second = rest.find('/');
            c.vt = index(rest.substr(0, second), texcoords.size() / 2, "texture coordinate", true);
            if (second != std::string_view::npos) {
                c.vn = index(rest.substr(second + 1), normals.size() / 3, "normal", true);
            }
        }
        return c;
    }

    void line(std::string_view rest) {
        std::string_view kind = word(rest);
        // Lines of other keywords are skipped; one whose first word is not
        // text at all (a byte-order mark of a second file pasted on, a
        // control character) may be a vertex or a face, and is not skipped.
        if (std::any_of(kind.begin(), kind.end(), [](char c) { return c < 0x21 || c > 0x7e; })) {
            fail("the line begins with a byte that is not text (a byte-order mark inside the file, "
                 "or a control character)");
        }
        if (kind == "v") {
            numbers(rest, 3, 3, positions);
        } else if (kind == "vt") {
            numbers(rest, 2, 1, texcoords);
        } else if (kind == "vn") {
            numbers(rest, 3, 3, normals);
        } else if (kind == "f") {
            face.clear();
            for (std::string_view text = word(rest); !text.empty(); text = word(rest)) {
                face.push_back(corner(text));
            }
            if (face.size() < 3) {
                fail("a face needs at least three corners");
            }
            triangulate();
        }
        // Other lines (groups, materials, smoothing, comments) do not matter here.
    }

    float distance2(const Corner &a, const Corner &b) const {
        const float *p = &positions[3 * static_cast<std::size_t>(a.v)];
        const float *q = &positions[3 * static_cast<std::size_t>(b.v)];
        float dx = q[0] - p[0], dy = q[1] - p[1], dz = q[2] - p[2];
        return dx * dx + dy * dy + dz * dz;
    }

    // A quad is split along its shorter diagonal; a larger polygon is fanned
    // from its first corner, in time linear in its size.
    void triangulate() {
        if (face.size() == 4 && !(distance2(face[0], face[2]) < distance2(face[1], face[3]))) {
            corners.insert(corners.end(), {face[0], face[1], face[3], face[1], face[2], face[3]});
            return;
        }
        for (std::size_t i = 1; i + 1 < face.size(); ++i) {
            corners.insert(corners.end(), {face[0], face[i], face[i + 1]});
        }
    }

    std::string path_;
    std::size_t line_ = 0;
    std::vector<Corner> face;
};

} // namespace

Mesh load_obj(const std::string &path, std::uint64_t max_bytes) {
    ObjReader obj(path);
    obj.read(read_text_file(path, path, max_bytes));
    Mesh mesh;
    mesh.source_vertex_count = obj.positions.size() / 3;
    // One mesh vertex per distinct (position, normal, uv) triple.
    std::map<std::tuple<int, int, int>, uint32_t> seen;
    bool needs_normals = false;
    for (const Corner &corner : obj.corners) {
        auto key = std::make_tuple(corner.v, corner.vn, corner.vt);
        auto found = seen.find(key);
        if (found != seen.end()) {
            mesh.indices.push_back(found->second);
            continue;
        }
        auto vertex = static_cast<uint32_t>(mesh.positions.size());
        seen.emplace(key, vertex);
        mesh.indices.push_back(vertex);
        const float *p = &obj.positions[3 * static_cast<std::size_t>(corner.v)];
        mesh.positions.push_back({p[0], p[1], p[2]});
        mesh.source_vertex.push_back(static_cast<uint32_t>(corner.v));
        if (corner.vn >= 0) {
            const float *n = &obj.normals[3 * static_cast<std::size_t>(corner.vn)];
            mesh.normals.push_back(normalize({n[0], n[1], n[2]}));
        } else {
            mesh.normals.push_back({});
            needs_normals = true;
        }
        if (corner.vt >= 0) {
            const float *t = &obj.texcoords[2 * static_cast<std::size_t>(corner.vt)];
            mesh.uvs.push_back({t[0], t[1], 0});
        } else {
            mesh.uvs.push_back({});
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
