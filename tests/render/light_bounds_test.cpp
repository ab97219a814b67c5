// Samples drawn by bounds keep the expected light: at any shading point, a
// sum weighted as the clusters say equals the sum by area, and where the
// clusters say that nothing can arrive, nothing does.
#include "area_sampler.h"
#include "light_bounds.h"
#include "mesh.h"
#include "sampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace oska::render::test {
namespace {

// What a sample at `p` with normal `m` gives the point `x` with normal `n`:
// the receiver cosine, the emission cosine (its size, for a light that
// emits from both sides) and the inverse square. Zero exactly where the
// renderer shades nothing or a one-sided light gives nothing.
double contribution(Vec3 x, Vec3 n, const EmitterPoint &p, bool front_only) {
    Vec3 to = p.position - x;
    double d = length(to);
    if (!(d > 1e-6)) {
        return 0;
    }
    Vec3 w = to * static_cast<float>(1 / d);
    double receiver = dot(n, w), emission = -dot(p.normal, w);
    if (!(receiver > 0) || (front_only && !(emission > 0))) {
        return 0;
    }
    return receiver * (std::fabs(emission) + 0.1) / std::max(d * d, 0.04); // of finite variance
}

Mesh moved(Mesh mesh, Vec3 by) {
    for (Vec3 &p : mesh.positions) {
        p += by;
    }
    return mesh;
}

// The same surface facing the other way: normals and winding turned.
Mesh inside_out(Mesh mesh) {
    for (Vec3 &n : mesh.normals) {
        n = n * -1.0f;
    }
    for (std::size_t t = 0; t + 2 < mesh.indices.size(); t += 3) {
        std::swap(mesh.indices[t + 1], mesh.indices[t + 2]);
    }
    return mesh;
}

TEST(LightBounds, WeightedSamplesKeepTheExpectedLight) {
    const struct {
        const char *name;
        Mesh mesh;
        LightTraits traits;
    } emitters[] = {
        {"faceted sphere, front only, physical",
         make_sphere(0.5f, 24),
         {true, OSKA_DECAY_PHYSICAL}},
        {"faceted sphere, both sides", make_sphere(0.5f, 24), {false, 0}},
        // Clusters of clusters of clusters: three levels to descend.
        {"fine sphere, front only, physical", make_sphere(0.45f, 64), {true, OSKA_DECAY_PHYSICAL}},
        {"box, front only, linear", make_box({1.0f, 0.2f, 0.6f}), {true, OSKA_DECAY_LINEAR}},
        {"quad, front only", moved(make_quad(0.6f, 0.6f), {0, 0.3f, 0}), {true, 0}},
        // Hollow: a point of a cluster can face what its centre does not.
        {"inside of a sphere, front only",
         inside_out(make_sphere(1.5f, 16)),
         {true, OSKA_DECAY_PHYSICAL}},
        {"coarse sphere, front only", make_sphere(0.8f, 6), {true, OSKA_DECAY_INVERSE_POWER}},
    };
    Random random(12345);
    auto unit = [&random] {
        for (;;) {
            Vec3 v{2 * random.uniform() - 1, 2 * random.uniform() - 1, 2 * random.uniform() - 1};
            if (dot(v, v) > 0.01f && dot(v, v) <= 1) {
                return normalize(v);
            }
        }
    };
    constexpr int kSamples = 16384;
    for (const auto &e : emitters) {
        AreaSampler by_area(e.mesh);
        BoundedEmitter bounded(e.mesh, nullptr);
        bounded.traits = e.traits;
        for (int point = 0; point < 24; ++point) {
            // Shading points near and far, inside the emitter's reach too.
            Vec3 x = unit() * (0.2f + 3.0f * random.uniform() * random.uniform());
            Vec3 n = point % 3 == 0 ? normalize(x * -1.0f) : unit();
            SCOPED_TRACE(std::string(e.name) + ", point " + std::to_string(point));
            EmitterClusters::Weighing weighing;
            bool open = bounded.clusters.weigh(x, n, e.traits, weighing) > 0;
            double area_sum = 0, bounds_sum = 0, area_squares = 0, bounds_squares = 0;
            for (int k = 0; k < kSamples; ++k) {
                float u1 = random.uniform(), u2 = random.uniform(), u3 = random.uniform();
                EmitterPoint p;
                by_area.sample(&u1, &u2, &u3, 1, &p);
                double a = contribution(x, n, p, e.traits.front_only);
                area_sum += a;
                area_squares += a * a;
                if (open) {
                    float v1 = random.uniform(), v2 = random.uniform(), v3 = random.uniform();
                    float weight = bounded.clusters.choose(weighing, v1, &v1);
                    bounded.sampler.sample(&v1, &v2, &v3, 1, &p);
                    double b = weight * contribution(x, n, p, e.traits.front_only);
                    bounds_sum += b;
                    bounds_squares += b * b;
                }
            }
            double by_area_mean = area_sum / kSamples, by_bounds_mean = bounds_sum / kSamples;
            if (!open) {
                EXPECT_EQ(by_area_mean, 0.0) << "the clusters shut out light that arrives";
                continue;
            }
            // Both means are noisy: their difference stays within a few of
            // its standard errors.
            double variance = (area_squares / kSamples - by_area_mean * by_area_mean +
                               bounds_squares / kSamples - by_bounds_mean * by_bounds_mean) /
                              kSamples;
            EXPECT_NEAR(by_bounds_mean, by_area_mean, 4.5 * std::sqrt(variance) + 1e-9);
        }
    }
}

} // namespace
} // namespace oska::render::test
