// Direct lighting from object lights, into a float image.
//
// For each pixel, `spp` camera rays with jittered positions. Where a ray
// meets a surface, every light bound to another object is sampled `n` times
// uniformly by area over its object's triangles (n: the light's own sample
// count, else the render's), with the numbers of the chosen sampler (see
// sampler.h), and each sample is one call of the light shader
// with a light-ray state. A sample that the shader accepts with colour C
// adds C * cos(receiver) / n to the irradiance E of the point (the emitter's
// area and the distance enter only through the shader: the light's colour
// is its full output, however large its object); the point then sends
// albedo * E towards the camera. Where the ray meets an emitting object, the
// shader's answer for an eye-ray state is added as the object's own
// radiance. Every pixel draws its numbers from a key of its own, so the image
// does not depend on the number of threads.
//
// A render given a time or a noise target runs in passes of `spp` camera
// samples each, every pass continuing the sequences of the one before, and
// stops after the pass that uses up the time or brings the estimated error
// under the target. The estimate compares the mean of the even passes with
// that of the odd ones, in display values (tone-mapped, sRGB, 0 to 1):
// their difference is noise alone.
//
// With `adaptive` (the default), the passes after the first share their
// camera samples over the pixels by each pixel's own estimate of its error
// (see pixel_budget.h): the edges of visible emitters and of shadows take
// more, flat regions fewer. A render of a fixed number of samples still takes
// `spp` a pixel on average, in a first pass of a quarter of them and passes
// that share the rest; with a noise target, a pixel under it takes no more.
// Each pixel continues its own sequence, so the image is the same for any
// number of threads.
#ifndef OSKA_RENDER_INTEGRATOR_H
#define OSKA_RENDER_INTEGRATOR_H

#include "camera.h"
#include "framebuffer.h"
#include "lit_scene.h"
#include "sampler.h"
#include "scene.h"
#include "vec.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace oska::render {

// How a shading point's light samples are spread over the emitters.
// `area` (the default, which gives the least error at equal time on the
// example scenes once camera samples are shared by error): each light takes
// its samples at every camera sample, uniformly by area over its triangles. `bounds`: each light
// takes `light_split` of them at a camera sample, and the camera samples are multiplied so that a
// pixel takes as many light samples in all; each sample picks a part of the emitter by what it can
// give the point (see light_bounds.h). `choose`: like `bounds`, but a shading point takes
// `light_split` samples in all at a camera sample, each picking a light by what its emitter can
// give the point, its brightness and its own sample count, so that the lights that light a point
// most take most of its samples.
enum class LightSampling { area, bounds, choose };

struct RenderSettings {
    int width = 256, height = 192;
    int spp = 4;
    int light_samples = 8; // per light, unless the light gives its own count
    int threads = 1;
    // When set and raised, the render stops early: within a camera sample
    // (a batch of light samples, a step of building the emitters' clusters or
    // outlines), render() returns at once, and its image is not the scene's
    // (Stats::cancelled).
    const std::atomic<bool> *cancel = nullptr;
    SamplerKind sampler = SamplerKind::sobol;
    uint32_t seed = 0; // another seed, another noise pattern
    // Passes of `spp` camera samples until the time is up (seconds) or the
    // estimated error is below the target; both 0: one pass.
    double time_limit = 0;
    double noise_target = 0;
    int max_passes = 4096; // a bound on a render that is given a target
    LightSampling light_sampling = LightSampling::area;
    int light_split = 2;  // with `bounds`: light samples of each light per camera sample
    bool adaptive = true; // camera samples shared by each pixel's error
};

// The image size and sample counts the scene gives.
RenderSettings settings_of(const Scene &scene, int threads = 1);

struct Stats {
    long light_samples = 0; // points drawn on emitters
    long facing_away = 0;   // samples behind the receiving surface: no shader call
    long shader_calls = 0;  // light shader calls: light samples and eye rays
    long shadow_rays = 0;
    long rejected = 0; // light samples the shader turned down
    // Shader answers that were not finite (NaN, infinite, or so once weighed):
    // each is dropped as a rejected sample would be, adding nothing.
    long dropped = 0;
    int passes = 0;
    double noise = -1; // estimated RMS error of a pixel's display value; -1: not known
    double seconds = 0;
    bool cancelled = false; // stopped early: the image is partial, not to be shown as done
};

struct Progress {
    int rows_done = 0, rows = 0; // of the pass under way
    int pass = 0;                // passes finished
    long light_samples = 0;
    double seconds = 0;
    double noise = -1; // the estimate after the last pass; -1: not known yet
};

// Renders a scene an open session has lit (Session::lit()). `progress`
// (if set) is called from the calling thread a few times a second and once at the end.
Framebuffer render(const LitScene &scene, const RenderSettings &settings, Stats *stats,
                   const std::function<void(const Progress &)> &progress = nullptr);

} // namespace oska::render

#endif
