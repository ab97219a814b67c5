// What each of the fourteen mi_ functions does for the host it serves. Two
// modules export the functions: the core's own (mi_exports.cpp, serving
// host()) call these directly; the testing host's (testing_exports.cpp,
// serving testing()) log and check each call and switch its faults on first.
// The functions a renderer calls per sample (query, parameter evaluation,
// shadow, texture, luminance) take no lock.
#ifndef OSKA_HOST_SERVE_H
#define OSKA_HOST_SERVE_H

#include "host_impl.h"

#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <string>

namespace oska::host::serve {

template <class T> void write_result(void *result, const T &value) {
    std::memcpy(result, &value, sizeof value);
}

// Request 51's answer: the slot of the state's shader; nullptr when the
// state is not one of the host's.
inline void **settings_slot(const Host::Impl &host, const oska_state *state) {
    ShaderInstance *shader = host.shader_of(state);
    return shader != nullptr ? &shader->settings : nullptr;
}

// The answer of a query about an element (requests 7, 24, 25 and 125):
// calls `write` with the value, typed as the request answers it, and says
// true; false, without a call, when `tag` is not an element the request is
// about or the request is not one of these.
template <class Write>
bool element_answer(const Host::Impl &host, int request, oska_tag tag, Write &&write) {
    const Host::Impl::Element *element = host.element(tag);
    const bool light = element != nullptr && element->type == OSKA_TYPE_LIGHT;
    const bool instance = element != nullptr && element->type == OSKA_TYPE_INSTANCE;
    if (request == OSKA_QUERY_INSTANCE_LIGHT && instance) {
        // Whatever the instance places: a light, or an element that a type
        // check will refuse.
        write(element->instance.item);
    } else if (request == OSKA_QUERY_LIGHT_AREA && light) {
        write(element->light.area_kind);
    } else if (request == OSKA_QUERY_LIGHT_EXPONENT && light) {
        write(element->exponent);
    } else if (request == OSKA_QUERY_EMIT_DIVISOR && instance) {
        write(element->emit_divisor);
    } else {
        return false;
    }
    return true;
}

// mi_query: each answer written as wide as its type. Request 51, asked per
// sample, is answered first and needs no element.
inline oska_boolean query(const Host::Impl &host, int request, const oska_state *state,
                          oska_tag tag, void *result) {
    if (result == nullptr) {
        return 0;
    }
    if (request == OSKA_QUERY_SETTINGS_SLOT) {
        void **slot = settings_slot(host, state);
        if (slot == nullptr) {
            return 0;
        }
        write_result(result, slot);
        return 1;
    }
    return element_answer(host, request, tag,
                          [result](const auto &value) { write_result(result, value); })
               ? 1
               : 0;
}

// Offset of `param` in the storage of the state's shader; -1 when it lies
// outside (a record the host does not know).
long param_offset(const Host::Impl &host, const oska_state *state, const void *param);
void *phen_eval(const Host::Impl &host, const oska_state *state, void *param);

// "(null)" for a null source label.
std::string label_of(const char *file);
void *allocate(Host::Impl &host, const char *file, int line, int size);
void release(Host::Impl &host, const char *file, int line, void *block);

// The whole text, however long: printf conventions.
std::string format_text(const char *format, va_list args);
// Hands a message's text to the host's sink, if one is set.
void deliver(const Host::Impl &host, Level level, const std::string &text);

oska_boolean trace_shadow(const Host::Impl &host, oska_color *transmission, oska_state *state);
oska_boolean lookup_texture(const Host::Impl &host, oska_color *result, oska_state *state,
                            oska_tag texture, const oska_vector *coord);
float luminance(const oska_color *color);

int db_type(const Host::Impl &host, oska_tag tag);
const char *tag_name(const Host::Impl &host, oska_tag tag);

// The record mi_scene_edit opens: a light's or an instance's; null, size 0,
// for other elements.
struct EditRecord {
    void *record = nullptr;
    std::size_t size = 0;
};
EditRecord edit(Host::Impl &host, oska_tag tag);

} // namespace oska::host::serve

#endif
