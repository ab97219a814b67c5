// The binding probe: the library's host function binding built on its own,
// with an export for each binding and for param_eval, so that tests, fuzz
// harnesses and benchmarks can drive any of them with any arguments. Its own
// mi_ bindings stay hidden: they never take the place of the host's functions,
// nor the host's of them.
#ifndef OSKA_TESTS_BINDING_PROBE_H
#define OSKA_TESTS_BINDING_PROBE_H

#include <oska/host_api.h>

#if defined(OSKA_BUILDING_PROBE)
#define OSKA_PROBE_API OSKA_EXPORT
#else
#define OSKA_PROBE_API
#endif

#if defined(__cplusplus)
extern "C" {
#endif

/* Clears the probe's host function table and binds it to `module`, as
 * miSetModuleHandle does for the library. */
OSKA_PROBE_API int OSKA_CALL probe_set_module(void *module);

/* probe_mi_NAME: calls the binding mi_NAME with the caller's arguments. */
#define OSKA_PROBE_PLAIN(result, name, params) OSKA_PROBE_API result OSKA_CALL probe_##name params;
#define OSKA_PROBE_QUERY(result, name, params)
#define OSKA_PROBE_MESSAGE(result, name, params)
#define OSKA_PROBE_DECLARE(kind, result, name, params, args) OSKA_PROBE_##kind(result, name, params)
OSKA_HOST_FUNCTIONS(OSKA_PROBE_DECLARE)
#undef OSKA_PROBE_DECLARE

/* mi_query with four argument words, and with a fifth. */
OSKA_PROBE_API oska_boolean OSKA_CALL probe_mi_query(int request, oska_state *state, oska_tag tag,
                                                     void *result);
OSKA_PROBE_API oska_boolean OSKA_CALL probe_mi_query5(int request, oska_state *state, oska_tag tag,
                                                      void *result, void *fifth);

/* The message binding itself, to be called with any format and arguments:
 * level 0 mi_error, 1 mi_warning, anything else mi_info. */
OSKA_PROBE_API mi_error_fn OSKA_CALL probe_message(int level);

OSKA_PROBE_API const void *OSKA_CALL probe_param_eval(oska_state *state, const void *param);

/* The sum of `n` luminances of `color`, asked through the mi_luminance
 * binding (slot load and test, then the forwarded call), and through the
 * host's entry point resolved once before the loop: the floor a binding
 * cannot beat. 0 when the host does not export mi_luminance. */
OSKA_PROBE_API float OSKA_CALL probe_luminance_binding(oska_state *state, oska_color *color, int n);
OSKA_PROBE_API float OSKA_CALL probe_luminance_direct(oska_state *state, oska_color *color, int n);

#if defined(__cplusplus)
}
#endif

#endif
