#include "direct_light.h"

namespace oska::render {

void DirectLight::shade(const LightBatch &batch, const SurfacePoint &at, Vec3 &sum) {
    const BoundLight &light = scene_.lights[static_cast<std::size_t>(batch.light)];
    const Mesh &mesh = scene_.scene->objects[light.object].mesh;
    SampleContext context{at.position + at.geometric_normal * eps_, {}, &stats.shadow_rays};
    // One state serves all of the light's samples (the library only reads
    // it): a sample sets what is its own.
    oska_state state;
    states_.start(state, light, OSKA_RAY_LIGHT, 0, &context);
    // The geometry of every point first, in a loop of its own.
    Sample samples[LightBatch::kSize];
    for (int k = 0; k < batch.count; ++k) {
        Vec3 to_sample = batch.points[k].position - at.position;
        samples[k].distance = length(to_sample);
        Vec3 w = to_sample * (1 / samples[k].distance);
        samples[k].receiver_cosine = dot(at.normal, w);
        // Points from the shaded point to the sample: its negation, the
        // emission cosine, is positive where the sample faces the point.
        samples[k].emission_dot = dot(batch.points[k].normal, w);
    }
    for (int k = 0; k < batch.count; ++k) {
        shade_one(light, mesh, batch.points[k], samples[k], batch.weights[k], state, context, sum);
    }
}

void DirectLight::shade_one(const BoundLight &light, const Mesh &mesh, const EmitterPoint &point,
                            Sample sample, float weight, oska_state &state, SampleContext &context,
                            Vec3 &sum) {
    ++stats.light_samples;
    if (!(sample.distance > eps_)) {
        return;
    }
    if (!(sample.receiver_cosine > 0)) {
        ++stats.facing_away;
        return;
    }
    oska_color color{0, 0, 0, 0};
    ++stats.shader_calls;
    if (!states_.light_sample(light, mesh, point, sample.distance, sample.emission_dot, state,
                              context, &color)) {
        ++stats.rejected;
        return;
    }
    // An answer that is not a number (or overflows once weighed) costs its
    // own sample only: it adds nothing, as a rejected one, and the light's
    // other samples keep their weight.
    const Vec3 given = Vec3{color.r, color.g, color.b} * (sample.receiver_cosine * weight);
    if (!finite(given)) {
        ++stats.dropped;
        return;
    }
    sum += given;
}

Vec3 DirectLight::emission(const BoundLight &light, const Hit &hit, const SurfacePoint &point) {
    ++stats.shader_calls;
    if (Vec3 emitted = states_.emission(light, hit, point); finite(emitted)) {
        return emitted;
    }
    ++stats.dropped;
    return {};
}

} // namespace oska::render
