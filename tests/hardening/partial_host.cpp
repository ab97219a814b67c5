// A host module that exports all of the host's functions but one.
//
// Built once for each mi_ function, with OSKA_OMIT_<name> defined for the one
// it leaves out. Every function it does export forwards to the function of
// the same name in the module given to oska_partial_host_forward_to (the
// testing host), so a test binds the library to this module and sees the
// testing host at work, short of one function. The module depends on no
// other: a lookup of the missing name cannot find it in a dependency.
#include <oska/host_api.h>

#include <cstdarg>
#include <cstdio>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

void *g_forward_to = nullptr;

// The forwarded-to module's export `name`.
template <class Fn> Fn forwarded(const char *name) {
#if defined(_WIN32)
    void *entry =
        reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(g_forward_to), name));
#else
    void *entry = dlsym(g_forward_to, name);
#endif
    return reinterpret_cast<Fn>(entry);
}

// A message arrives formatted already, and is handed on as the argument of
// "%s", as the library hands it.
struct Text {
    char text[4096];
};
Text format_text(const char *format, va_list args) {
    Text formatted;
    std::vsnprintf(formatted.text, sizeof formatted.text, format, args);
    return formatted;
}

} // namespace

// A function that hands its arguments on as they are.
#define FORWARD(type, name, parameters, arguments)                                                 \
    type OSKA_CALL name parameters { return forwarded<name##_fn>(#name) arguments; }

// A message function: formats, then hands on the text.
#define FORWARD_MESSAGE(name)                                                                      \
    void OSKA_CALL name(const char *format, ...) {                                                 \
        va_list args;                                                                              \
        va_start(args, format);                                                                    \
        const Text text = format_text(format, args);                                               \
        va_end(args);                                                                              \
        forwarded<name##_fn>(#name)("%s", text.text);                                              \
    }

extern "C" {

OSKA_EXPORT void OSKA_CALL oska_partial_host_forward_to(void *module) { g_forward_to = module; }

#if !defined(OSKA_OMIT_mi_scene_edit)
FORWARD(void *, mi_scene_edit, (oska_tag tag), (tag))
#endif

#if !defined(OSKA_OMIT_mi_scene_edit_end)
FORWARD(void, mi_scene_edit_end, (oska_tag tag), (tag))
#endif

#if !defined(OSKA_OMIT_mi_trace_shadow)
FORWARD(oska_boolean, mi_trace_shadow, (oska_color * transmission, oska_state *state),
        (transmission, state))
#endif

#if !defined(OSKA_OMIT_mi_phen_eval)
FORWARD(void *, mi_phen_eval, (oska_state * state, void *param), (state, param))
#endif

#if !defined(OSKA_OMIT_mi_mem_int_allocate)
FORWARD(void *, mi_mem_int_allocate, (const char *file, int line, int size), (file, line, size))
#endif

#if !defined(OSKA_OMIT_mi_mem_int_release)
FORWARD(void, mi_mem_int_release, (const char *file, int line, void *block), (file, line, block))
#endif

#if !defined(OSKA_OMIT_mi_luminance)
FORWARD(float, mi_luminance, (oska_state * state, oska_color *color), (state, color))
#endif

#if !defined(OSKA_OMIT_mi_query)
oska_boolean OSKA_CALL mi_query(int request, oska_state *state, oska_tag tag, void *result, ...) {
    const auto query = forwarded<mi_query_fn>("mi_query");
    if (request == OSKA_QUERY_EXTRA_15 || request == OSKA_QUERY_EXTRA_127) {
        va_list extra;
        va_start(extra, result);
        void *fifth = va_arg(extra, void *);
        va_end(extra);
        return query(request, state, tag, result, fifth);
    }
    return query(request, state, tag, result);
}
#endif

#if !defined(OSKA_OMIT_mi_lookup_color_texture)
FORWARD(oska_boolean, mi_lookup_color_texture,
        (oska_color * result, oska_state *state, oska_tag texture, oska_vector *coord),
        (result, state, texture, coord))
#endif

#if !defined(OSKA_OMIT_mi_error)
FORWARD_MESSAGE(mi_error)
#endif

#if !defined(OSKA_OMIT_mi_warning)
FORWARD_MESSAGE(mi_warning)
#endif

#if !defined(OSKA_OMIT_mi_info)
FORWARD_MESSAGE(mi_info)
#endif

#if !defined(OSKA_OMIT_mi_db_type)
int OSKA_CALL mi_db_type(oska_tag tag) { return forwarded<mi_db_type_fn>("mi_db_type")(tag); }
#endif

#if !defined(OSKA_OMIT_mi_api_tag_lookup)
FORWARD(const char *, mi_api_tag_lookup, (oska_tag tag), (tag))
#endif

} // extern "C"
