// The binding probe library (binding_probe.h): every export forwards to the
// binding compiled exactly as the shader library compiles it.
#include "binding_probe.h"

#include "binding/binding.h"

extern "C" {

OSKA_PROBE_API int OSKA_CALL probe_set_module(void *module) {
    oska::bind_module(module);
    return 0;
}

#define PROBE_PLAIN(result, name, params, args)                                                    \
    OSKA_PROBE_API result OSKA_CALL probe_##name params { return name args; }
#define PROBE_QUERY(result, name, params, args)
#define PROBE_MESSAGE(result, name, params, args)
#define PROBE(kind, result, name, params, args) PROBE_##kind(result, name, params, args)
OSKA_HOST_FUNCTIONS(PROBE)
#undef PROBE

OSKA_PROBE_API oska_boolean OSKA_CALL probe_mi_query(int request, oska_state *state, oska_tag tag,
                                                     void *result) {
    return mi_query(request, state, tag, result);
}
OSKA_PROBE_API oska_boolean OSKA_CALL probe_mi_query5(int request, oska_state *state, oska_tag tag,
                                                      void *result, void *fifth) {
    return mi_query(request, state, tag, result, fifth);
}

OSKA_PROBE_API mi_error_fn OSKA_CALL probe_message(int level) {
    switch (level) {
    case 0:
        return &mi_error;
    case 1:
        return &mi_warning;
    default:
        return &mi_info;
    }
}

OSKA_PROBE_API const void *OSKA_CALL probe_param_eval(oska_state *state, const void *param) {
    return oska::param_eval(state, param);
}

OSKA_PROBE_API float OSKA_CALL probe_luminance_binding(oska_state *state, oska_color *color,
                                                       int n) {
    float sum = 0.0f;
    for (int i = 0; i < n; ++i) {
        sum += mi_luminance(state, color);
    }
    return sum;
}

OSKA_PROBE_API float OSKA_CALL probe_luminance_direct(oska_state *state, oska_color *color, int n) {
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
