#include "integrator.h"

#include "emitter_edges.h"
#include "light_bounds.h"
#include "parallel_rows.h"
#include "pixel_budget.h"
#include "shading.h"

#include <atomic>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <utility>

namespace oska::render {

namespace {

// With `choose`: the share of a point's samples spread evenly over the
// lights that can light it, whatever their weights.
constexpr float kEvenShare = 0.25f;
// How many times the first pass's samples a pixel an emitter's outline
// crosses takes in it.
constexpr uint32_t kEdgeBoost = 4;

bool cancelled(const RenderSettings &settings) {
    return settings.cancel != nullptr && settings.cancel->load(std::memory_order_relaxed);
}

// The first sample of camera sample `camera_index`'s block. Each shading
// point's samples take a block of the sequence whose size is a power of two
// and whose start is a multiple of it: such a block is spread evenly on its
// own, and a point's samples are a scrambled choice from it.
uint32_t block_start(int count, uint32_t camera_index) {
    uint32_t block = 1;
    while (block < static_cast<uint32_t>(count)) {
        block <<= 1;
    }
    return camera_index * block;
}

// A light's `all` samples at a shading point are split over `divisor`
// camera samples, each sample counting as one of all / divisor: camera
// sample `camera_index` takes its share (some may take none) from the block
// the widest share needs.
struct Share {
    int count;
    uint32_t first;
};
Share share_of(int all, uint32_t camera_index, int divisor) {
    const auto j = static_cast<int>(camera_index % static_cast<uint32_t>(divisor));
    const int widest = (all + divisor - 1) / divisor;
    return {all * (j + 1) / divisor - all * j / divisor, block_start(widest, camera_index)};
}

// Each light's clusters as weighed for a shading point (with `bounds` and
// `choose`), and with `choose`, the running probabilities of the lights
// themselves: by the total weight of a light's clusters times its
// brightness and its sample count, with a quarter shared evenly over the
// lights that can light the point, so that a light the weights misjudge is
// still found.
class LightWeights {
  public:
    LightWeights(const LitScene &scene, const std::vector<BoundedEmitter> &bounded,
                 int default_samples)
        : scene_(scene), bounded_(bounded), default_samples_(default_samples),
          weighings_(bounded.size()), running_(bounded.size(), 0.0f) {}

    const EmitterClusters::Weighing &of(int index) const {
        return weighings_[static_cast<std::size_t>(index)];
    }

    // Weighs light `index`'s clusters for the point: the total of their
    // weights, 0 when none can light it.
    float weigh(int index, const SurfacePoint &at) {
        const BoundedEmitter &emitter = bounded_[static_cast<std::size_t>(index)];
        return emitter.clusters.weigh(at.position, at.normal, emitter.traits,
                                      weighings_[static_cast<std::size_t>(index)]);
    }

    // Weighs every light but those of `own_object` (a light does not light
    // its own object), and the lights among themselves. False when none can
    // light the point.
    bool weigh_all(const SurfacePoint &at, int own_object) {
        float total = 0;
        int open = 0;
        for (std::size_t i = 0; i < running_.size(); ++i) {
            const BoundLight &light = scene_.lights[i];
            float weight = light.object != own_object ? weigh(static_cast<int>(i), at) : 0.0f;
            if (weight > 0) {
                const int samples = light.samples > 0 ? light.samples : default_samples_;
                weight *= bounded_[i].traits.brightness * static_cast<float>(samples);
                weight = weight > 0 && std::isfinite(weight) ? weight : FLT_MIN;
                total += weight;
                ++open;
            }
            running_[i] = weight;
        }
        if (open == 0) {
            return false;
        }
        const float even = kEvenShare / static_cast<float>(open);
        float sum = 0;
        std::size_t last = 0;
        for (std::size_t i = 0; i < running_.size(); ++i) {
            if (running_[i] > 0) {
                sum += even + (std::isfinite(total) ? (1 - kEvenShare) * running_[i] / total
                                                    : (1 - kEvenShare) / static_cast<float>(open));
                last = i;
            }
            running_[i] = sum;
        }
        std::fill(running_.begin() + static_cast<std::ptrdiff_t>(last), running_.end(), 1.0f);
        return true;
    }

