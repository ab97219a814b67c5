// oska-render's throughput: light samples per second on the built-in
// showcase, with one and two render threads, with independent random numbers
// (sobol:0) and with scrambled Sobol' points (sobol:1). Each light sample is one
// oskacolor call (with its mi_query, shadow ray and texture lookups through
// the host), so the two-thread figure shows whether anything on that path
// serialises: the shader takes no lock, and with logging off neither do the
// host's mi_ functions.
//
// Run: bin/render_bench [--benchmark_filter=Showcase]
// For the split of time between Embree, the library, the image library and
// the rest, run bench/profile_share.sh; for noise at equal time,
// bin/render_table.
#include "cli.h"
#include "error.h"
#include "integrator.h"
#include "render_scene.h"
#include "scene.h"
#include "session.h"

#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

namespace {

using namespace oska::render;

// The showcase at a size that renders in a fraction of a second.
SceneSource showcase() {
    nlohmann::json json = nlohmann::json::parse(kShowcaseScene);
    json["image"] = {{"width", 160}, {"height", 120}, {"spp", 2}, {"light_samples", 8}};
    return SceneSource::from_text(json.dump(), "showcase", ".");
}

// The scene is opened once for each run of the timed loop, outside it.
void Showcase_LightSamples(benchmark::State &state) {
    long samples = 0, calls = 0, shadow_rays = 0;
    OpenedScene opened;
    try {
        with_open_scene(showcase(), SceneRun{}, opened, [&](const Session &session) {
            RenderSettings settings = settings_of(opened.scene, static_cast<int>(state.range(0)));
            settings.sampler = state.range(1) == 0 ? SamplerKind::random : SamplerKind::sobol;
            for (auto _ : state) {
                Stats stats;
                Framebuffer image = render(session.lit(), settings, &stats);
                benchmark::DoNotOptimize(image.rgb.data());
                samples += stats.light_samples;
                calls += stats.shader_calls;
                shadow_rays += stats.shadow_rays;
            }
        });
    } catch (const Error &e) {
        state.SkipWithError(e.what());
        return;
    }
    state.counters["light_samples/s"] =
        benchmark::Counter(static_cast<double>(samples), benchmark::Counter::kIsRate);
    state.counters["shader_calls/s"] =
        benchmark::Counter(static_cast<double>(calls), benchmark::Counter::kIsRate);
    state.counters["shadow_rays/s"] =
        benchmark::Counter(static_cast<double>(shadow_rays), benchmark::Counter::kIsRate);
}
BENCHMARK(Showcase_LightSamples)
    ->ArgNames({"threads", "sobol"})
    ->ArgsProduct({{1, 2}, {0, 1}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
