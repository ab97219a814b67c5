// The pixel probe: the render's value at a pixel of the image shown, what
// the pixel's centre sees there, and how much each light gives to it.
#include "error.h"
#include "geometry.h"
#include "integrator.h"
#include "lookdev/lookdev.h"
#include "textures.h"

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
    std::vector<oska_vector> vectors;
    long shadow_rays = 0;
    std::mt19937 random{7}; // the same numbers at each probe

    explicit LightShares(const LitScene &scene) : lit(scene) {
        std::size_t most = 1;
        for (const BoundLight &light : lit.lights) {
            most = std::max(most, static_cast<std::size_t>(light.vector_count));
        }
        vectors.assign(most, oska_vector{0, 0, 0});
    }

    oska_state state_for(const BoundLight &light, int ray_kind, double distance,
                         SampleContext *context) {
        oska_state state{};
        light.shader->address(state);
        state.ray_kind = ray_kind;
        state.distance = distance;
        state.light_instance = light.instance;
        state.sample = state.parent = &state;
        state.vectors = vectors.data();
        state.vector_count = light.vector_count;
        state.host_data = context;
        return state;
    }

    void set_vectors(const BoundLight &light, uint32_t triangle, float b1, float b2, Vec3 uv) {
        const Mesh &mesh = lit.scene->objects[light.object].mesh;
        vectors[0] = {uv.x, uv.y, uv.z};
        for (int n = 1; 2 * n < light.vector_count; ++n) {
            Vec3 v = channel_at(mesh, static_cast<std::size_t>(n), triangle, b1, b2);
            vectors[2 * n] = {v.x, v.y, v.z};
        }
    }

    Vec3 call(const BoundLight &light, oska_state &state) const {
        oska_color color{0, 0, 0, 0};
        if (!lit.light_shader(&color, &state, light.shader->record())) {
            return {};
        }
        return {color.r, color.g, color.b};
    }

    Vec3 emission(const BoundLight &light, const Hit &hit, const SurfacePoint &point) {
        set_vectors(light, hit.triangle, hit.b1, hit.b2, point.uv);
        SampleContext context{{}, {}, nullptr};
        oska_state state = state_for(light, OSKA_RAY_EYE, hit.distance, &context);
        return call(light, state);
    }

    Vec3 irradiance(const BoundLight &light, const SurfacePoint &at) {
        const float eps = lit.geometry->epsilon();
        SampleContext context{at.position + at.geometric_normal * eps, {}, &shadow_rays};
        oska_state state = state_for(light, OSKA_RAY_LIGHT, 0, &context);
        std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
        Vec3 sum;
        for (int i = 0; i < kProbeSamples; ++i) {
            const float u1 = uniform(random), u2 = uniform(random), u3 = uniform(random);
            EmitterPoint sample;
            light.sampler->sample(&u1, &u2, &u3, 1, &sample);
            const Vec3 to_sample = sample.position - at.position;
            const float distance = length(to_sample);
            const Vec3 w = to_sample * (1 / distance);
            const float receiver_cosine = dot(at.normal, w);
            if (!(distance > eps) || !(receiver_cosine > 0)) {
                continue;
            }
            set_vectors(light, sample.triangle, sample.b1, sample.b2, sample.uv);
            context.to = sample.position;
            state.distance = distance;
            state.emission_dot = dot(sample.normal, w);
            state.orientation = -state.emission_dot > 0 ? 1 : 0;
            sum += call(light, state) * receiver_cosine;
        }
        return finite(sum) ? sum / static_cast<float>(kProbeSamples) : Vec3{};
    }

    Vec3 albedo(const ObjectDesc &object, Vec3 uv) const {
        if (object.material < 0) {
            return {0.75f, 0.75f, 0.75f};
        }
        const MaterialDesc &material = lit.scene->materials[object.material];
        if (material.texture < 0) {
            return material.color;
        }
        oska_color texel;
        lookup(lit.scene->textures[static_cast<std::size_t>(material.texture)].image,
               uv.x * material.repeat_u, uv.y * material.repeat_v, true, &texel);
        return material.color * Vec3{texel.r, texel.g, texel.b};
    }

    // Each light's share of what the ray sees.
    std::vector<Vec3> at(const Ray &ray, const Hit &hit) {
        const ObjectDesc &object = lit.scene->objects[hit.object];
        SurfacePoint point = surface_point(object.mesh, hit.triangle, hit.b1, hit.b2);
        std::vector<Vec3> shares(lit.lights.size());
        for (int i : lit.lights_of(hit.object)) {
            shares[static_cast<std::size_t>(i)] += emission(lit.lights[i], hit, point);
        }
        if (dot(point.geometric_normal, ray.direction) > 0) { // the side the camera sees
            point.geometric_normal = -point.geometric_normal;
            point.normal = -point.normal;
        }
        const Vec3 surface = albedo(object, point.uv);
        for (std::size_t i = 0; i < shares.size(); ++i) {
            if (lit.lights[i].object != hit.object) { // a light does not light its own object
                shares[i] += surface * irradiance(lit.lights[i], point);
            }
        }
        return shares;
    }
};

float luminance(Vec3 c) { return 0.2126f * c.x + 0.7152f * c.y + 0.0722f * c.z; }

} // namespace

json Lookdev::probe(long long x, long long y) {
    std::shared_ptr<const Frame> shown = frame();
    if (!shown) {
        throw Error("no image yet");
    }
    if (x < 0 || y < 0 || x >= shown->width || y >= shown->height) {
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
