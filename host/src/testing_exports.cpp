// The testing host's fourteen mi_ functions: a module in front of the core.
// Each observes the call (count, log, the edit protocol), shows the faults
// switched on, and forwards to the core's service (serve.h) for testing().
#include "testing_watch.h"

#include <cstdarg>
#include <cstdint>
#include <string>
#include <type_traits>

namespace {

using oska::host::HostFunction;
using oska::host::Level;
using oska::host::Testing;
namespace host = oska::host;
namespace serve = oska::host::serve;

// The testing host as one call sees it.
struct Served {
    Testing &host;
    host::Host::Impl &core;
    Testing::Watch &watch;
};

Served served() {
    Testing &testing = host::testing();
    return {testing, host::impl_of(testing), host::watch_of(testing)};
}

// The testing host, once the call has been seen; `describe` gives its text.
template <class Describe>
Served enter(HostFunction function, const oska_state *state, Describe describe) {
    const Served at = served();
    at.watch.called(function, state, describe);
    return at;
}

// Request 51: the shader's own slot, unless the slot is not kept.
oska_boolean answer_slot(const Served &at, const oska_state *state, void *result) {
    void **slot = serve::settings_slot(at.core, state);
    if (slot == nullptr) {
        return 0;
    }
    serve::write_result(result, at.watch.settings_slot(*at.core.shader_of(state), slot));
    return 1;
}

// A query that writes too much: the answer 8 bytes wide (a double for a
// scalar).
oska_boolean answer_widened(const Served &at, int request, oska_tag tag, void *result) {
    return serve::element_answer(at.core, request, tag,
                                 [result](const auto &value) {
                                     using T = std::decay_t<decltype(value)>;
                                     if constexpr (std::is_floating_point_v<T>) {
                                         serve::write_result(result, double(value));
                                     } else {
                                         serve::write_result(result, int64_t(value));
                                     }
                                 })
               ? 1
               : 0;
}

void send_message(HostFunction function, Level level, const char *format, va_list args) {
    const std::string text = serve::format_text(format, args);
    const Served at = enter(function, nullptr, [&] {
        return std::string(host::kFunctionNames[function]) + "(" + text + ")";
    });
    at.watch.message(level, text);
    serve::deliver(at.core, level, text);
}

} // namespace

extern "C" {

// ---- Queries -----------------------------------------------------------------

oska_boolean OSKA_CALL mi_query(int request, oska_state *state, oska_tag tag, void *result, ...) {
    const Served at = enter(host::fn_mi_query, state, [&] {
        return "mi_query(" + std::to_string(request) + ", " + std::to_string(tag) + ")";
    });
    if (request == OSKA_QUERY_EXTRA_15 || request == OSKA_QUERY_EXTRA_127) {
        va_list extra;
        va_start(extra, result);
        at.watch.fifth_word(va_arg(extra, void *));
        va_end(extra);
    }
    if (at.watch.silenced_query(request) || result == nullptr) {
        return 0;
    }
    if (request == OSKA_QUERY_SETTINGS_SLOT) {
        return answer_slot(at, state, result);
    }
    if (request == at.watch.faults.overlong_query) {
        return answer_widened(at, request, tag, result);
    }
    return serve::query(at.core, request, state, tag, result);
}

// ---- Attached parameters -----------------------------------------------------

void *OSKA_CALL mi_phen_eval(oska_state *state, void *param) {
    const Served at = served();
    const long offset = serve::param_offset(at.core, state, param);
    at.watch.called(host::fn_mi_phen_eval, state, [&] {
        return offset < 0 ? std::string("mi_phen_eval(?)")
                          : "mi_phen_eval(+" + std::to_string(offset) + ")";
    });
    return serve::phen_eval(at.core, state, param);
}

// ---- Allocator ---------------------------------------------------------------

void *OSKA_CALL mi_mem_int_allocate(const char *file, int line, int size) {
    const Served at = enter(host::fn_mi_mem_int_allocate, nullptr, [&] {
        return "mi_mem_int_allocate(" + serve::label_of(file) + ", " + std::to_string(line) + ", " +
               std::to_string(size) + ")";
    });
    if (at.watch.refuse_allocation()) {
        return nullptr;
    }
    return serve::allocate(at.core, file, line, size);
}

void OSKA_CALL mi_mem_int_release(const char *file, int line, void *block) {
    const Served at = enter(host::fn_mi_mem_int_release, nullptr, [&] {
        return "mi_mem_int_release(" + serve::label_of(file) + ", " + std::to_string(line) + ")";
    });
    serve::release(at.core, file, line, block);
}

// ---- Messages ----------------------------------------------------------------

void OSKA_CALL mi_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    send_message(host::fn_mi_error, Level::error, format, args);
    va_end(args);
}

void OSKA_CALL mi_warning(const char *format, ...) {
    va_list args;
    va_start(args, format);
    send_message(host::fn_mi_warning, Level::warning, format, args);
    va_end(args);
}

void OSKA_CALL mi_info(const char *format, ...) {
    va_list args;
    va_start(args, format);
    send_message(host::fn_mi_info, Level::info, format, args);
    va_end(args);
}

// ---- Shading services --------------------------------------------------------

oska_boolean OSKA_CALL mi_trace_shadow(oska_color *transmission, oska_state *state) {
    const Served at =
        enter(host::fn_mi_trace_shadow, state, [] { return std::string("mi_trace_shadow()"); });
    return serve::trace_shadow(at.core, transmission, state);
}

// Failing lookups fail the host's own images; a lookup hook answers for
// itself.
oska_boolean OSKA_CALL mi_lookup_color_texture(oska_color *result, oska_state *state,
                                               oska_tag texture, oska_vector *coord) {
    const Served at = enter(host::fn_mi_lookup_color_texture, state, [&] {
        return "mi_lookup_color_texture(" + std::to_string(texture) + ")";
    });
    if (at.watch.fail_texture_lookups && !at.core.texture_lookup) {
        return 0;
    }
    return serve::lookup_texture(at.core, result, state, texture, coord);
}

float OSKA_CALL mi_luminance(oska_state *state, oska_color *color) {
    enter(host::fn_mi_luminance, state, [] { return std::string("mi_luminance()"); });
    return serve::luminance(color);
}

// ---- Scene database ----------------------------------------------------------

int OSKA_CALL mi_db_type(oska_tag tag) {
    const Served at = enter(host::fn_mi_db_type, nullptr,
                            [&] { return "mi_db_type(" + std::to_string(tag) + ")"; });
    return serve::db_type(at.core, tag);
}

const char *OSKA_CALL mi_api_tag_lookup(oska_tag tag) {
    const Served at = enter(host::fn_mi_api_tag_lookup, nullptr,
                            [&] { return "mi_api_tag_lookup(" + std::to_string(tag) + ")"; });
    return at.watch.name(tag, serve::tag_name(at.core, tag));
}

void *OSKA_CALL mi_scene_edit(oska_tag tag) {
    const Served at = enter(host::fn_mi_scene_edit, nullptr,
                            [&] { return "mi_scene_edit(" + std::to_string(tag) + ")"; });
    return at.watch.edit(tag, serve::edit(at.core, tag));
}

void OSKA_CALL mi_scene_edit_end(oska_tag tag) {
    const Served at = enter(host::fn_mi_scene_edit_end, nullptr,
                            [&] { return "mi_scene_edit_end(" + std::to_string(tag) + ")"; });
    at.watch.edit_end(tag);
}

} // extern "C"
