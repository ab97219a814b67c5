// Which lights a shading point's light samples go to, where on their
// emitters, and with what weight: made once for a render from its settings
// (`--light-sampling`), one copy for each thread. The integrator asks it
// for a point's irradiance and has no other say in how lights are sampled.
//
// `area`: each light takes its samples at every camera sample, uniformly by
// area over its triangles. `bounds`: each light takes `light_split` of them
// at a camera sample (the render multiplies its camera samples by
// divisor(), so that a pixel takes as many light samples in all), each
// picking a part of the emitter by what it can give the point (see
// light_bounds.h). `choose`: like `bounds`, but a point takes `light_split`
// samples in all at a camera sample, each picking its light by what the
// emitter can give the point, its brightness and its own sample count.
#ifndef OSKA_RENDER_LIGHT_SAMPLER_H
#define OSKA_RENDER_LIGHT_SAMPLER_H

#include "direct_light.h"
#include "geometry.h"
#include "integrator.h"
#include "lit_scene.h"
#include "sampler.h"
#include "vec.h"

#include <memory>

namespace oska::render {

class LightSampler {
  public:
    virtual ~LightSampler() = default;
    LightSampler(const LightSampler &) = default;
    LightSampler &operator=(const LightSampler &) = delete;

    // The irradiance at `at` from every light but those of `own_object` (a
    // light does not light its own object), from the samples of camera
    // sample `camera_index`: the points are drawn a batch at a time from
    // `numbers` and shaded by `estimator`.
    virtual Vec3 irradiance(const SurfacePoint &at, int own_object, PixelSampler &numbers,
                            uint32_t camera_index, DirectLight &estimator) = 0;
    // After irradiance(): the probability that a sample of that point goes
    // to light `index`: 1 where every light takes samples of its own, else
    // the light's share (0 for one that cannot light the point).
    virtual float probability(int index) const = 0;
    // A copy for another thread: the emitters are shared, the weighing of a
    // point is each copy's own.
    virtual std::unique_ptr<LightSampler> copy() const = 0;

    // The camera samples each camera sample asked for becomes.
    int divisor() const { return divisor_; }

  protected:
    explicit LightSampler(int divisor) : divisor_(divisor) {}

  private:
    int divisor_;
};

// The light sampler that `settings.light_sampling` names, with the emitters
// in clusters where it weighs them (a step that stops when the render is
// cancelled: no point may then be shaded with it).
std::unique_ptr<LightSampler> make_light_sampler(const LitScene &scene,
                                                 const RenderSettings &settings);

} // namespace oska::render

#endif
