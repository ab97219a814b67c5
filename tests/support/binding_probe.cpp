// A library made of the host function binding alone, for the binding tests.
//
// The shaders' exports reach the bindings only along the paths the shaders
// take; this library exports a door to each binding and to param_eval, so a
// test can call any of them, with any arguments, in a module of its own.
// Everything but the probe_ functions stays hidden: its mi_ bindings never
// take the place of the host's functions, nor the host's of its bindings.
#include "binding/binding.h"

#if defined(_WIN32)
#define PROBE_API __declspec(dllexport)
#else
#define PROBE_API __attribute__((visibility("default")))
#endif

extern "C" {

PROBE_API int OSKA_CALL probe_set_module(void *module) {
    oska::bind_module(module);
    return 0;
}

// probe_mi_NAME: calls the binding mi_NAME with the caller's arguments.
#define PROBE_PLAIN(result, name, params, args)                                                    \
    PROBE_API result OSKA_CALL probe_##name params { return name args; }
#define PROBE_QUERY(result, name, params, args)
#define PROBE_MESSAGE(result, name, params, args)
#define PROBE(kind, result, name, params, args) PROBE_##kind(result, name, params, args)
OSKA_HOST_FUNCTIONS(PROBE)
#undef PROBE

// mi_query with four argument words, and with a fifth.
PROBE_API oska_boolean OSKA_CALL probe_mi_query(int request, oska_state *state, oska_tag tag,
                                                void *result) {
    return mi_query(request, state, tag, result);
}
PROBE_API oska_boolean OSKA_CALL probe_mi_query5(int request, oska_state *state, oska_tag tag,
                                                 void *result, void *fifth) {
    return mi_query(request, state, tag, result, fifth);
}

// A message binding (0 error, 1 warning, 2 info) given a format and one text
// argument.
PROBE_API void OSKA_CALL probe_message(int level, const char *format, const char *text) {
    switch (level) {
    case 0:
        mi_error(format, text);
        break;
    case 1:
        mi_warning(format, text);
        break;
    default:
        mi_info(format, text);
        break;
    }
}

PROBE_API const void *OSKA_CALL probe_param_eval(oska_state *state, const void *param) {
    return oska::param_eval(state, param);
}

} // extern "C"
