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
#include "scene.h"
#include "session.h"

#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>

namespace {

using namespace oska::render;

// The showcase at a size that renders in a fraction of a second, opened
// once for the whole run (the host core serves one session at a time).
struct Showcase {
    Scene scene;
    std::unique_ptr<Session> session;

    Showcase() {
        nlohmann::json json = nlohmann::json::parse(kShowcaseScene);
        json["image"] = {{"width", 160}, {"height", 120}, {"spp", 2}, {"light_samples", 8}};
        scene = load_scene_text(json.dump(), "showcase", ".", {});
        session = std::make_unique<Session>(scene, SessionOptions{});
        session->open();
    }
    ~Showcase() {
        try {
            session->close();
        } catch (const Error &e) {
            std::fprintf(stderr, "render_bench: %s\n", e.what());
        }
    }
};

Showcase &showcase() {
    static Showcase instance;
    return instance;
}

void Showcase_LightSamples(benchmark::State &state) {
    Showcase &s = showcase();
    RenderSettings settings = settings_of(s.scene, static_cast<int>(state.range(0)));
    settings.sampler = state.range(1) == 0 ? SamplerKind::random : SamplerKind::sobol;
    long samples = 0, calls = 0, shadow_rays = 0;
    for (auto _ : state) {
        Stats stats;
        Framebuffer image = render(*s.session, settings, &stats);
        benchmark::DoNotOptimize(image.rgb.data());
        samples += stats.light_samples;
        calls += stats.shader_calls;
        shadow_rays += stats.shadow_rays;
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
