// The cost of a call through a host function binding against its floor, a
// call through the entry point the binding resolved, both made from the
// probe library so that only the binding differs.
#include "support/binding_probe.h"

#include <oska/host/testing.h>

#include <benchmark/benchmark.h>

namespace {

constexpr int kCallsPerIteration = 1000;

template <float(OSKA_CALL *Loop)(oska_state *, oska_color *, int)>
void luminance_calls(benchmark::State &bench) {
    oska::host::Testing &host = oska::host::testing();
    host.reset();
    host.set_logging(false);
    probe_set_module(oska::host::module_handle());
    oska::host::ShaderInstance &shader = host.add_shader("probe", 4);
    oska_state &state = host.make_state(shader);
    oska_color color = {0.25f, 0.5f, 0.75f, 1.0f};
    for (auto _ : bench) {
        benchmark::DoNotOptimize(Loop(&state, &color, kCallsPerIteration));
    }
    bench.SetItemsProcessed(bench.iterations() * kCallsPerIteration);
}

void BM_luminance_binding(benchmark::State &bench) {
    luminance_calls<probe_luminance_binding>(bench);
}
void BM_luminance_direct(benchmark::State &bench) {
    luminance_calls<probe_luminance_direct>(bench);
}

BENCHMARK(BM_luminance_binding);
BENCHMARK(BM_luminance_direct);

} // namespace
