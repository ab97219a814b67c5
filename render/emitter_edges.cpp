#include "emitter_edges.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>

namespace oska::render {

namespace {

constexpr float kPi = 3.14159265358979f;

// The camera's frame, as camera_ray() builds it, to project points back.
struct Projection {
    Vec3 position, forward, right, up;
    float scale_x = 1, scale_y = 1; // from the view plane to image units
    bool orthographic = false;
    int width = 1, height = 1;

    Projection(const Camera &camera, int w, int h) : width(w), height(h) {
        forward = normalize(camera.look_at - camera.position);
        right = normalize(cross(forward, camera.up));
        up = cross(right, forward);
        position = camera.position;
        orthographic = camera.orthographic;
        const float aspect = static_cast<float>(w) / static_cast<float>(h);
        const float half = orthographic ? camera.height / 2 : std::tan(camera.fov * kPi / 360.0f);
        scale_x = 1 / (half * aspect);
        scale_y = 1 / half;
    }

    // Depth along the view: positive in front of the camera.
    float depth(Vec3 p) const { return orthographic ? 1.0f : dot(p - position, forward); }

    // Image position of a point at positive depth, in pixels.
    void project(Vec3 p, float *px, float *py) const {
        Vec3 d = p - position;
        float z = orthographic ? 1.0f : dot(d, forward);
        float sx = dot(d, right) / z * scale_x, sy = dot(d, up) / z * scale_y;
        *px = (sx + 1) * 0.5f * static_cast<float>(width);
        *py = (1 - sy) * 0.5f * static_cast<float>(height);
    }

    bool faces_camera(Vec3 a, Vec3 b, Vec3 c) const {
        Vec3 towards = orthographic ? -forward : position - a;
        return dot(cross(b - a, c - a), towards) > 0;
    }
};

// Marks the pixels segment a-b crosses, in steps of a quarter pixel; the
// part behind the camera is cut off.
void mark_segment(const Projection &view, Vec3 a, Vec3 b, std::vector<uint8_t> &marks) {
    constexpr float kNear = 1e-4f;
    float za = view.depth(a), zb = view.depth(b);
    if (!(za > kNear) && !(zb > kNear)) {
        return;
    }
    if (!(za > kNear) || !(zb > kNear)) {
        Vec3 cut = a + (b - a) * ((kNear - za) / (zb - za));
        (za > kNear ? b : a) = cut;
    }
    float ax, ay, bx, by;
    view.project(a, &ax, &ay);
    view.project(b, &bx, &by);
    if (!std::isfinite(ax + ay + bx + by)) {
        return;
    }
    // Only the part within the image counts: clamp the walk to a bounded
    // number of steps over the image's own span.
    const float span = std::max(std::fabs(bx - ax), std::fabs(by - ay));
    const float limit = 4.0f * static_cast<float>(view.width + view.height);
    const int steps = static_cast<int>(std::min(span * 4, limit)) + 1;
    // Each step marks the pixels within half a pixel of it: an edge that
    // only grazes a pixel's corner still puts light there.
    for (int i = 0; i <= steps; ++i) {
        float t = static_cast<float>(i) / static_cast<float>(steps);
        float x = ax + (bx - ax) * t, y = ay + (by - ay) * t;
        for (float dy : {-0.5f, 0.5f}) {
            for (float dx : {-0.5f, 0.5f}) {
                float px = x + dx, py = y + dy;
                if (px >= 0 && py >= 0 && px < static_cast<float>(view.width) &&
                    py < static_cast<float>(view.height)) {
                    marks[static_cast<std::size_t>(py) * view.width +
                          static_cast<std::size_t>(px)] = 1;
                }
            }
        }
    }
}

// Marks the outline edges of one mesh: each edge, by its two vertex
// indices, counts its triangles and those of them that face the camera.
void mark_outline(const Projection &view, const Mesh &mesh, std::vector<uint8_t> &marks) {
    struct Count {
        int triangles = 0, facing = 0;
    };
    std::unordered_map<uint64_t, Count> edges;
    for (std::size_t t = 0; t < mesh.triangle_count(); ++t) {
        const uint32_t *v = &mesh.indices[3 * t];
        bool facing =
            view.faces_camera(mesh.positions[v[0]], mesh.positions[v[1]], mesh.positions[v[2]]);
        for (int k = 0; k < 3; ++k) {
            uint32_t a = v[k], b = v[(k + 1) % 3];
            Count &count = edges[(static_cast<uint64_t>(std::min(a, b)) << 32) | std::max(a, b)];
            ++count.triangles;
            count.facing += facing ? 1 : 0;
        }
    }
    for (const auto &[key, count] : edges) {
        if (count.triangles == 1 || (count.facing > 0 && count.facing < count.triangles)) {
            mark_segment(view, mesh.positions[key >> 32], mesh.positions[key & 0xFFFFFFFFu], marks);
        }
    }
}

} // namespace

std::vector<uint8_t> emitter_edge_pixels(const LitScene &scene, int width, int height) {
    std::vector<uint8_t> marks(static_cast<std::size_t>(width) * height, 0);
    const Projection view(scene.scene->camera, width, height);
    for (std::size_t object = 0; object < scene.scene->objects.size(); ++object) {
        if (!scene.lights_of(static_cast<int>(object)).empty()) {
            mark_outline(view, scene.scene->objects[object].mesh, marks);
        }
    }
    return marks;
}

} // namespace oska::render
