// Direct lighting from object lights, into a float image.
//
// For each pixel, `spp` camera rays with jittered positions. Where a ray
// meets a surface, every light bound to another object is sampled `n` times
// uniformly by area over its object's triangles (n: the light's own sample
// count, else the render's), and each sample is one call of the light shader
// with a light-ray state. A sample that the shader accepts with colour C
// adds C * cos(receiver) / n to the irradiance E of the point (the emitter's
// area and the distance enter only through the shader: the light's colour
// is its full output, however large its object); the point then sends
// albedo * E towards the camera. Where the ray meets an emitting object, the
// shader's answer for an eye-ray state is added as the object's own
// radiance. Every pixel draws its random numbers from a seed of its own, so
// the image does not depend on the number of threads.
#ifndef OSKA_RENDER_INTEGRATOR_H
#define OSKA_RENDER_INTEGRATOR_H

#include "session.h"
#include "vec.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace oska::render {

struct RenderSettings {
    int width = 256, height = 192;
    int spp = 4;
    int light_samples = 8; // per light, unless the light gives its own count
    int threads = 1;
    // When set and raised, the render stops early: the rows not yet begun
    // stay black and render() returns at once.
    const std::atomic<bool> *cancel = nullptr;
};

// Why the light shader turned a sample down, as the host tells from the
// light's parameters.
enum class Rejection { behind, cutoff, range, threshold };
constexpr int kRejectionCount = 4;
const char *rejection_name(Rejection reason);

struct Stats {
    long camera_rays = 0;
    long light_samples = 0; // points drawn on emitters
    long facing_away = 0;   // samples behind the receiving surface: no shader call
    long shader_calls = 0;  // light shader calls: light samples and eye rays
    long shadow_rays = 0;
    long rejected[kRejectionCount] = {};
    double seconds = 0;

    long rejections() const;
};

struct Progress {
    int rows_done = 0, rows = 0;
    long light_samples = 0;
    double seconds = 0;
};

struct Framebuffer {
    int width = 0, height = 0;
    std::vector<float> rgb; // row-major from the top row, three floats a pixel
    Vec3 at(int x, int y) const {
        const float *p = &rgb[3 * (static_cast<std::size_t>(y) * width + x)];
        return {p[0], p[1], p[2]};
    }
};

struct Ray {
    Vec3 origin, direction;
};

// The camera ray through image position (px, py), in pixels from the top
// left corner (a pixel's centre is at +0.5).
Ray camera_ray(const Camera &camera, int width, int height, float px, float py);

// Renders the session's scene. `progress` (if set) is called from the
// calling thread a few times a second and once at the end.
Framebuffer render(const Session &session, const RenderSettings &settings, Stats *stats,
                   const std::function<void(const Progress &)> &progress = nullptr);

} // namespace oska::render

#endif