    // The light `u` picks after weigh_all(); `u` becomes what is left of it
    // in [0, 1), and `weight` the sample's factor: 1 / its probability.
    int pick_light(float &u, float &weight) const {
        const int last = static_cast<int>(running_.size()) - 1;
        int k = 0;
        while (k < last && !(running_[static_cast<std::size_t>(k)] > u)) {
            ++k;
        }
        const float before = k > 0 ? running_[static_cast<std::size_t>(k) - 1] : 0.0f;
        const float probability = running_[static_cast<std::size_t>(k)] - before;
        u = std::clamp((u - before) / probability, 0.0f, kOneMinusEpsilon);
        weight = 1 / probability;
        return k;
    }

  private:
    const LitScene &scene_;
    const std::vector<BoundedEmitter> &bounded_;
    int default_samples_;
    std::vector<EmitterClusters::Weighing> weighings_;
    std::vector<float> running_;
};

// Estimates the light that reaches the camera directly from the object
// lights, for one thread: it keeps that thread's counters and the vector
// list it hands to the light shader. Each starts a cache line of its own, so
// that one thread's counting never evicts what the next one reads.
struct alignas(64) DirectLightIntegrator {
    const LitScene &scene;
    const RenderSettings &settings;
    // With `bounds` and `choose`: each light's emitter as sampled by bounds
    // (empty with `area`), and the camera samples each of a pixel's does the
    // work of.
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
          states(lit), light_weights(lit, emitters, render_settings.light_samples) {}

    // Of each point of a batch: its distance, the cosine at the receiver and
    // the emission dot product, which points from the shaded point to the
    // sample (its negation, the emission cosine, is positive where the
    // sample faces the point).
    struct BatchGeometry {
        float distances[kBatch], receiver_cosines[kBatch], emission_dots[kBatch];
        float weights[kBatch]; // on the sample's light, for where it was drawn
    };
    // With camera samples shared by error: each pixel's window (see
    // emitter_edges.h); null: none.
    const PixelWindow *windows = nullptr;
    LightWeights light_weights;

    // Draws points into `batch` from the numbers: by area, or by bounds
    // with each point's weight.
    void place(int index, float *u1, const float *u2, const float *u3, int n, float *weights) {
        if (bounded.empty()) {
            scene.lights[static_cast<std::size_t>(index)].sampler->sample(u1, u2, u3, n, batch);
            return;
        }
        const BoundedEmitter &emitter = bounded[static_cast<std::size_t>(index)];
        for (int k = 0; k < n; ++k) {
            weights[k] *= emitter.clusters.choose(light_weights.of(index), u1[k], &u1[k]);
        }
        emitter.sampler.sample(u1, u2, u3, n, batch);
    }

