// Entry points of the bench-only probe library: the binding layer and two
// loops over mi_luminance, through the binding and through the entry point it
// resolved.
#ifndef OSKA_BENCH_BINDING_PROBE_H
#define OSKA_BENCH_BINDING_PROBE_H

#include <oska/host_api.h>

extern "C" {

// Binds the probe's own host function table to the host module.
OSKA_EXPORT void OSKA_CALL bench_bind(void *module);

// Sum of `n` luminances of `color`, each asked through the mi_luminance
// binding (slot load and test, then the forwarded call).
OSKA_EXPORT float OSKA_CALL bench_luminance_binding(oska_state *state, oska_color *color, int n);

// The same through the host's entry point, resolved once before the loop.
OSKA_EXPORT float OSKA_CALL bench_luminance_direct(oska_state *state, oska_color *color, int n);
}

#endif
