#include "emitter_edges.h"

#include "camera.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <unordered_map>

namespace oska::render {

namespace {

// The outline's work in steps along edges and pixels visited for windows:
// at most kWorkPerPixel a pixel of the image plus kWorkPerTriangle a
// triangle of the emitters, so that many long thin triangles cost no more
// than the image and the meshes themselves. Past that, or when the caller
// stops it, the outline gives up on what is left: its marks only say where
// samples are worth more, and any window keeps a pixel's expected value.
constexpr uint64_t kWorkPerPixel = 16;
constexpr uint64_t kWorkPerTriangle = 16;

class Work {
  public:
    Work(uint64_t budget, const std::function<bool()> &stop) : budget_(budget), stop_(stop) {}

    // Counts `units` more: false once the budget is spent or the caller
    // stops the work (asked now and then, not at every unit).
    bool take(uint64_t units) {
        used_ += units;
        if (used_ > budget_) {
            over_ = true;
        } else if (used_ >= next_check_) {
            next_check_ = used_ + kCheckEvery;
            over_ = over_ || (stop_ && stop_());
        }
        return !over_;
    }

  private:
    static constexpr uint64_t kCheckEvery = 1u << 14;
    uint64_t budget_, used_ = 0, next_check_ = 0;
    const std::function<bool()> &stop_;
    bool over_ = false;
};

// Narrows [t0, t1] to the part of the walk from a to b (at t from 0 to 1)
// where a + (b - a) t lies within [low, high]; an empty part has t0 > t1.
void narrow(double a, double b, double low, double high, double &t0, double &t1) {
    const double d = b - a;
    if (d == 0) {
        if (a < low || a > high) {
            t0 = 1;
            t1 = 0;
        }
        return;
    }
    double u = (low - a) / d, v = (high - a) / d;
    if (u > v) {
        std::swap(u, v);
    }
    t0 = std::max(t0, u);
    t1 = std::min(t1, v);
}

// How far past the exact bounds a pixel may still be reached by points
// worked out in floats from coordinates of magnitude up to `magnitude`.
double float_slack(double magnitude) { return 1 + 1e-5 * magnitude; }

// The camera's frame, to map points of the scene into the image.
struct Projection {
    Vec3 position;
    CameraFrame frame;
    float scale_x = 1, scale_y = 1; // from the view plane to image units
    bool orthographic = false;
    int width = 1, height = 1;

    Projection(const Camera &camera, int w, int h)
        : position(camera.position), frame(camera),
          scale_x(1 / (frame.half * (static_cast<float>(w) / static_cast<float>(h)))),
          scale_y(1 / frame.half), orthographic(camera.orthographic), width(w), height(h) {}

    // Depth along the view: positive in front of the camera.
    float depth(Vec3 p) const { return orthographic ? 1.0f : dot(p - position, frame.forward); }

    // Image position of a point at positive depth, in pixels.
    void project(Vec3 p, float *px, float *py) const {
        Vec3 d = p - position;
        float z = orthographic ? 1.0f : dot(d, frame.forward);
        float sx = dot(d, frame.right) / z * scale_x, sy = dot(d, frame.up) / z * scale_y;
        *px = (sx + 1) * 0.5f * static_cast<float>(width);
        *py = (1 - sy) * 0.5f * static_cast<float>(height);
    }