    // Draws `n` points on light `index`'s emitter into `batch` from the
    // numbers, their weights multiplied into `geometry.weights`, and their
    // geometry as seen from `at`.
    void place_batch(int index, float *u1, const float *u2, const float *u3, int n,
                     const SurfacePoint &at, BatchGeometry &geometry) {
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

    // False when no part of light `index`'s emitter can light the point;
    // with `bounds`, weighs its clusters for the point as well.
    bool may_light(int index, const SurfacePoint &at) {
        if (bounded.empty()) {
            return true;
        }
        return light_weights.weigh(index, at) > 0;
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
        oska_color color{0, 0, 0, 0};
        ++stats.shader_calls;
        if (!states.light_sample(light, mesh, sample, distance, emission_dot, state, context,
                                 &color)) {
            ++stats.rejected;
            return;
        }
        // An answer that is not a number (or overflows once weighed) costs
        // its own sample only: it adds nothing, as a rejected one, and the
        // light's other samples keep their weight.
        const Vec3 given =
            Vec3{color.r, color.g, color.b} * (receiver_cosine * geometry.weights[k]);
        if (!finite(given)) {
            ++stats.dropped;
            return;
        }
        sum += given;
    }

    // Adds to `sum` what `n` points drawn on light `index`'s emitter from
    // the numbers give the point, each times its weight (`weights`).
    void light_batch(int index, float *u1, const float *u2, const float *u3, const float *weights,
                     int n, const SurfacePoint &at, Vec3 &sum) {
        const BoundLight &light = scene.lights[static_cast<std::size_t>(index)];
        const Mesh &mesh = scene.scene->objects[light.object].mesh;
        const float eps = scene.geometry->epsilon();
        SampleContext context{at.position + at.geometric_normal * eps, {}, &stats.shadow_rays};
        oska_state state;
        states.start(state, light, OSKA_RAY_LIGHT, 0, &context);
        BatchGeometry geometry;
        std::copy_n(weights, n, geometry.weights);
        place_batch(index, u1, u2, u3, n, at, geometry);
        for (int k = 0; k < n; ++k) {
            shade(light, mesh, geometry, k, eps, state, context, sum);
        }
    }

    // Irradiance at the point from light `index`, averaged over its samples
    // for camera sample `camera_index`.
    Vec3 irradiance(int index, const SurfacePoint &at, PixelSampler &sampler,
                    uint32_t camera_index) {
        const BoundLight &light = scene.lights[static_cast<std::size_t>(index)];
        const int all = light.samples > 0 ? light.samples : settings.light_samples;
        const Share share = share_of(all, camera_index, divisor);
        if (share.count == 0 || !may_light(index, at)) {
            return {}; // no samples here, or no part of the emitter can light the point
        }
        // The points are drawn a batch at a time, ahead of the shader calls.
        Vec3 sum;
        for (int i = 0; i < share.count && !cancelled(settings); i += kBatch) {
            const int n = std::min(kBatch, share.count - i);
            float u1[kBatch], u2[kBatch], u3[kBatch], weights[kBatch];
            sampler.light_samples(static_cast<uint32_t>(index),
                                  share.first + static_cast<uint32_t>(i), n, u1, u2, u3);
            std::fill_n(weights, n, 1.0f);
            light_batch(index, u1, u2, u3, weights, n, at, sum);
        }
        // Each sample is finite (see shade()), but finite samples can still
        // add up past the float range: such a light adds nothing here
        // rather than spoil the pixel.
        return finite(sum) ? sum / (static_cast<float>(all) / static_cast<float>(divisor)) : Vec3{};
    }

    // With `choose`: the irradiance from every light but those of
    // `own_object`, from `light_split` samples in all at this camera sample,
    // each on the light it picks (see LightWeights).
    Vec3 chosen_irradiance(const SurfacePoint &at, int own_object, PixelSampler &sampler,
                           uint32_t camera_index) {
        if (!light_weights.weigh_all(at, own_object)) {
            return {};
        }
        const int count = settings.light_split;
        const uint32_t first = block_start(count, camera_index);
        // One sequence picks the light and places the point on it.
        const auto sequence = static_cast<uint32_t>(scene.lights.size());
        Vec3 sum;
        for (int i = 0; i < count && !cancelled(settings); i += kBatch) {
            const int n = std::min(kBatch, count - i);
            float u1[kBatch], u2[kBatch], u3[kBatch], weights[kBatch];
            int light_of[kBatch];
            sampler.light_samples(sequence, first + static_cast<uint32_t>(i), n, u1, u2, u3);
            for (int k = 0; k < n; ++k) {
                light_of[k] = light_weights.pick_light(u1[k], weights[k]);
            }
            // The samples of each light go to it together, in one batch.
            bool taken[kBatch] = {};
            for (int k = 0; k < n; ++k) {
                if (taken[k]) {
                    continue;
                }
                float v1[kBatch], v2[kBatch], v3[kBatch], w[kBatch];
                int m = 0;
                for (int j = k; j < n; ++j) {
                    if (!taken[j] && light_of[j] == light_of[k]) {
                        taken[j] = true;
                        v1[m] = u1[j], v2[m] = u2[j], v3[m] = u3[j], w[m] = weights[j];
                        ++m;
                    }
                }
                Vec3 part;
                light_batch(light_of[k], v1, v2, v3, w, m, at, part);
                sum += finite(part) ? part : Vec3{};
            }
        }
        return sum / static_cast<float>(count);
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
            // An emission that is not finite is dropped alone, as a light
            // sample's is.
            if (Vec3 emitted = states.emission(scene.lights[index], hit, point); finite(emitted)) {
                result += emitted;
            } else {
                ++stats.dropped;
            }
        }
        face_towards(point, ray.direction); // shade the side the camera sees
        Vec3 irradiance_sum;
        const std::vector<BoundLight> &lights = scene.lights;
        if (settings.light_sampling == LightSampling::choose) {
            irradiance_sum = chosen_irradiance(point, hit.object, sampler, camera_index);
        } else {
            for (std::size_t i = 0; i < lights.size(); ++i) {
                if (lights[i].object != hit.object) { // a light does not light its own object
                    irradiance_sum += irradiance(static_cast<int>(i), point, sampler, camera_index);
                }
            }
        }
        return result + albedo(*scene.scene, object, point.uv) * irradiance_sum;
    }
};

// Adds the samples of pass `pass` in row `y` to `sums` (three floats a
// pixel), `spp` a pixel; or, given a budget, the pixel's share of the
// pass from its own count on, each to the half of its unit's parity.
void render_row(DirectLightIntegrator &integrator, int y, int pass, float *sums,
                PixelBudget *budget) {
    const RenderSettings &settings = integrator.settings;
    const PixelWindow *windows = integrator.windows;
    // A single camera sample in all is the pixel's centre.
    // (asked for: the camera samples a split makes of it stay there).
    bool centre = settings.spp == integrator.divisor && settings.time_limit <= 0 &&
                  settings.noise_target <= 0;
    for (int x = 0; x < settings.width; ++x) {
        const std::size_t pixel = static_cast<std::size_t>(y) * settings.width + x;
        uint32_t first = static_cast<uint32_t>(pass) * static_cast<uint32_t>(settings.spp);
        uint32_t count = static_cast<uint32_t>(settings.spp);
        if (budget != nullptr) {
            first = budget->first(pixel);
            count = budget->count(pixel);
        }
        if (count == 0) {
            continue; // shared by error, none of the pass's samples is the pixel's
        }
        PixelSampler sampler(settings.sampler, settings.seed, x, y, static_cast<uint32_t>(pass));
        Vec3 halves[2];
        for (uint32_t index = first; index < first + count; ++index) {
            // A row of long pixels, or a pixel of many samples, can take
            // seconds: a stop is looked for at each camera sample (the
            // light loops look at each batch). What the row has summed is
            // left as it is: a cancelled render's image is not used.
            if (cancelled(settings)) {
                return;
            }
            float jx = 0.5f, jy = 0.5f, weight = 1;
            if (!centre) {
                sampler.camera(index, &jx, &jy);
                if (windows != nullptr && !windows[pixel].whole()) {
                    weight = windows[pixel].place(jx, jy);
                }
            }
            Ray ray = camera_ray(integrator.scene.scene->camera, settings.width, settings.height,
                                 static_cast<float>(x) + jx, static_cast<float>(y) + jy);
            // The light seen directly can overflow too: the sample is
            // left out.
            if (Vec3 sample = integrator.radiance(ray, sampler, index); finite(sample)) {
                halves[budget != nullptr ? (index / budget->unit()) & 1 : 0] +=
                    weight != 1 ? sample * weight : sample;
            }
        }
        for (int h = 0; h < (budget != nullptr ? 2 : 1); ++h) {
            float *out = (budget != nullptr ? budget->half(h) : sums) + 3 * pixel;
            out[0] += halves[h].x;
            out[1] += halves[h].y;
            out[2] += halves[h].z;
        }
    }
}

void add(Stats &total, const Stats &part) {
    total.light_samples += part.light_samples;
    total.facing_away += part.facing_away;
    total.shader_calls += part.shader_calls;
    total.shadow_rays += part.shadow_rays;
    total.rejected += part.rejected;
    total.dropped += part.dropped;
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
        double difference = display_difference(even[i], odd[i], counts[0], counts[1]);
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
            value = finite_value(value / samples);
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

// With `bounds` and `choose`: each light's emitter in clusters; with `area`, none.
std::vector<BoundedEmitter> bounded_emitters(const LitScene &scene,
                                             const RenderSettings &settings) {
    std::vector<BoundedEmitter> emitters;
    if (settings.light_sampling != LightSampling::area) {
        emitters.reserve(scene.lights.size());
        for (const BoundLight &light : scene.lights) {
            if (cancelled(settings)) {
                break; // nothing is shaded with them now
            }
            emitters.emplace_back(scene.scene->objects[light.object].mesh, light.params,
                                  settings.cancel);
        }
    }
    return emitters;
}

// The camera samples each camera sample asked for becomes: with `bounds`,
// as many as make up the light samples the scene gives a light at one
// camera sample, taken `light_split` at a time.
int split_divisor(const RenderSettings &settings) {
    if (settings.light_sampling == LightSampling::area) {
        return 1;
    }
    return std::max(1, settings.light_samples / std::max(1, settings.light_split));
}

} // namespace

namespace {

// The camera samples a pixel takes together when they are shared by error:
// one, unless some light's samples do not split evenly over the camera
// samples of a split (then each of those takes its own count, and only the
// whole round of them weighs the light right).
uint32_t sample_unit(const LitScene &scene, const RenderSettings &settings, int divisor) {
    for (const BoundLight &light : scene.lights) {
        const int all = light.samples > 0 ? light.samples : settings.light_samples;
        if (all % divisor != 0) {
            return static_cast<uint32_t>(divisor);
        }
    }
    return 1;
}

// A render's passes over the image, on its threads' integrators.
class Passes {
  public:
    Passes(const LitScene &scene, const RenderSettings &asked,
           const std::function<void(const Progress &)> &progress)
        : settings(asked), reporter(asked.height, progress),
          bounded_(bounded_emitters(scene, asked)), divisor_(split_divisor(asked)) {
        split.spp = asked.spp * divisor_;
        const int threads = std::max(1, asked.threads);
        integrators_.reserve(static_cast<std::size_t>(threads));
        for (int i = 0; i < threads; ++i) {
            integrators_.emplace_back(scene, split, bounded_, divisor_);
        }
        unit = sample_unit(scene, asked, divisor_);
    }

