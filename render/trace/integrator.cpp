#include "integrator.h"

#include "direct_light.h"
#include "emitter_edges.h"
#include "light_sampler.h"
#include "parallel_rows.h"
#include "pixel_budget.h"
#include "shading.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <utility>

namespace oska::render {

namespace {

// How many times the first pass's samples a pixel an emitter's outline
// crosses takes in it.
constexpr uint32_t kEdgeBoost = 4;

bool cancelled(const RenderSettings &settings) {
    return settings.cancel != nullptr && settings.cancel->load(std::memory_order_relaxed);
}

// The light that reaches the camera directly, for one thread: the emitters
// the camera sees, and the light of the thread's light sampler at the
// surfaces it sees. Each starts a cache line of its own, so that one
// thread's counting never evicts what the next one reads.
struct alignas(64) PixelIntegrator {
    const LitScene &scene;
    const RenderSettings &settings;
    int divisor; // the camera samples each of a pixel's does the work of
    DirectLight light;
    std::unique_ptr<LightSampler> lights;
    // With camera samples shared by error: each pixel's window (see
    // emitter_edges.h); null: none.
    const PixelWindow *windows = nullptr;

    PixelIntegrator(const LitScene &lit, const RenderSettings &render_settings, int split_divisor,
                    std::unique_ptr<LightSampler> sampler)
        : scene(lit), settings(render_settings), divisor(split_divisor), light(lit),
          lights(std::move(sampler)) {}

    Vec3 radiance(const Ray &ray, PixelSampler &sampler, uint32_t camera_index) {
        Hit hit = scene.geometry->intersect(ray.origin, ray.direction);
        if (hit.object < 0) {
            return scene.scene->background;
        }
        const ObjectDesc &object = scene.scene->objects[hit.object];
        SurfacePoint point = surface_point(object.mesh, hit.triangle, hit.b1, hit.b2);
        Vec3 result;
        for (int index : scene.lights_of(hit.object)) {
            result += light.emission(scene.lights[index], hit, point);
        }
        face_towards(point, ray.direction); // shade the side the camera sees
        const Vec3 irradiance = lights->irradiance(point, hit.object, sampler, camera_index, light);
        return result + albedo(*scene.scene, object, point.uv) * irradiance;
    }
};

// Adds the samples of pass `pass` in row `y` to the accumulator: each
// pixel's share of the pass from its own count on, each to the half of its
// unit's parity.
void render_row(PixelIntegrator &integrator, int y, int pass, PixelBudget &budget) {
    const RenderSettings &settings = integrator.settings;
    const PixelWindow *windows = integrator.windows;
    // A single camera sample in all is the pixel's centre.
    // (asked for: the camera samples a split makes of it stay there).
    bool centre = settings.spp == integrator.divisor && settings.time_limit <= 0 &&
                  settings.noise_target <= 0;
    for (int x = 0; x < settings.width; ++x) {
        const std::size_t pixel = static_cast<std::size_t>(y) * settings.width + x;
        const uint32_t first = budget.first(pixel), count = budget.count(pixel);
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
                halves[(index / budget.unit()) & 1] += weight != 1 ? sample * weight : sample;
            }
        }
        for (int h = 0; h < 2; ++h) {
            float *out = budget.half(h) + 3 * pixel;
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

// When a render given a time or a noise target stops: after the pass that
// brings the estimate under the target, or before a pass that would not end
// in time.
bool target_reached(const RenderSettings &settings, int passes, double spent, double noise) {
    if (settings.time_limit > 0 && spent + spent / passes > settings.time_limit) {
        return true;
    }
    return settings.noise_target > 0 && noise >= 0 && noise < settings.noise_target;
}

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
          lights_(make_light_sampler(scene, asked)), divisor_(lights_->divisor()) {
        split.spp = asked.spp * divisor_;
        const int threads = std::max(1, asked.threads);
        integrators_.reserve(static_cast<std::size_t>(threads));
        for (int i = 0; i < threads; ++i) {
            integrators_.emplace_back(scene, split, divisor_, lights_->copy());
        }
        unit = sample_unit(scene, asked, divisor_);
    }

    void set_windows(const std::vector<PixelWindow> &windows) {
        for (PixelIntegrator &integrator : integrators_) {
            integrator.windows = windows.data();
        }
    }

    // Renders the next pass by `budget` into its halves.
    void run(PixelBudget &budget) {
        auto row = [&, pass = done](int y, int thread) {
            PixelIntegrator &integrator = integrators_[static_cast<std::size_t>(thread)];
            long before = integrator.light.stats.light_samples;
            render_row(integrator, y, pass, budget);
            reporter.add_samples(integrator.light.stats.light_samples - before);
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
        for (const PixelIntegrator &integrator : integrators_) {
            add(stats, integrator.light.stats);
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
    std::unique_ptr<LightSampler> lights_; // each thread takes a copy
    int divisor_;
    std::vector<PixelIntegrator> integrators_;
};

bool progressive(const RenderSettings &settings) {
    return settings.time_limit > 0 || settings.noise_target > 0;
}

// Every pixel the same samples in every pass: a budget of one unit, the
// pass's camera samples, for each pixel, so that the halves are the even
// passes and the odd ones.
Framebuffer even_passes(Passes &passes) {
    const RenderSettings &settings = passes.settings;
    PixelBudget budget(settings.width, settings.height, static_cast<uint32_t>(passes.split.spp));
    do {
        budget.share_evenly(1);
        passes.run(budget);
        budget.pass_done();
    } while (progressive(settings) && !cancelled(settings) && !passes.stop(budget.even_noise()));
    return budget.image();
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
        passes.run(budget);
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
