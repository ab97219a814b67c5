// The light that object lights send to a shading point: a batch of points
// drawn on one light's emitter, each shaded by the light's shader and traced
// for shadows, summed with the points' weights. The render, and what
// evaluates one light at a point (the lookdev page's pixel probe), shade
// with it, so that both count and drop samples alike.
#ifndef OSKA_RENDER_DIRECT_LIGHT_H
#define OSKA_RENDER_DIRECT_LIGHT_H

#include "area_sampler.h"
#include "geometry.h"
#include "integrator.h"
#include "lit_scene.h"
#include "shading.h"
#include "vec.h"

namespace oska::render {

// Points drawn on light `light`'s emitter for one shading point, each with
// its weight: the factor that makes the sum over the light's samples at the
// point an estimate of the whole emitter's light.
struct LightBatch {
    static constexpr int kSize = 16;
    int light = 0;
    int count = 0;
    // Kept in place: a Vec3 starts zeroed, and a fresh batch would be
    // cleared at every shading point.
    EmitterPoint points[kSize];
    float weights[kSize] = {};
};

// One thread's estimator: its counters (light samples, shader calls, shadow
// rays, rejected and dropped answers) and the vector list it hands to the
// light shader.
class DirectLight {
  public:
    explicit DirectLight(const LitScene &scene)
        : scene_(scene), states_(scene), eps_(scene.geometry->epsilon()) {}

    // Adds to `sum` what the batch's points give `at`: each shader answer
    // times the cosine at the receiver and the point's weight. A point too
    // close or behind the receiving surface is not shaded; an answer that is
    // not finite (or overflows once weighed) adds nothing.
    void shade(const LightBatch &batch, const SurfacePoint &at, Vec3 &sum);
    // The emitter's own brightness where a camera ray meets `light`'s object
    // (one shader call); zero, and dropped, when it is not finite.
    Vec3 emission(const BoundLight &light, const Hit &hit, const SurfacePoint &point);

    Stats stats;

  private:
    struct Sample {
        float distance, receiver_cosine, emission_dot;
    };
    void shade_one(const BoundLight &light, const Mesh &mesh, const EmitterPoint &point,
                   Sample sample, float weight, oska_state &state, SampleContext &context,
                   Vec3 &sum);

    const LitScene &scene_;
    ShaderStates states_;
    float eps_;
};

} // namespace oska::render

#endif
