// The pixels a render gives more samples from the start are those the
// outline of an emitter crosses: a lamp smaller than a pixel, the rim of a
// sphere; not the inside of a large emitter, nor an object without light,
// nor what lies behind the camera.
#include "emitter_edges.h"
#include "mesh.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include <string>
#include <vector>

namespace oska::render::test {
namespace {

Mesh moved(Mesh mesh, Vec3 by) {
    for (Vec3 &p : mesh.positions) {
        p += by;
    }
    return mesh;
}

// A 64x48 view down -Z from z = 5 (fov 40), of one object that emits or not.
EmitterOutline outline_of(Mesh mesh, bool emits, const std::function<bool()> &stop = {}) {
    Scene scene;
    scene.camera.position = {0, 0, 5};
    scene.camera.look_at = {0, 0, 0};
    ObjectDesc object;
    object.mesh = std::move(mesh);
    scene.objects.push_back(std::move(object));
    LitScene lit;
    lit.scene = &scene;
    lit.lights_of_object = {emits ? std::vector<int>{0} : std::vector<int>{}};
    return emitter_outline(lit, 64, 48, stop);
}

std::vector<uint8_t> marks_of(Mesh mesh, bool emits) {
    return outline_of(std::move(mesh), emits).marks;
}

TEST(EmitterEdges, MarkTheOutlinesOfEmitters) {
    // A quad facing the camera: +Y turned to +Z.
    auto facing_quad = [](float size, Vec3 at) {
        Mesh quad = make_quad(size, size);
        for (Vec3 &p : quad.positions) {
            p = Vec3{p.x, -p.z, p.y};
        }
        return moved(quad, at);
    };
    const struct {
        const char *name;
        Mesh mesh;
        bool emits;
        std::vector<std::pair<int, int>> marked, clear;
    } cases[] = {
        // A pixel spans about 0.076 units at the origin; the sphere's rim is
        // about 13.5 pixels from the middle, the panel's border about 9.2.
        {"a lamp inside a pixel",
         facing_quad(0.01f, {0.0285f, 0.0285f, 0}),
         true,
         {{32, 23}},
         {{40, 23}, {20, 30}}},
        {"the rim of a sphere, not its middle",
         make_sphere(1, 32),
         true,
         {{32, 10}, {18, 24}},
         {{32, 24}, {5, 5}}},
        {"a large panel's border, not its inside",
         facing_quad(1.4f, {0, 0, 0}),
         true,
         {{22, 24}, {32, 14}},
         {{32, 24}, {26, 20}}},
        {"an object without light", make_sphere(1, 32), false, {}, {{32, 10}, {18, 24}}},
        {"a lamp behind the camera", facing_quad(1, {0, 0, 8}), true, {}, {{32, 24}}},
        {"a lamp across the camera's plane", moved(make_quad(40, 40), {0, 0, 5}), true, {}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> marks = marks_of(c.mesh, c.emits);
        ASSERT_EQ(marks.size(), 64u * 48u);
        for (auto [x, y] : c.marked) {
            EXPECT_EQ(marks[static_cast<std::size_t>(y) * 64 + x], 1) << x << "," << y;
        }
        for (auto [x, y] : c.clear) {
            EXPECT_EQ(marks[static_cast<std::size_t>(y) * 64 + x], 0) << x << "," << y;
        }
    }
}

// An outline whose edges would take more work than the image and the mesh
// are worth, or one the caller stops, gives up: every pixel is marked, and
// every window is the whole pixel (its samples all weigh the same).
TEST(EmitterEdges, GivesUpPastItsWorkOrWhenStopped) {
    // 3000 slivers in the plane z = 0, each across the whole view.
    Mesh slivers;
    for (uint32_t i = 0; i < 3000; ++i) {
        const float left = -2 + 4.0f * static_cast<float>((i * 7919) % 3000) / 3000;
        const float right = -2 + 4.0f * static_cast<float>((i * 104729) % 3000) / 3000;
        slivers.positions.insert(slivers.positions.end(),
                                 {{-3, left, 0}, {3, right, 0}, {3, right + 0.003f, 0}});
        slivers.indices.insert(slivers.indices.end(), {3 * i, 3 * i + 2, 3 * i + 1});
    }
    int asked = 0;
    const struct {
        const char *name;
        EmitterOutline outline;
    } cases[] = {
        {"many slivers", outline_of(slivers, true)},
        {"stopped", outline_of(make_sphere(1, 32), true, [&asked] { return ++asked > 0; })},
    };
    EXPECT_GT(asked, 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.outline.marks.size(), 64u * 48u);
        ASSERT_EQ(c.outline.windows.size(), 64u * 48u);
        EXPECT_EQ(std::count(c.outline.marks.begin(), c.outline.marks.end(), 1), 64 * 48);
        EXPECT_TRUE(std::all_of(c.outline.windows.begin(), c.outline.windows.end(),
                                [](const PixelWindow &w) { return w.whole(); }));
    }
    // A few slivers are worked out in full: the pixels between them are not marked.
    slivers.positions.resize(3 * 3);
    slivers.indices.resize(3 * 3);
    const EmitterOutline few = outline_of(slivers, true);
    EXPECT_LT(std::count(few.marks.begin(), few.marks.end(), 1), 64 * 48 / 2);
    EXPECT_FALSE(std::all_of(few.windows.begin(), few.windows.end(),
                             [](const PixelWindow &w) { return w.whole(); }));
}

// Half of a pixel's numbers go to its window, the other half to the rest,
// weighed so that the pixel's expected value is kept: over an even grid of
// numbers the weights average 1, and a region of the pixel takes its area.
TEST(EmitterEdges, WindowsKeepThePixelsExpectedValue) {
    const PixelWindow windows[] = {
        {0.9f, 0, 1, 1}, {0, 0.2f, 0.1f, 0.3f}, {0.4f, 0.45f, 0.5f, 0.5f}, {0.2f, 0.9f, 0.3f, 1}};
    const PixelWindow regions[] = {
        {0, 0, 1, 1}, {0.9f, 0, 1, 0.5f}, {0.35f, 0.4f, 0.6f, 0.6f}, {0, 0, 0.3f, 0.3f}};
    constexpr int kGrid = 256;
    for (const PixelWindow &window : windows) {
        SCOPED_TRACE(std::to_string(window.x0) + " " + std::to_string(window.y0));
        double weights = 0, in_region[4] = {0, 0, 0, 0};
        int outside = 0, astray = 0;
        for (int i = 0; i < kGrid; ++i) {
            for (int j = 0; j < kGrid; ++j) {
                float jx = (static_cast<float>(i) + 0.5f) / kGrid;
                float jy = (static_cast<float>(j) + 0.5f) / kGrid;
                const bool to_window = jx < 0.5f;
                const float weight = window.place(jx, jy);
                const bool in_window =
                    jx >= window.x0 && jx <= window.x1 && jy >= window.y0 && jy <= window.y1;
                outside += jx >= 0 && jx < 1 && jy >= 0 && jy < 1 ? 0 : 1;
                astray += to_window == in_window ? 0 : 1;
                weights += weight;
                for (int r = 0; r < 4; ++r) {
                    const PixelWindow &g = regions[r];
                    if (jx >= g.x0 && jx < g.x1 && jy >= g.y0 && jy < g.y1) {
                        in_region[r] += weight;
                    }
                }
            }
        }
        EXPECT_EQ(outside, 0);
        EXPECT_EQ(astray, 0);
        EXPECT_NEAR(weights / (kGrid * kGrid), 1, 1e-3);
        for (int r = 0; r < 4; ++r) {
            const PixelWindow &g = regions[r];
            EXPECT_NEAR(in_region[r] / (kGrid * kGrid), (g.x1 - g.x0) * (g.y1 - g.y0), 0.01)
                << "region " << r;
        }
    }
}

} // namespace
} // namespace oska::render::test
