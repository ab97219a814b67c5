#include "integrator.h"

#include "display.h"
#include "light_bounds.h"
#include "parallel_rows.h"
#include "shading.h"

#include <atomic>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <utility>

namespace oska::render {

namespace {

constexpr float kPi = 3.14159265358979f;

bool cancelled(const RenderSettings &settings) {
    return settings.cancel != nullptr && settings.cancel->load(std::memory_order_relaxed);
}

// Estimates the light that reaches the camera directly from the object
// lights, for one thread: it keeps that thread's counters and the vector
// list it hands to the light shader. Each starts a cache line of its own, so
// that one thread's counting never evicts what the next one reads.
struct alignas(64) DirectLightIntegrator {
    const LitScene &scene;
    const RenderSettings &settings;
    // With `bounds`: each light's emitter as sampled by bounds (empty with
    // `area`), and the camera samples each of a pixel's does the work of.
    const std::vector<BoundedEmitter> &bounded;
    int divisor = 1;
    Stats stats;
    ShaderStates states;
    // A batch of points drawn on an emitter: kept here, since a Vec3 starts
    // zeroed and a fresh batch would be cleared at every shading point.
    static constexpr int kBatch = 16;
    EmitterPoint batch[kBatch];

    DirectLightIntegrator(const LitScene &lit, const RenderSettings &render_settings,
                          const std::vector<BoundedEmitter> &emitters, int split_divisor)
        : scene(lit), settings(render_settings), bounded(emitters), divisor(split_divisor),
          states(lit) {}

    // Of each point of a batch: its distance, the cosine at the receiver and
    // the emission dot product, which points from the shaded point to the
    // sample (its negation, the emission cosine, is positive where the
    // sample faces the point).
    struct BatchGeometry {
        float distances[kBatch], receiver_cosines[kBatch], emission_dots[kBatch];
        float weights[kBatch]; // on the sample's light, for where it was drawn
    };
    // A bounded emitter's clusters as weighed for the shading point.
    EmitterClusters::Weighing weighing;

    // Draws points into `batch` from the numbers: by area, or by bounds
    // with each point's weight.
    void place(int index, float *u1, const float *u2, const float *u3, int n, float *weights) {
        if (bounded.empty()) {
            scene.lights[static_cast<std::size_t>(index)].sampler->sample(u1, u2, u3, n, batch);
            std::fill_n(weights, n, 1.0f);
            return;
        }
        const BoundedEmitter &emitter = bounded[static_cast<std::size_t>(index)];
        for (int k = 0; k < n; ++k) {
            weights[k] = emitter.clusters.choose(weighing, u1[k], &u1[k]);
        }
        emitter.sampler.sample(u1, u2, u3, n, batch);
    }

    // Draws `n` points on light `index`'s emitter into `batch`, from the
    // sequence's sample `start` on, and their geometry as seen from `at`.
    void draw_batch(int index, uint32_t start, int n, const SurfacePoint &at, PixelSampler &sampler,
                    BatchGeometry &geometry) {
        float u1[kBatch], u2[kBatch], u3[kBatch];
        sampler.light_samples(static_cast<uint32_t>(index), start, n, u1, u2, u3);
        place(index, u1, u2, settings.sampler == SamplerKind::random ? u3 : nullptr, n,
              geometry.weights);
        for (int k = 0; k < n; ++k) {
            Vec3 to_sample = batch[k].position - at.position;
            geometry.distances[k] = length(to_sample);
            Vec3 w = to_sample * (1 / geometry.distances[k]);
            geometry.receiver_cosines[k] = dot(at.normal, w);
            geometry.emission_dots[k] = dot(batch[k].normal, w);
        }
    }

    // The first sample of camera sample `camera_index`'s block. Each shading
    // point's samples take a block of the sequence whose size is a power of
    // two and whose start is a multiple of it: such a block is spread evenly
    // on its own, and a point's samples are a scrambled choice from it.
    static uint32_t block_start(int count, uint32_t camera_index) {
        uint32_t block = 1;
        while (block < static_cast<uint32_t>(count)) {
            block <<= 1;
        }
        return camera_index * block;
    }

    // A light's `all` samples at a shading point are split over `divisor`
    // camera samples, each sample counting as one of all / divisor: camera
    // sample `camera_index` takes its share (some may take none) from the
    // block the widest share needs.
    struct Share {
        int count;
        uint32_t first;
    };
    Share share_of(int all, uint32_t camera_index) const {
        const auto j = static_cast<int>(camera_index % static_cast<uint32_t>(divisor));
        const int widest = (all + divisor - 1) / divisor;
        return {all * (j + 1) / divisor - all * j / divisor, block_start(widest, camera_index)};
    }

