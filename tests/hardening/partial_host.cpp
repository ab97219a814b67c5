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
void *OSKA_CALL mi_scene_edit(oska_tag tag) {
    return forwarded<mi_scene_edit_fn>("mi_scene_edit")(tag);
}
#endif

#if !defined(OSKA_OMIT_mi_scene_edit_end)
void OSKA_CALL mi_scene_edit_end(oska_tag tag) {
    forwarded<mi_scene_edit_end_fn>("mi_scene_edit_end")(tag);
}
#endif

#if !defined(OSKA_OMIT_mi_trace_shadow)
oska_boolean OSKA_CALL mi_trace_shadow(oska_color *transmission, oska_state *state) {
    return forwarded<mi_trace_shadow_fn>("mi_trace_shadow")(transmission, state);
}
#endif

#if !defined(OSKA_OMIT_mi_phen_eval)
void *OSKA_CALL mi_phen_eval(oska_state *state, void *param) {
    return forwarded<mi_phen_eval_fn>("mi_phen_eval")(state, param);
}
#endif

#if !defined(OSKA_OMIT_mi_mem_int_allocate)
void *OSKA_CALL mi_mem_int_allocate(const char *file, int line, int size) {
    return forwarded<mi_mem_int_allocate_fn>("mi_mem_int_allocate")(file, line, size);
}
#endif

#if !defined(OSKA_OMIT_mi_mem_int_release)
void OSKA_CALL mi_mem_int_release(const char *file, int line, void *block) {
    forwarded<mi_mem_int_release_fn>("mi_mem_int_release")(file, line, block);
}
#endif

#if !defined(OSKA_OMIT_mi_luminance)
float OSKA_CALL mi_luminance(oska_state *state, oska_color *color) {
    return forwarded<mi_luminance_fn>("mi_luminance")(state, color);
}
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
oska_boolean OSKA_CALL mi_lookup_color_texture(oska_color *result, oska_state *state,
                                               oska_tag texture, oska_vector *coord) {
    return forwarded<mi_lookup_color_texture_fn>("mi_lookup_color_texture")(result, state, texture,
                                                                            coord);
}
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
const char *OSKA_CALL mi_api_tag_lookup(oska_tag tag) {
    return forwarded<mi_api_tag_lookup_fn>("mi_api_tag_lookup")(tag);
}
#endif

} // extern "C"
