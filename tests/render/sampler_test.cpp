// The numbers behind the samples: each pixel's Sobol' points are spread
// evenly (every elementary box of a power-of-two count holds one point),
// they differ between pixels, lights and seeds, and they integrate with less
// error than independent numbers while aiming at the same value. And the
// points on emitters they pick: each triangle gets its share by area. And
// the camera samples shared over the pixels by their error.
#include "area_sampler.h"
#include "mesh.h"
#include "pixel_budget.h"
#include "sampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <set>
#include <vector>

namespace oska::render::test {
namespace {

using Draw = std::function<void(PixelSampler &, uint32_t, float *, float *)>;

const struct {
    const char *name;
    Draw draw;
} kSequences[] = {
    {"camera", [](PixelSampler &s, uint32_t i, float *a, float *b) { s.camera(i, a, b); }},
    {"light 0",
     [](PixelSampler &s, uint32_t i, float *a, float *b) {
         float u1[16], u2[16], u3[16]; // a batch, as the renderer draws them
         s.light_samples(0, i & ~15u, 16, u1, u2, u3);
         *a = u1[i & 15u];
         *b = u2[i & 15u];
     }},
    {"light 11", // past the lights whose keys are made ahead
     [](PixelSampler &s, uint32_t i, float *a, float *b) {
         float u1[16], u2[16], u3[16]; // a batch, as the renderer draws them
         s.light_samples(11, i & ~15u, 16, u1, u2, u3);
         *a = u1[i & 15u];
         *b = u2[i & 15u];
     }},
};

// Any aligned block of 2^m points, in any pixel, puts one point in each box
// of 2^-k by 2^-(m-k).
TEST(Sampler, EveryBlockOfAPowerOfTwoPointsFillsEachElementaryBox) {
    const int m = 6, count = 1 << m;
    for (const auto &sequence : kSequences) {
        for (uint32_t seed : {0u, 99u}) {
            for (uint32_t block : {0u, 1u, 5u}) {
                SCOPED_TRACE(std::string(sequence.name) + " seed " + std::to_string(seed) +
                             " block " + std::to_string(block));
                PixelSampler sampler(SamplerKind::sobol, seed, 3, 17, 0);
                std::vector<float> xs(count), ys(count);
                for (int i = 0; i < count; ++i) {
                    sequence.draw(sampler, block * count + static_cast<uint32_t>(i), &xs[i],
                                  &ys[i]);
                    ASSERT_GE(xs[i], 0.0f);
                    ASSERT_LT(xs[i], 1.0f);
                    ASSERT_GE(ys[i], 0.0f);
                    ASSERT_LT(ys[i], 1.0f);
                }
                for (int k = 0; k <= m; ++k) {
                    std::set<int> boxes;
                    for (int i = 0; i < count; ++i) {
                        int bx = static_cast<int>(xs[i] * static_cast<float>(1 << k));
                        int by = static_cast<int>(ys[i] * static_cast<float>(1 << (m - k)));
                        boxes.insert(bx * count + by);
                    }
                    EXPECT_EQ(boxes.size(), static_cast<std::size_t>(count)) << "k " << k;
                }
            }
        }
    }
}

// The first point of every pixel: spread over the square (a pixel's points
// are scrambled apart from its neighbours'), and another seed moves them.
TEST(Sampler, PixelsAndSeedsScrambleThePointsApart) {
    for (const auto &sequence : kSequences) {
        SCOPED_TRACE(sequence.name);
        const int side = 32;
        std::set<int> cells;
        int moved = 0;
        for (int y = 0; y < side; ++y) {
            for (int x = 0; x < side; ++x) {
                PixelSampler a(SamplerKind::sobol, 0, x, y, 0), b(SamplerKind::sobol, 1, x, y, 0);
                float ax, ay, bx, by;
                sequence.draw(a, 0, &ax, &ay);
                sequence.draw(b, 0, &bx, &by);
                cells.insert(static_cast<int>(ax * 8) * 8 + static_cast<int>(ay * 8));
                moved += ax != bx || ay != by ? 1 : 0;
            }
        }
        EXPECT_EQ(cells.size(), 64u); // 1024 points leave no cell of 8x8 empty
        EXPECT_GT(moved, side * side - 4);
    }
}

// Estimates of a smooth integral and of a disc's area over many pixels: both
// samplers centre on the true value, and the Sobol' points' error is far
// below that of independent numbers.
TEST(Sampler, SobolPointsIntegrateWithLessErrorAroundTheSameValue) {
    const struct {
        const char *name;
        std::function<double(double, double)> f;
        double exact;
    } integrands[] = {
        {"x y", [](double x, double y) { return x * y; }, 0.25},
        {"disc", [](double x, double y) { return (x * x + y * y < 1) ? 1.0 : 0.0; }, M_PI / 4},
    };
    const int pixels = 400, count = 64;
    for (const auto &integrand : integrands) {
        double bias[2] = {0, 0}, squared[2] = {0, 0};
        int k = 0;
        for (SamplerKind kind : {SamplerKind::sobol, SamplerKind::random}) {
            for (int p = 0; p < pixels; ++p) {
                PixelSampler sampler(kind, 0, p % 20, p / 20, 0);
                double sum = 0;
                for (int i = 0; i < count; ++i) {
                    float u[3];
                    sampler.light_samples(2, static_cast<uint32_t>(i), 1, &u[0], &u[1], &u[2]);
                    sum += integrand.f(u[0], u[1]);
                }
                double error = sum / count - integrand.exact;
                bias[k] += error / pixels;
                squared[k] += error * error / pixels;
            }
            ++k;
        }
        SCOPED_TRACE(integrand.name);
        double rms_sobol = std::sqrt(squared[0]), rms_random = std::sqrt(squared[1]);
        EXPECT_LT(rms_sobol, 0.5 * rms_random);
        // Within four standard errors of the mean.
        EXPECT_LT(std::fabs(bias[0]), 4 * rms_sobol / std::sqrt(pixels));
        EXPECT_LT(std::fabs(bias[1]), 4 * rms_random / std::sqrt(pixels));
    }
}

// Points on an emitter, from evenly spaced numbers: each triangle gets its
// area's share of them (within one), and each point lies on its triangle
// with a unit normal. The meshes have equal triangles, the uneven bands of
// spheres, and one large triangle among many small ones, where a pick has
// the longest way to search.
TEST(Sampler, EmitterPointsSpreadOverTheTrianglesByArea) {
    Mesh uneven = make_sphere(0.1f, 24);
    const std::size_t first = uneven.positions.size();
    for (Vec3 p : {Vec3{-3, 0, 0}, Vec3{3, 0, 0}, Vec3{0, 0, 4}}) {
        uneven.positions.push_back(p);
        uneven.normals.push_back({0, 1, 0});
        uneven.uvs.push_back({});
    }
    for (std::size_t i = 0; i < 3; ++i) {
        uneven.indices.push_back(static_cast<uint32_t>(first + i));
    }
    const struct {
        const char *name;
        Mesh mesh;
    } meshes[] = {{"quad", make_quad(2, 1)},
                  {"sphere 8", make_sphere(1, 8)},
                  {"sphere 40", make_sphere(0.5f, 40)},
                  {"uneven", uneven}};
    const int count = 8192;
    for (const auto &entry : meshes) {
        SCOPED_TRACE(entry.name);
        const Mesh &mesh = entry.mesh;
        AreaSampler sampler(mesh);
        std::vector<double> area(mesh.triangle_count());
        double total = 0;
        for (std::size_t t = 0; t < area.size(); ++t) {
            Vec3 a = mesh.positions[mesh.indices[3 * t]],
                 b = mesh.positions[mesh.indices[3 * t + 1]],
                 c = mesh.positions[mesh.indices[3 * t + 2]];
            area[t] = 0.5 * length(cross(b - a, c - a));
            total += area[t];
        }
        std::vector<int> hits(area.size(), 0);
        for (bool independent : {false, true}) {
            std::fill(hits.begin(), hits.end(), 0);
            for (int start = 0; start < count; start += 16) {
                float u1[16], u2[16], u3[16];
                for (int k = 0; k < 16; ++k) {
                    u1[k] = (static_cast<float>(start + k) + 0.5f) / count;
                    u2[k] = static_cast<float>((start + k) * 37 % 101) / 101;
                    u3[k] = static_cast<float>((start + k) * 53 % 103) / 103;
                }
                EmitterPoint points[16];
                sampler.sample(u1, u2, independent ? u3 : nullptr, 16, points);
                for (const EmitterPoint &p : points) {
                    ASSERT_LT(p.triangle, area.size());
                    ++hits[p.triangle];
                    const uint32_t *v = &mesh.indices[3 * static_cast<std::size_t>(p.triangle)];
                    EXPECT_GE(p.b1, 0);
                    EXPECT_GE(p.b2, 0);
                    EXPECT_LE(p.b1 + p.b2, 1.0f);
                    Vec3 on = mesh.positions[v[0]] * (1 - p.b1 - p.b2) +
                              mesh.positions[v[1]] * p.b1 + mesh.positions[v[2]] * p.b2;
                    EXPECT_LT(length(on - p.position), 1e-5f);
                    EXPECT_NEAR(length(p.normal), 1.0f, 1e-5f);
                }
            }
            for (std::size_t t = 0; t < area.size(); ++t) {
                EXPECT_NEAR(hits[t], count * area[t] / total, 1.01) << "triangle " << t;
            }
        }
    }
}

// An 8x4 image, flat but for one noisy pixel at (2, 1): a pass's samples go
// to it and its neighbours, flat pixels keep a floor (none under a noise
// target), every share is a whole number of units and all add up to the
// pass's budget.
TEST(PixelBudget, SharesAPassExactlyByEachPixelsError) {
    const struct {
        const char *name;
        uint32_t unit;
        uint64_t units;
        double target;
        bool shared;      // false: every pixel under the target
        bool flat_starve; // flat pixels take nothing
    } cases[] = {
        {"a floor for the flat pixels", 1, 97, 0, true, false},
        {"in units of three", 3, 50, 0, true, false},
        {"a target the flat pixels meet", 1, 97, 1e-6, true, true},
        {"a target every pixel meets", 1, 97, 10, false, true},
    };
    constexpr int kWidth = 8, kHeight = 4;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        PixelBudget budget(kWidth, kHeight, c.unit);
        budget.share_evenly(2);
        for (std::size_t pixel = 0; pixel < kWidth * kHeight; ++pixel) {
            const bool noisy = pixel == kWidth + 2;
            for (std::size_t k = 3 * pixel; k < 3 * pixel + 3; ++k) {
                budget.half(0)[k] = static_cast<float>(c.unit) * (noisy ? 1.0f : 0.5f);
                budget.half(1)[k] = static_cast<float>(c.unit) * (noisy ? 0.0f : 0.5f);
            }
        }
        budget.pass_done();
        EXPECT_NEAR(budget.image().at(2, 1).x, 0.5f, 1e-6);
        EXPECT_GT(budget.noise(), 0);
        ASSERT_EQ(budget.share(c.units, c.target), c.shared);
        if (!c.shared) {
            continue;
        }
        uint64_t total = 0, flat = 0;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                const std::size_t pixel = static_cast<std::size_t>(y) * kWidth + x;
                const uint32_t count = budget.count(pixel);
                EXPECT_EQ(budget.first(pixel), 2 * c.unit);
                EXPECT_EQ(count % c.unit, 0u);
                total += count;
                const bool near = std::abs(x - 2) <= 1 && std::abs(y - 1) <= 1;
                if (near) {
                    EXPECT_GE(count, c.units / 12 * c.unit) << x << "," << y;
                } else {
                    EXPECT_LE(count, c.flat_starve ? 0 : c.unit) << x << "," << y;
                    flat += count;
                }
            }
        }
        EXPECT_EQ(total, c.units * c.unit);
        EXPECT_EQ(flat > 0, !c.flat_starve);
    }
}

