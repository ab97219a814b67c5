// The pixel probe: the render's value at a pixel of the image shown, what
// the pixel's centre sees there, and how much each light gives to it.
#include "direct_light.h"
#include "error.h"
#include "geometry.h"
#include "integrator.h"
#include "lookdev/lookdev.h"
#include "shading.h"

#include <algorithm>
#include <random>

namespace oska::render::lookdev {

namespace {

// Points drawn on each emitter: enough for a steady share at one point.
constexpr int kProbeSamples = 256;

// What each light gives at the point a camera ray meets, evaluated as the
// render does but one light at a time: its emitter's own brightness where
// the ray meets its object, else the surface's albedo times the irradiance
// it sends there.
struct LightShares {
    const LitScene &lit;
    DirectLight light;
    std::mt19937 random{7}; // NOLINT(cert-msc32-c,cert-msc51-cpp): the same numbers at each probe

    explicit LightShares(const LitScene &scene) : lit(scene), light(scene) {}

    // Light `index`'s irradiance at the point, from points drawn on its
    // emitter by area, shaded as the render shades them.
    Vec3 irradiance(int index, const SurfacePoint &at) {
        const BoundLight &bound = lit.lights[static_cast<std::size_t>(index)];
        std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
        LightBatch batch;
        batch.light = index;
        Vec3 sum;
        for (int i = 0; i < kProbeSamples; i += LightBatch::kSize) {
            batch.count = std::min(LightBatch::kSize, kProbeSamples - i);
            for (int k = 0; k < batch.count; ++k) {
                const float u1 = uniform(random), u2 = uniform(random), u3 = uniform(random);
                bound.sampler->sample(&u1, &u2, &u3, 1, &batch.points[k]);
                batch.weights[k] = 1;
            }
            light.shade(batch, at, sum);
        }
        return finite(sum) ? sum / static_cast<float>(kProbeSamples) : Vec3{};
    }

    // Each light's share of what the ray sees.
    std::vector<Vec3> at(const Ray &ray, const Hit &hit) {
        const ObjectDesc &object = lit.scene->objects[hit.object];
        SurfacePoint point = surface_point(object.mesh, hit.triangle, hit.b1, hit.b2);
        std::vector<Vec3> shares(lit.lights.size());
        for (int i : lit.lights_of(hit.object)) {
            shares[static_cast<std::size_t>(i)] += light.emission(lit.lights[i], hit, point);
        }
        face_towards(point, ray.direction); // the side the camera sees
        const Vec3 surface = albedo(*lit.scene, object, point.uv);
        for (std::size_t i = 0; i < shares.size(); ++i) {
            if (lit.lights[i].object != hit.object) { // a light does not light its own object
                shares[i] += surface * irradiance(static_cast<int>(i), point);
            }
        }
        return shares;
    }
};

float luminance(Vec3 c) { return 0.2126f * c.x + 0.7152f * c.y + 0.0722f * c.z; }

} // namespace

json LiveRender::probe(uint64_t x, uint64_t y) {
    std::shared_ptr<const Frame> shown = frame();
    if (!shown) {
        throw Error("no image yet");
    }
    if (x >= static_cast<uint64_t>(shown->width) || y >= static_cast<uint64_t>(shown->height)) {
        throw Error("no pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") in the " +
                    std::to_string(shown->width) + "x" + std::to_string(shown->height) + " image");
    }
    const auto at = static_cast<std::size_t>(3 * (y * shown->width + x));
    json out = {{"x", x},
                {"y", y},
                {"pass", shown->pass},
                {"serial", shown->serial},
                {"rgb", {shown->rgb[at], shown->rgb[at + 1], shown->rgb[at + 2]}}};
    // What the pixel's centre sees, the light whose emitter it is, if any,
    // and the light that gives most there.
    const Ray ray = camera_ray(scene_.camera, shown->width, shown->height,
                               static_cast<float>(x) + 0.5f, static_cast<float>(y) + 0.5f);
    std::lock_guard<std::mutex> lock(lights_mutex_); // no light changes meanwhile
    const Hit hit = session_->lit().geometry->intersect(ray.origin, ray.direction);
    if (hit.object < 0) {
        return out;
    }
    out["object"] = scene_.objects[static_cast<std::size_t>(hit.object)].name;
    const std::vector<Vec3> shares = LightShares(session_->lit()).at(ray, hit);
    json each = json::array();
    float total = 0;
    for (std::size_t i = 0; i < shares.size(); ++i) {
        if (session_->lights()[i].object == hit.object) {
            out["light"] = i;
        }
        each.push_back({shares[i].x, shares[i].y, shares[i].z});
        total += std::max(0.0f, luminance(shares[i]));
    }
    out["shares"] = each;
    const auto most = std::max_element(shares.begin(), shares.end(),
                                       [](Vec3 a, Vec3 b) { return luminance(a) < luminance(b); });
    if (total > 0) {
        out["most"] = {{"light", most - shares.begin()},
                       {"fraction", std::max(0.0f, luminance(*most)) / total}};
    }
    return out;
}

} // namespace oska::render::lookdev