    // False when no part of light `index`'s emitter can light the point;
    // with `bounds`, weighs its clusters for the point as well.
    bool may_light(int index, const SurfacePoint &at) {
        if (bounded.empty()) {
            return true;
        }
        const BoundedEmitter &emitter = bounded[static_cast<std::size_t>(index)];
        return emitter.clusters.weigh(at.position, at.normal, emitter.traits, weighing) > 0;
    }

    // Adds to `sum` what point `k` of the batch gives: the shader's colour
    // times the cosine at the receiver and the point's weight. A point too
    // close or behind the receiving surface is not shaded. `state` serves all
    // of a light's samples (the library only reads it): a sample sets what
    // is its own.
    void shade(const BoundLight &light, const Mesh &mesh, const BatchGeometry &geometry, int k,
               float eps, oska_state &state, SampleContext &context, Vec3 &sum) {
        const EmitterPoint &sample = batch[k];
        const float distance = geometry.distances[k];
        const float receiver_cosine = geometry.receiver_cosines[k];
        const float emission_dot = geometry.emission_dots[k];
        ++stats.light_samples;
        if (!(distance > eps)) {
            return;
        }
        if (!(receiver_cosine > 0)) {
            ++stats.facing_away;
            return;
        }
        states.set_vectors(light, mesh, sample.uv, sample.triangle, sample.b1, sample.b2);
        context.to = sample.position;
        state.distance = distance;
        state.emission_dot = emission_dot;
        state.orientation = -emission_dot > 0 ? 1 : 0;
        oska_color color{0, 0, 0, 0};
        ++stats.shader_calls;
        if (scene.light_shader(&color, &state, light.shader->record())) {
            sum += Vec3{color.r, color.g, color.b} * (receiver_cosine * geometry.weights[k]);
        } else {
            ++stats.rejected;
        }
    }

    // Irradiance at the point from light `index`, averaged over its samples
    // for camera sample `camera_index`.
    Vec3 irradiance(int index, const SurfacePoint &at, PixelSampler &sampler,
                    uint32_t camera_index) {
        const BoundLight &light = scene.lights[static_cast<std::size_t>(index)];
        const int all = light.samples > 0 ? light.samples : settings.light_samples;
        const Share share = share_of(all, camera_index);
        if (!may_light(index, at)) {
            return {}; // no part of the emitter can light the point
        }
        const Mesh &mesh = scene.scene->objects[light.object].mesh;
        const float eps = scene.geometry->epsilon();
        SampleContext context{at.position + at.geometric_normal * eps, {}, &stats.shadow_rays};
        oska_state state;
        states.start(state, light, OSKA_RAY_LIGHT, 0, &context);
        // The points are drawn a batch at a time, ahead of the shader calls.
        BatchGeometry geometry;
        Vec3 sum;
        for (int i = 0; i < share.count; ++i) {
            if (i % kBatch == 0) {
                draw_batch(index, share.first + static_cast<uint32_t>(i),
                           std::min(kBatch, share.count - i), at, sampler, geometry);
            }
            shade(light, mesh, geometry, i % kBatch, eps, state, context, sum);
        }
        // A light's numbers can overflow where its maths meets extremes (a
        // steep exponent at a distance near 0, colours multiplied past the
        // float range): such a light adds nothing here rather than spoil
        // the pixel.
        return finite(sum) ? sum / (static_cast<float>(all) / static_cast<float>(divisor)) : Vec3{};
    }

    Vec3 radiance(const Ray &ray, PixelSampler &sampler, uint32_t camera_index) {
        Hit hit = scene.geometry->intersect(ray.origin, ray.direction);
        if (hit.object < 0) {
            return scene.scene->background;
        }
        const ObjectDesc &object = scene.scene->objects[hit.object];
        SurfacePoint point = surface_point(object.mesh, hit.triangle, hit.b1, hit.b2);
        Vec3 result;
        for (int index : scene.lights_of(hit.object)) {
            ++stats.shader_calls;
            result += states.emission(scene.lights[index], hit, point);
        }
        face_towards(point, ray.direction); // shade the side the camera sees
        Vec3 irradiance_sum;
        const std::vector<BoundLight> &lights = scene.lights;
        for (std::size_t i = 0; i < lights.size(); ++i) {
            if (lights[i].object != hit.object) { // a light does not light its own object
                irradiance_sum += irradiance(static_cast<int>(i), point, sampler, camera_index);
            }
        }
        return result + albedo(*scene.scene, object, point.uv) * irradiance_sum;
    }

