// Bench-only probe: the two loops of binding_probe.h, compiled with the
// binding layer exactly as the shader library compiles it.
#include "binding_probe.h"

#include "binding/binding.h"

extern "C" {

OSKA_EXPORT void OSKA_CALL bench_bind(void *module) { oska::bind_module(module); }

OSKA_EXPORT float OSKA_CALL bench_luminance_binding(oska_state *state, oska_color *color, int n) {
    float sum = 0.0f;
    for (int i = 0; i < n; ++i) {
        sum += mi_luminance(state, color);
    }
    return sum;
}

OSKA_EXPORT float OSKA_CALL bench_luminance_direct(oska_state *state, oska_color *color, int n) {
    auto luminance =
        reinterpret_cast<mi_luminance_fn>(oska::host_function(oska::slot_mi_luminance));
    if (luminance == nullptr) {
        return 0.0f;
    }
    float sum = 0.0f;
    for (int i = 0; i < n; ++i) {
        sum += luminance(state, color);
    }
    return sum;
}

} // extern "C"
