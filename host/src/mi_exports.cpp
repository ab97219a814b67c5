// The core's own fourteen mi_ functions, serving the process-wide host():
// what a program that links the core alone (oska-render) exports. Nothing
// watches them, so each goes straight to its service (serve.h).
#include "serve.h"

#include <cstdarg>

namespace oska::host {

// Never destroyed: the library may call into the host while the process
// shuts down, after static objects have gone.
Host &host() {
    static Host *const instance = new Host;
    return *instance;
}

} // namespace oska::host

namespace {

using oska::host::Level;
namespace serve = oska::host::serve;

oska::host::Host::Impl &core() { return oska::host::impl_of(oska::host::host()); }

void send_message(Level level, const char *format, va_list args) {
    serve::deliver(core(), level, serve::format_text(format, args));
}

} // namespace

extern "C" {

oska_boolean OSKA_CALL mi_query(int request, oska_state *state, oska_tag tag, void *result, ...) {
    // No request the core answers reads the fifth word of requests 15 and 127.
    return serve::query(core(), request, state, tag, result);
}

void *OSKA_CALL mi_phen_eval(oska_state *state, void *param) {
    return serve::phen_eval(core(), state, param);
}

void *OSKA_CALL mi_mem_int_allocate(const char *file, int line, int size) {
    return serve::allocate(core(), file, line, size);
}

void OSKA_CALL mi_mem_int_release(const char *file, int line, void *block) {
    serve::release(core(), file, line, block);
}

void OSKA_CALL mi_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    send_message(Level::error, format, args);
    va_end(args);
}

void OSKA_CALL mi_warning(const char *format, ...) {
    va_list args;
    va_start(args, format);
    send_message(Level::warning, format, args);
    va_end(args);
}

void OSKA_CALL mi_info(const char *format, ...) {
    va_list args;
    va_start(args, format);
    send_message(Level::info, format, args);
    va_end(args);
}

oska_boolean OSKA_CALL mi_trace_shadow(oska_color *transmission, oska_state *state) {
    return serve::trace_shadow(core(), transmission, state);
}

oska_boolean OSKA_CALL mi_lookup_color_texture(oska_color *result, oska_state *state,
                                               oska_tag texture, oska_vector *coord) {
    return serve::lookup_texture(core(), result, state, texture, coord);
}

float OSKA_CALL mi_luminance(oska_state *state, oska_color *color) {
    (void)state;
    return serve::luminance(color);
}

int OSKA_CALL mi_db_type(oska_tag tag) { return serve::db_type(core(), tag); }

const char *OSKA_CALL mi_api_tag_lookup(oska_tag tag) { return serve::tag_name(core(), tag); }

// Opens a light or an instance for editing; null for other elements.
void *OSKA_CALL mi_scene_edit(oska_tag tag) { return serve::edit(core(), tag).record; }

// Edits take effect at once: there is nothing to close.
void OSKA_CALL mi_scene_edit_end(oska_tag tag) { (void)tag; }

} // extern "C"