// Even passes are a budget of one unit (the pass's camera samples) for every
// pixel: each pass takes the next block of samples, its sums go to the half
// of its parity, and the estimate from the common counts agrees with the
// per-pixel one; neither is known before the second pass.
TEST(PixelBudget, EvenPassesAreOneUnitForEveryPixel) {
    constexpr int kWidth = 5, kHeight = 3;
    for (const uint32_t spp : {1u, 4u, 7u}) {
        SCOPED_TRACE(spp);
        PixelBudget budget(kWidth, kHeight, spp);
        for (int pass = 0; pass < 3; ++pass) {
            budget.share_evenly(1);
            for (std::size_t pixel = 0; pixel < kWidth * kHeight; ++pixel) {
                EXPECT_EQ(budget.first(pixel), pass * spp);
                EXPECT_EQ(budget.count(pixel), spp);
                for (std::size_t k = 3 * pixel; k < 3 * pixel + 3; ++k) {
                    // The odd passes are brighter: the halves differ.
                    const float value = 0.1f * static_cast<float>(pixel % 4 + 2 * (pass & 1));
                    budget.half(pass & 1)[k] += static_cast<float>(spp) * value;
                }
            }
            budget.pass_done();
            if (pass == 0) {
                EXPECT_EQ(budget.even_noise(), -1);
                EXPECT_EQ(budget.noise(), -1);
            } else {
                EXPECT_GT(budget.even_noise(), 0);
                EXPECT_NEAR(budget.even_noise(), budget.noise(), 1e-9 * budget.noise());
            }
        }
        // The mean of the three passes' values: 0.1 * (pixel % 4) + 0.2 / 3.
        EXPECT_NEAR(budget.image().at(3, 0).x, 0.3f + 0.2f / 3, 1e-6);
        EXPECT_NEAR(budget.image().at(4, 0).x, 0.2f / 3, 1e-6);
    }
}

} // namespace
} // namespace oska::render::test