    void set_windows(const std::vector<PixelWindow> &windows) {
        for (DirectLightIntegrator &integrator : integrators_) {
            integrator.windows = windows.data();
        }
    }

    // Renders the next pass into `sums`, or by `budget` into its halves.
    void run(float *sums, PixelBudget *budget) {
        auto row = [&, pass = done](int y, int thread) {
            DirectLightIntegrator &integrator = integrators_[static_cast<std::size_t>(thread)];
            long before = integrator.stats.light_samples;
            render_row(integrator, y, pass, sums, budget);
            reporter.add_samples(integrator.stats.light_samples - before);
        };
        parallel_for_rows(0, settings.height, static_cast<int>(integrators_.size()), row,
                          [&](int rows_done) { reporter.report(rows_done); });
        ++done;
        reporter.set_passes(done);
    }

    bool stop(double noise) {
        reporter.set_noise(noise);
        return done >= std::max(1, settings.max_passes) ||
               target_reached(settings, done, reporter.seconds(), noise);
    }

    void fill(Stats &stats) const {
        stats = Stats{};
        for (const DirectLightIntegrator &integrator : integrators_) {
            add(stats, integrator.stats);
        }
        stats.passes = done;
        stats.noise = reporter.state().noise;
        stats.seconds = reporter.seconds();
    }