    // Adds the samples of pass `pass` in row `y` to `sums` (three floats a
    // pixel).
    void render_row(int y, int pass, float *sums) {
        if (cancelled(settings)) {
            return;
        }
        // A single camera sample in all is the pixel's centre.
        // (asked for: the camera samples a split makes of it stay there).
        bool centre =
            settings.spp == divisor && settings.time_limit <= 0 && settings.noise_target <= 0;
        for (int x = 0; x < settings.width; ++x) {
            PixelSampler sampler(settings.sampler, settings.seed, x, y,
                                 static_cast<uint32_t>(pass));
            Vec3 sum;
            for (int s = 0; s < settings.spp; ++s) {
                uint32_t index = static_cast<uint32_t>(pass) * static_cast<uint32_t>(settings.spp) +
                                 static_cast<uint32_t>(s);
                float jx = 0.5f, jy = 0.5f;
                if (!centre) {
                    sampler.camera(index, &jx, &jy);
                }
                Ray ray = camera_ray(scene.scene->camera, settings.width, settings.height,
                                     static_cast<float>(x) + jx, static_cast<float>(y) + jy);
                // The light seen directly can overflow too: the sample is
                // left out.
                if (Vec3 sample = radiance(ray, sampler, index); finite(sample)) {
                    sum += sample;
                }
            }
            float *out = &sums[3 * (static_cast<std::size_t>(y) * settings.width + x)];
            out[0] += sum.x;
            out[1] += sum.y;
            out[2] += sum.z;
        }
    }
};

void add(Stats &total, const Stats &part) {
    total.light_samples += part.light_samples;
    total.facing_away += part.facing_away;
    total.shader_calls += part.shader_calls;
    total.shadow_rays += part.shadow_rays;
    total.rejected += part.rejected;
}

// The RMS error of the mean of both halves, from the difference between the
// halves' own means (`counts`: the camera samples a pixel has in each), in
// display values: the error a viewer sees, where a bright emitter's edge
// counts no more than a white wall.
double estimate_noise(const std::vector<float> &even, const std::vector<float> &odd,
                      const double counts[2]) {
    if (!(counts[0] > 0) || !(counts[1] > 0) || even.empty()) {
        return -1;
    }
    // Var(mean_even - mean_odd) = s2 (1/n0 + 1/n1), and the error of the
    // mean of all n0 + n1 samples is s2 / (n0 + n1).
    double scale = 1 / ((1 / counts[0] + 1 / counts[1]) * (counts[0] + counts[1]));
    double total = 0;
    for (std::size_t i = 0; i < even.size(); ++i) {
        double difference = linear_to_srgb(tone_map(static_cast<float>(even[i] / counts[0]))) -
                            linear_to_srgb(tone_map(static_cast<float>(odd[i] / counts[1])));
        total += difference * difference;
    }
    return std::sqrt(total * scale / static_cast<double>(even.size()));
}

using Clock = std::chrono::steady_clock;

// Tells the caller's progress function how the render goes: the light
// samples drawn so far (which the render threads add to), the time, the
// passes and the last noise estimate.
class ProgressReporter {
  public:
    ProgressReporter(int rows, const std::function<void(const Progress &)> &progress)
        : progress_(progress) {
        state_.rows = rows;
    }

    double seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
    void add_samples(long count) { samples_done_ += count; }
    void set_passes(int passes) { state_.pass = passes; }
    void set_noise(double noise) { state_.noise = noise; }
    const Progress &state() const { return state_; }

    void report(int rows_done) {
        if (progress_) {
            state_.rows_done = rows_done;
            state_.light_samples = samples_done_.load();
            state_.seconds = seconds();
            progress_(state_);
        }
    }

  private:
    const std::function<void(const Progress &)> &progress_;
    Clock::time_point start_ = Clock::now();
    std::atomic<long> samples_done_{0};
    Progress state_;
};

// The sums of a render's passes: the even passes' and the odd ones' apart
// (one half only when the render is a single pass), for the noise estimate.
struct PassSums {
    std::vector<float> halves[2];
    double counts[2] = {0, 0}; // camera samples a pixel has in each half

    PassSums(std::size_t values, bool progressive) {
        halves[0].assign(values, 0.0f);
        if (progressive) {
            halves[1].assign(values, 0.0f);
        }
    }
    float *sums_of(int pass) { return halves[pass & 1].data(); }
    void pass_done(int pass, int spp) { counts[pass & 1] += spp; }
    double noise() const { return estimate_noise(halves[0], halves[1], counts); }