    bool faces_camera(Vec3 a, Vec3 b, Vec3 c) const {
        Vec3 towards = orthographic ? -frame.forward : position - a;
        return dot(cross(b - a, c - a), towards) > 0;
    }
};

// Marks the pixels segment a-b crosses, in steps of a quarter pixel; the
// part behind the camera is cut off. False once the work is over.
bool mark_segment(const Projection &view, Vec3 a, Vec3 b, std::vector<uint8_t> &marks, Work &work) {
    constexpr float kNear = 1e-4f;
    float za = view.depth(a), zb = view.depth(b);
    if (!(za > kNear) && !(zb > kNear)) {
        return true;
    }
    if (!(za > kNear) || !(zb > kNear)) {
        Vec3 cut = a + (b - a) * ((kNear - za) / (zb - za));
        (za > kNear ? b : a) = cut;
    }
    float ax, ay, bx, by;
    view.project(a, &ax, &ay);
    view.project(b, &bx, &by);
    if (!std::isfinite(ax + ay + bx + by)) {
        return true;
    }
    // Only the part within the image counts: clamp the walk to a bounded
    // number of steps over the image's own span.
    const float span = std::max(std::fabs(bx - ax), std::fabs(by - ay));
    const float limit = 4.0f * static_cast<float>(view.width + view.height);
    const int steps = static_cast<int>(std::min(span * 4, limit)) + 1;
    // Of those, only the steps that can mark a pixel are taken: those within
    // half a pixel of the image, with room for the rounding of each step.
    const double slack = float_slack(std::fabs(ax) + std::fabs(ay) + std::fabs(bx) + std::fabs(by));
    double t0 = 0, t1 = 1;
    narrow(ax, bx, -0.5 - slack, view.width + 0.5 + slack, t0, t1);
    narrow(ay, by, -0.5 - slack, view.height + 0.5 + slack, t0, t1);
    if (t0 > t1) {
        return true;
    }
    const auto first = static_cast<int>(std::max(0.0, std::floor(t0 * steps) - 1));
    const auto last = static_cast<int>(std::min<double>(steps, std::ceil(t1 * steps) + 1));
    if (!work.take(static_cast<uint64_t>(last - first) + 1)) {
        return false;
    }
    // Each step marks the pixels within half a pixel of it: an edge that
    // only grazes a pixel's corner still puts light there.
    for (int i = first; i <= last; ++i) {
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
    return true;
}

// Marks the outline edges of one mesh: each edge, by its two vertex
// indices, counts its triangles and those of them that face the camera.
// False once the work is over.
bool mark_outline(const Projection &view, const Mesh &mesh, std::vector<uint8_t> &marks,
                  Work &work) {
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
            if (!mark_segment(view, mesh.positions[key >> 32], mesh.positions[key & 0xFFFFFFFFu],
                              marks, work)) {
                return false;
            }
        }
    }
    return true;
}

// Of a marked pixel's samples, the share that goes to its window.
constexpr float kWindowShare = 0.5f;
// The largest window, as a part of its pixel, worth its weights.
constexpr float kLargestWindow = 0.25f;
// A window reaches this far (in pixels) past what it bounds: an emitter seen
// edge on still has one of some area.
constexpr float kWindowPad = 0.02f;

// A point of an emitter's projection, in pixels.
struct Point2 {
    float x, y;
};

// A triangle cut by a pixel's sides. Each cut of n corners gives at most
// 1.5 n of them, even where rounding bends the polygon: 3, 4, 6, 9, 13.
struct Polygon {
    Point2 corners[16];
    int size = 0;
};

// The part of `shape` on the side of the line coordinate `axis` = `at`
// that `keep_below` names (one step of clipping to a pixel's square).
void clip(const Polygon &shape, int axis, float at, bool keep_below, Polygon &kept) {
    auto value = [axis](Point2 p) { return axis == 0 ? p.x : p.y; };
    auto inside = [&](Point2 p) { return keep_below ? value(p) <= at : value(p) >= at; };
    kept.size = 0;
    for (int i = 0; i < shape.size; ++i) {
        Point2 a = shape.corners[i], b = shape.corners[(i + 1) % shape.size];
        if (inside(a)) {
            kept.corners[kept.size++] = a;
        }
        if (inside(a) != inside(b)) {
            float t = (at - value(a)) / (value(b) - value(a));
            kept.corners[kept.size++] = {a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t};
        }
    }
}

// The least and the most x of the triangle between heights `low` and
// `high`; none: low_x > high_x.
void row_extent(const Point2 corners[3], double low, double high, double &low_x, double &high_x) {
    low_x = HUGE_VAL;
    high_x = -HUGE_VAL;
    for (int k = 0; k < 3; ++k) {
        const Point2 a = corners[k], b = corners[(k + 1) % 3];
        double t0 = 0, t1 = 1;
        narrow(a.y, b.y, low, high, t0, t1);
        if (t0 <= t1) {
            for (double t : {t0, t1}) {
                const double x = a.x + (static_cast<double>(b.x) - a.x) * t;
                low_x = std::min(low_x, x);
                high_x = std::max(high_x, x);
            }
        }
    }
}

// Widens the window of each marked pixel the triangle's projection reaches
// by the bounds of what of the triangle lies in the pixel. Row by row, only
// the pixels the triangle can reach are clipped to: a long thin triangle
// costs its length, not its bounding box. False once the work is over.
bool widen_windows(const Point2 corners[3], EmitterOutline &outline, int width, int height,
                   Work &work) {
    float low_x = std::min({corners[0].x, corners[1].x, corners[2].x});
    float low_y = std::min({corners[0].y, corners[1].y, corners[2].y});
    float high_x = std::max({corners[0].x, corners[1].x, corners[2].x});
    float high_y = std::max({corners[0].y, corners[1].y, corners[2].y});
    if (!(high_x >= 0 && high_y >= 0 && low_x < static_cast<float>(width) &&
          low_y < static_cast<float>(height))) {
        return true;
    }
    const int x_low = std::max(0, static_cast<int>(low_x));
    const int y_low = std::max(0, static_cast<int>(low_y));
    const int x_high = std::min(width - 1, static_cast<int>(high_x));
    const int y_high = std::min(height - 1, static_cast<int>(high_y));
    // A pixel the clipping below, in floats, can still find a part of the
    // triangle in lies this close to it.
    const double slack = float_slack(
        std::max({std::fabs(low_x), std::fabs(low_y), std::fabs(high_x), std::fabs(high_y)}));
    Polygon part, cut;
    for (int y = y_low; y <= y_high; ++y) {
        const auto fy = static_cast<float>(y);
        double reach_low, reach_high;
        row_extent(corners, fy - slack, fy + 1 + slack, reach_low, reach_high);
        const double from_x = std::max<double>(x_low, std::floor(reach_low - slack));
        const double to_x = std::min<double>(x_high, std::floor(reach_high + slack));
        if (!(from_x <= to_x)) {
            if (!work.take(1)) {
                return false;
            }
            continue;
        }
        const auto from = static_cast<int>(from_x), to = static_cast<int>(to_x);
        if (!work.take(1 + static_cast<uint64_t>(to - from + 1))) {
            return false;
        }
        for (int x = from; x <= to; ++x) {
            const std::size_t pixel = static_cast<std::size_t>(y) * width + x;
            if (outline.marks[pixel] == 0) {
                continue;
            }
            const auto fx = static_cast<float>(x);
            part.size = 3;
            std::copy(corners, corners + 3, part.corners);
            clip(part, 0, fx, false, cut);
            clip(cut, 0, fx + 1, true, part);
            clip(part, 1, fy, false, cut);
            clip(cut, 1, fy + 1, true, part);
            PixelWindow &w = outline.windows[pixel];
            for (int k = 0; k < part.size; ++k) {
                const Point2 p = part.corners[k];
                w.x0 = std::min(w.x0, p.x - fx - kWindowPad);
                w.y0 = std::min(w.y0, p.y - fy - kWindowPad);
                w.x1 = std::max(w.x1, p.x - fx + kWindowPad);
                w.y1 = std::max(w.y1, p.y - fy + kWindowPad);
            }
        }
    }
    return true;
}

// What widening an emitter's windows came to.
enum class Widened { done, behind_camera, over };

// Widens the windows by an emitter's triangles; a vertex behind the camera
// leaves its projection without bounds.
Widened widen_windows(const Projection &view, const Mesh &mesh, EmitterOutline &outline,
                      Work &work) {
    std::vector<Point2> points(mesh.positions.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!(view.depth(mesh.positions[i]) > 1e-4f)) {
            return Widened::behind_camera;
        }
        view.project(mesh.positions[i], &points[i].x, &points[i].y);
        if (!std::isfinite(points[i].x + points[i].y)) {
            return Widened::behind_camera;
        }
    }
    for (std::size_t t = 0; t < mesh.triangle_count(); ++t) {
        const Point2 corners[3] = {points[mesh.indices[3 * t]], points[mesh.indices[3 * t + 1]],
                                   points[mesh.indices[3 * t + 2]]};
        if (!widen_windows(corners, outline, view.width, view.height, work)) {
            return Widened::over;
        }
    }
    return Widened::done;
}

} // namespace