    const RenderSettings &settings;
    RenderSettings split = settings; // with the camera samples a split makes
    ProgressReporter reporter;
    uint32_t unit = 1;
    int done = 0;

  private:
    std::vector<BoundedEmitter> bounded_;
    int divisor_;
    std::vector<DirectLightIntegrator> integrators_;
};

bool progressive(const RenderSettings &settings) {
    return settings.time_limit > 0 || settings.noise_target > 0;
}

// Every pixel the same samples in every pass.
Framebuffer even_passes(Passes &passes) {
    const RenderSettings &settings = passes.settings;
    PassSums sums(3 * static_cast<std::size_t>(settings.width) * settings.height,
                  progressive(settings));
    do {
        passes.run(sums.sums_of(passes.done), nullptr);
        sums.pass_done(passes.done - 1, passes.split.spp);
    } while (progressive(settings) && !cancelled(settings) && !passes.stop(sums.noise()));
    return sums.image(settings.width, settings.height);
}

// A first pass of the same samples everywhere, then passes that share theirs
// by each pixel's error. A render of a fixed number of samples starts with a
// quarter of them (at least two units, for the halves), and each pass after
// shares as many as all before it, up to the total.
Framebuffer adaptive_passes(const LitScene &scene, Passes &passes) {
    const RenderSettings &settings = passes.settings;
    const bool open_ended = progressive(settings);
    PixelBudget budget(settings.width, settings.height, passes.unit);
    const auto pixels = static_cast<uint64_t>(settings.width) * settings.height;
    const uint32_t per_pass = static_cast<uint32_t>(passes.split.spp) / passes.unit;
    const uint32_t first = open_ended ? per_pass : std::max(2u, per_pass / 4);
    uint64_t left = open_ended ? 0 : (per_pass - first) * pixels, taken = first * pixels;
    budget.share_evenly(first);
    // Where an emitter's outline crosses a pixel, more from the start, some
    // of them where the emitter can be. Working that out counts against the
    // render's time: it gives up past half of it, or when cancelled.
    const EmitterOutline outline =
        emitter_outline(scene, settings.width, settings.height, [&settings, &passes] {
            return cancelled(settings) ||
                   (settings.time_limit > 0 && passes.reporter.seconds() > settings.time_limit / 2);
        });
    passes.set_windows(outline.windows);
    if (!open_ended) {
        const uint64_t extra =
            std::min<uint64_t>(left, budget.add_where(outline.marks, first * (kEdgeBoost - 1)));
        left -= extra;
        taken += extra;
    }
    for (;;) {
        passes.run(nullptr, &budget);
        budget.pass_done();
        if (cancelled(settings) || (open_ended ? passes.stop(budget.noise()) : left == 0)) {
            break;
        }
        const uint64_t units = open_ended ? per_pass * pixels : std::min(left, taken);
        if (!budget.share(units, settings.noise_target)) {
            break; // every pixel is under the target
        }
        left -= open_ended ? 0 : units;
        taken += units;
    }
    passes.reporter.set_noise(budget.noise());
    return budget.image();
}

} // namespace

Framebuffer render(const LitScene &scene, const RenderSettings &settings, Stats *stats,
                   const std::function<void(const Progress &)> &progress) {
    Passes passes(scene, settings, progress);
    // Sharing needs a few samples a pixel; a single one stays at the centre.
    const bool adaptive =
        settings.adaptive &&
        (progressive(settings) ||
         (settings.spp >= 2 && static_cast<uint32_t>(passes.split.spp) / passes.unit >= 4));
    // A stop while the emitters' clusters were built leaves them unfinished:
    // no pass may shade with them (a pass's rows look for the stop before
    // any shading too).
    Framebuffer image;
    if (cancelled(settings)) {
        image = {
            settings.width, settings.height,
            std::vector<float>(3 * static_cast<std::size_t>(settings.width) * settings.height)};
    } else {
        image = adaptive ? adaptive_passes(scene, passes) : even_passes(passes);
    }
    passes.reporter.report(settings.height);
    if (stats != nullptr) {
        passes.fill(*stats);
        stats->cancelled = cancelled(settings);
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
