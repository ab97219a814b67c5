// Evaluations of oskacolor per second, through the export of the library the
// host loads and the testing host with its call log off, for a few typical
// configurations of the shader.
#include "support/library.h"
#include "support/one_light.h"
#include "support/oskacolor_record.h"

#include <oska/host/testing.h>
#include <oska/host_api.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using oska::host::testing;
using oska::test::library;

// A 4 x 4 texture of varied colours.
oska::host::Image gradient() {
    oska::host::Image image{4, 4, {}};
    for (int i = 0; i < 16; ++i) {
        const float t = static_cast<float>(i) / 15.0f;
        image.texels.push_back({0.2f + 0.8f * t, 0.9f - 0.5f * t, 0.4f, 1.0f});
    }
    return image;
}

// One object light with one initialised oskacolor instance, sampled at a
// point 3 units away, facing the illuminated point at an emission cosine of
// 0.8. `configure` sets the parameters.
template <class Configure> void evaluate(benchmark::State &bench, Configure configure) {
    oska::host::Library &lib = library();
    testing().reset();
    lib.miSetModuleHandle(oska::host::module_handle());
    const oska::test::OneLight scene =
        oska::test::one_light(testing(), {}, 1.0f, {1.0f, 0.9f, 0.8f, 2.0f});
    const oska_tag light_instance = scene.light_instance;
    oska::host::ShaderInstance &shader = *scene.shader;
    oskacolor_params *params = scene.params();
    params->texture = testing().add_texture(gradient());
    configure(*params);

    oska_state &state = testing().make_state(shader, light_instance);
    const std::vector<oska_vector> vectors = {
        {0.3f, 0.6f, 0.0f}, {0, 0, 0}, {0.9f, 0.5f, 0.2f}, {0, 0, 0}, {0.7f, 0.7f, 0.7f}};
    state.vectors = vectors.data();
    state.vector_count = static_cast<int32_t>(vectors.size());
    state.distance = 3.0;
    state.emission_dot = -0.8f;
    state.orientation = 1;
    testing().set_shadow(1, {0.5f, 0.5f, 0.5f, 1.0f});

    oska_boolean init_req = 0;
    lib.oskacolor_init(&state, params, &init_req);
    testing().set_logging(false);
    oska_color first;
    if (lib.oskacolor(&first, &state, params) != 1) {
        bench.SkipWithError("the sample is rejected: the configuration measures the wrong path");
    }

    for (auto _ : bench) {
        oska_color result;
        benchmark::DoNotOptimize(lib.oskacolor(&result, &state, params));
        benchmark::DoNotOptimize(result);
    }
    bench.SetItemsProcessed(bench.iterations());

    lib.oskacolor_exit(&state, params);
    if (!testing().leaks().empty()) {
        bench.SkipWithError("the instance's settings leaked");
    }
}

void BM_oskacolor_plain(benchmark::State &bench) {
    evaluate(bench, [](oskacolor_params &) {});
}

void BM_oskacolor_directional_cosine(benchmark::State &bench) {
    evaluate(bench, [](oskacolor_params &p) {
        p.directional = p.cosine = 1;
        p.cutoff = 0.1f;
    });
}

void BM_oskacolor_texture_hsv_burn_linear(benchmark::State &bench) {
    evaluate(bench, [](oskacolor_params &p) {
        p.use_texture = 1;
        oska::test::set_hsv(p, 0.1f, -0.2f, 0.3f);
        oska::test::set_burn(p, 1.5f, 0.2f, 2.0f);
        oska::test::set_decay(p, OSKA_DECAY_LINEAR, 1.0f, 10.0f);
    });
}

void BM_oskacolor_vertex_physical_shadows(benchmark::State &bench) {
    evaluate(bench, [](oskacolor_params &p) {
        p.use_vertex_color = p.vc_color = p.vc_shadow = 1;
        p.vc_color_channel = 1;
        p.vc_shadow_channel = 2;
        oska::test::set_decay(p, OSKA_DECAY_PHYSICAL, 2.0f, 0.0f);
        p.shadows = 1;
        p.max_level = 4;
    });
}

BENCHMARK(BM_oskacolor_plain);
BENCHMARK(BM_oskacolor_directional_cosine);
BENCHMARK(BM_oskacolor_texture_hsv_burn_linear);
BENCHMARK(BM_oskacolor_vertex_physical_shadows);

} // namespace