float PixelWindow::place(float &jx, float &jy) const {
    const float area = (x1 - x0) * (y1 - y0);
    if (jx < kWindowShare) {
        jx = x0 + (jx / kWindowShare) * (x1 - x0);
        jy = y0 + jy * (y1 - y0);
        return area / kWindowShare;
    }
    // The rest: the strips left and right of the window, then below and
    // above it, each by its area.
    const float strips[4] = {x0, 1 - x1, (x1 - x0) * y0, (x1 - x0) * (1 - y1)};
    float u = std::min((jx - kWindowShare) / (1 - kWindowShare), kOneMinusEpsilon) * (1 - area);
    int k = 0;
    while (k < 3 && !(u < strips[k])) {
        u -= strips[k];
        ++k;
    }
    const float t = strips[k] > 0 ? std::min(u / strips[k], kOneMinusEpsilon) : 0.0f;
    if (k < 2) {
        jx = k == 0 ? t * x0 : x1 + t * (1 - x1);
    } else {
        jx = x0 + t * (x1 - x0);
        jy = k == 2 ? jy * y0 : y1 + jy * (1 - y1);
    }
    return (1 - area) / (1 - kWindowShare);
}

EmitterOutline emitter_outline(const LitScene &scene, int width, int height,
                               const std::function<bool()> &stop) {
    EmitterOutline outline;
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    outline.marks.assign(pixels, 0);
    const Projection view(scene.scene->camera, width, height);
    std::vector<const Mesh *> emitters;
    uint64_t triangles = 0;
    for (std::size_t object = 0; object < scene.scene->objects.size(); ++object) {
        if (!scene.lights_of(static_cast<int>(object)).empty()) {
            emitters.push_back(&scene.scene->objects[object].mesh);
            triangles += emitters.back()->triangle_count();
        }
    }
    Work work(kWorkPerPixel * pixels + kWorkPerTriangle * triangles, stop);
    for (const Mesh *mesh : emitters) {
        if (!mark_outline(view, *mesh, outline.marks, work)) {
            // An outline that takes this much work crosses most pixels.
            std::fill(outline.marks.begin(), outline.marks.end(), 1);
            outline.windows.assign(pixels, PixelWindow{});
            return outline;
        }
    }
    // Windows grow from empty over the emitters' bounds; one that stays
    // empty, or grows past the largest, is the whole pixel.
    outline.windows.assign(pixels, PixelWindow{1, 1, 0, 0});
    for (const Mesh *mesh : emitters) {
        if (widen_windows(view, *mesh, outline, work) != Widened::done) {
            std::fill(outline.windows.begin(), outline.windows.end(), PixelWindow{});
            return outline;
        }
    }
    for (PixelWindow &w : outline.windows) {
        w = {std::max(w.x0, 0.0f), std::max(w.y0, 0.0f), std::min(w.x1, 1.0f),
             std::min(w.y1, 1.0f)};
        if (!(w.x1 > w.x0 && w.y1 > w.y0) || (w.x1 - w.x0) * (w.y1 - w.y0) > kLargestWindow) {
            w = PixelWindow{};
        }
    }
    return outline;
}

} // namespace oska::render