    // The mean of all passes, each value finite.
    Framebuffer image(int width, int height) {
        Framebuffer image;
        image.width = width;
        image.height = height;
        image.rgb = std::move(halves[0]);
        if (!halves[1].empty()) {
            for (std::size_t i = 0; i < image.rgb.size(); ++i) {
                image.rgb[i] += halves[1][i];
            }
        }
        auto samples = static_cast<float>(counts[0] + counts[1]);
        for (float &value : image.rgb) {
            value /= samples;
            // Finite samples can still add up past the float range.
            if (!std::isfinite(value)) {
                value = std::isnan(value) ? 0.0f : std::copysign(FLT_MAX, value);
            }
        }
        return image;
    }
};

// When a render given a time or a noise target stops: after the pass that
// brings the estimate under the target, or before a pass that would not end
// in time.
bool target_reached(const RenderSettings &settings, int passes, double spent, double noise) {
    if (settings.time_limit > 0 && spent + spent / passes > settings.time_limit) {
        return true;
    }
    return settings.noise_target > 0 && noise >= 0 && noise < settings.noise_target;
}

// With `bounds`: each light's emitter in clusters; with `area`, none.
std::vector<BoundedEmitter> bounded_emitters(const LitScene &scene,
                                             const RenderSettings &settings) {
    std::vector<BoundedEmitter> emitters;
    if (settings.light_sampling == LightSampling::bounds) {
        emitters.reserve(scene.lights.size());
        for (const BoundLight &light : scene.lights) {
            emitters.emplace_back(scene.scene->objects[light.object].mesh, light.params);
        }
    }
    return emitters;
}

// The camera samples each camera sample asked for becomes: with `bounds`,
// as many as make up the light samples the scene gives a light at one
// camera sample, taken `light_split` at a time.
int split_divisor(const RenderSettings &settings) {
    if (settings.light_sampling != LightSampling::bounds) {
        return 1;
    }
    return std::max(1, settings.light_samples / std::max(1, settings.light_split));
}

} // namespace

Ray camera_ray(const Camera &camera, int width, int height, float px, float py) {
    Vec3 forward = normalize(camera.look_at - camera.position);
    Vec3 right = normalize(cross(forward, camera.up));
    Vec3 up = cross(right, forward);
    float aspect = static_cast<float>(width) / static_cast<float>(height);
    float sx = (2.0f * px / static_cast<float>(width) - 1.0f) * aspect;
    float sy = 1.0f - 2.0f * py / static_cast<float>(height);
    if (camera.orthographic) {
        float half = camera.height / 2;
        return {camera.position + right * (sx * half) + up * (sy * half), forward};
    }
    float t = std::tan(camera.fov * kPi / 360.0f);
    return {camera.position, normalize(forward + right * (sx * t) + up * (sy * t))};
}

Framebuffer render(const LitScene &scene, const RenderSettings &settings, Stats *stats,
                   const std::function<void(const Progress &)> &progress) {
    ProgressReporter reporter(settings.height, progress);
    bool progressive = settings.time_limit > 0 || settings.noise_target > 0;
    int max_passes = progressive ? std::max(1, settings.max_passes) : 1;
    PassSums sums(3 * static_cast<std::size_t>(settings.width) * settings.height, progressive);
    int threads = std::max(1, settings.threads);
    std::vector<BoundedEmitter> bounded = bounded_emitters(scene, settings);
    const int divisor = split_divisor(settings);
    RenderSettings split = settings;
    split.spp = settings.spp * divisor;
    std::vector<DirectLightIntegrator> integrators;
    integrators.reserve(static_cast<std::size_t>(threads));
    for (int i = 0; i < threads; ++i) {
        integrators.emplace_back(scene, split, bounded, divisor);
    }

    int passes = 0;
    while (passes < max_passes) {
        float *pass_sums = sums.sums_of(passes);
        auto row = [&, pass = passes](int y, int thread) {
            DirectLightIntegrator &integrator = integrators[static_cast<std::size_t>(thread)];
            long before = integrator.stats.light_samples;
            integrator.render_row(y, pass, pass_sums);
            reporter.add_samples(integrator.stats.light_samples - before);
        };
        parallel_for_rows(0, settings.height, threads, row,
                          [&](int rows_done) { reporter.report(rows_done); });
        sums.pass_done(passes, split.spp);
        ++passes;
        reporter.set_passes(passes);
        if (!progressive || cancelled(settings)) {
            break;
        }
        reporter.set_noise(sums.noise());
        if (target_reached(settings, passes, reporter.seconds(), reporter.state().noise)) {
            break;
        }
    }
    reporter.report(settings.height);

    Framebuffer image = sums.image(settings.width, settings.height);
    if (stats != nullptr) {
        *stats = Stats{};
        for (const DirectLightIntegrator &integrator : integrators) {
            add(*stats, integrator.stats);
        }
        stats->passes = passes;
        stats->noise = reporter.state().noise;
        stats->seconds = reporter.seconds();
    }
    return image;
}

RenderSettings settings_of(const Scene &scene, int threads) {
    RenderSettings settings;
    settings.width = scene.width;
    settings.height = scene.height;
    settings.spp = scene.spp;
    settings.light_samples = scene.light_samples;
    settings.threads = threads;
    return settings;
}

} // namespace oska::render
