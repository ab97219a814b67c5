// The fourteen mi_ functions the library looks up by name, all serving the
// process-wide host(). A monitor, when set, sees each call first. The
// functions a renderer calls per sample (query, parameter evaluation,
// shadow, texture, luminance) take no lock.
#include "host_impl.h"
#include "module.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>

using oska::host::Host;
using oska::host::HostFunction;

namespace {

// Every byte of a released block holds this value until reset() frees it.
constexpr unsigned char kReleasedBlockByte = 0xDD;

Host::Impl &impl() { return oska::host::host().impl(); }

// Shows the call to the monitor, if there is one; `describe` gives its text.
template <class Describe>
void note(Host::Impl &host, HostFunction function, const oska_state *state, Describe describe) {
    if (host.monitor != nullptr) {
        host.monitor->called(function, state, describe);
    }
}

std::string label_of(const char *file) { return file != nullptr ? file : "(null)"; }

// The whole text, however long: printf conventions.
std::string format_text(const char *format, va_list args) {
    if (format == nullptr) {
        return {};
    }
    char small[256];
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(small, sizeof small, format, measure);
    va_end(measure);
    if (length < 0) {
        return {};
    }
    if (std::size_t(length) < sizeof small) {
        return std::string(small, std::size_t(length));
    }
    std::string text(std::size_t(length), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

void send_message(HostFunction function, oska::host::Level level, const char *format,
                  va_list args) {
    Host::Impl &host = impl();
    std::string text = format_text(format, args);
    note(host, function, nullptr,
         [&] { return std::string(oska::host::kFunctionNames[function]) + "(" + text + ")"; });
    if (host.monitor != nullptr) {
        host.monitor->message(level, text);
    }
    if (host.message_sink) {
        host.message_sink(level, text);
    }
}

template <class T> void write_result(void *result, const T &value) {
    std::memcpy(result, &value, sizeof value);
}

// Request 51's answer for `shader`: its own slot unless the monitor gives
// another.
void **settings_slot(const Host::Impl &host, oska::host::ShaderInstance &shader) {
    if (host.monitor != nullptr) {
        if (void **slot = host.monitor->settings_slot(shader)) {
            return slot;
        }
    }
    return &shader.settings;
}

// Writes the answer of `request`, 8 bytes wide when the monitor says so.
template <class T> void answer(const Host::Impl &host, int request, void *result, const T &value) {
    if (host.monitor == nullptr || host.monitor->widened_request() != request) {
        write_result(result, value);
    } else if constexpr (std::is_floating_point_v<T>) {
        write_result(result, double(value));
    } else {
        write_result(result, int64_t(value));
    }
}

// Nearest texel of `image` at (x, y) in [0,1]^2, clamped at the edges;
// false for an empty image or a coordinate that is not a number.
bool nearest_texel(const oska::host::Image &image, const oska_vector &coord, oska_color *texel) {
    if (image.width <= 0 || image.height <= 0 ||
        image.texels.size() < std::size_t(image.width) * std::size_t(image.height)) {
        return false;
    }
    if (std::isnan(coord.x) || std::isnan(coord.y)) {
        return false;
    }
    auto index = [](float at, int size) {
        const float scaled = at * float(size);
        if (!(scaled > 0.0f)) {
            return 0;
        }
        if (scaled >= float(size)) {
            return size - 1;
        }
        return int(scaled);
    };
    const int column = index(coord.x, image.width);
    const int row = index(coord.y, image.height);
    *texel = image.texels[std::size_t(row) * std::size_t(image.width) + std::size_t(column)];
    return true;
}

} // namespace

extern "C" {

// ---- Queries -----------------------------------------------------------------

oska_boolean OSKA_CALL mi_query(int request, oska_state *state, oska_tag tag, void *result, ...) {
    Host::Impl &host = impl();
    // Unwatched, the one request asked per sample goes straight to its
    // answer: one test of the monitor, then the shader's slot.
    if (host.monitor != nullptr) {
        note(host, oska::host::fn_mi_query, state, [&] {
            return "mi_query(" + std::to_string(request) + ", " + std::to_string(tag) + ")";
        });
        void *fifth = nullptr;
        if (request == OSKA_QUERY_EXTRA_15 || request == OSKA_QUERY_EXTRA_127) {
            va_list extra;
            va_start(extra, result);
            fifth = va_arg(extra, void *);
            va_end(extra);
        }
        if (!host.monitor->answer_query(request, fifth)) {
            return 0;
        }
    }
    if (result == nullptr) {
        return 0;
    }

    // Request 51 needs no element: answered first.
    if (request == OSKA_QUERY_SETTINGS_SLOT) {
        oska::host::ShaderInstance *shader = host.shader_of(state);
        if (shader == nullptr) {
            return 0;
        }
        write_result(result, settings_slot(host, *shader));
        return 1;
    }
    const Host::Impl::Element *element = host.element(tag);
    const bool light = element != nullptr && element->type == OSKA_TYPE_LIGHT;
    const bool instance = element != nullptr && element->type == OSKA_TYPE_INSTANCE;
    switch (request) {
    case OSKA_QUERY_INSTANCE_LIGHT:
        // Whatever the instance places: a light, or an element that a
        // type check will refuse.
        if (instance) {
            answer(host, request, result, element->instance.item);
            return 1;
        }
        return 0;
    case OSKA_QUERY_LIGHT_AREA:
        if (light) {
            answer(host, request, result, element->light.area_kind);
            return 1;
        }
        return 0;
    case OSKA_QUERY_LIGHT_EXPONENT:
        if (light) {
            answer(host, request, result, element->exponent);
            return 1;
        }
        return 0;
    case OSKA_QUERY_EMIT_DIVISOR:
        if (instance) {
            answer(host, request, result, element->emit_divisor);
            return 1;
        }
        return 0;
    default:
        return 0;
    }
}

// ---- Attached parameters -----------------------------------------------------

void *OSKA_CALL mi_phen_eval(oska_state *state, void *param) {
    Host::Impl &host = impl();
    oska::host::ShaderInstance *shader = host.shader_of(state);
    // Offset of the parameter in its shader's storage; -1 when it lies
    // outside (a record the host does not know).
    long offset = -1;
    if (shader != nullptr && param != nullptr) {
        const auto base = reinterpret_cast<std::uintptr_t>(shader->storage.data());
        const auto at = reinterpret_cast<std::uintptr_t>(param);
        if (at >= base && at < base + shader->storage.size()) {
            offset = long(at - base);
        }
    }
    note(host, oska::host::fn_mi_phen_eval, state, [&] {
        return offset < 0 ? std::string("mi_phen_eval(?)")
                          : "mi_phen_eval(+" + std::to_string(offset) + ")";
    });
    if (offset < 0) {
        return nullptr;
    }
    auto found = shader->attached.find(std::size_t(offset));
    if (found == shader->attached.end()) {
        return nullptr;
    }
    oska::host::ShaderInstance::Attached &attached = *found->second;
    attached.evaluations.fetch_add(1, std::memory_order_relaxed);
    return attached.answer_null ? nullptr : attached.value.data();
}

// ---- Allocator ---------------------------------------------------------------

void *OSKA_CALL mi_mem_int_allocate(const char *file, int line, int size) {
    Host::Impl &host = impl();
    const std::string label = label_of(file);
    note(host, oska::host::fn_mi_mem_int_allocate, nullptr, [&] {
        return "mi_mem_int_allocate(" + label + ", " + std::to_string(line) + ", " +
               std::to_string(size) + ")";
    });
    if (host.monitor != nullptr && host.monitor->refuse_allocation()) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(host.mutex);
    if (size < 0) {
        host.allocator_errors.push_back("mi_mem_int_allocate(" + label + ", " +
                                        std::to_string(line) + "): negative size " +
                                        std::to_string(size));
        return nullptr;
    }
    void *block = std::malloc(size > 0 ? std::size_t(size) : 1);
    if (block == nullptr) {
        return nullptr;
    }
    std::memset(block, oska::host::kFreshBlockByte, std::size_t(size));
    host.blocks[block] = oska::host::Block{block, label, line, size};
    ++host.allocations;
    return block;
}

// A null block is accepted and ignored, as free() does; an unknown block or
// one released before is recorded and left alone. A released block is kept
// (filled with kReleasedBlockByte, and poisoned under AddressSanitizer) until
// reset(), so that its address cannot come back and hide a second release.
void OSKA_CALL mi_mem_int_release(const char *file, int line, void *block) {
    Host::Impl &host = impl();
    const std::string label = label_of(file);
    const std::string call = "mi_mem_int_release(" + label + ", " + std::to_string(line) + ")";
    note(host, oska::host::fn_mi_mem_int_release, nullptr, [&] { return std::string(call); });
    std::lock_guard<std::mutex> lock(host.mutex);
    if (block == nullptr) {
        return;
    }
    auto found = host.blocks.find(block);
    if (found == host.blocks.end()) {
        host.allocator_errors.push_back(call + (host.released.count(block) != 0
                                                    ? ": block released twice"
                                                    : ": unknown block"));
        return;
    }
    const std::size_t size = std::size_t(found->second.size);
    std::memset(block, kReleasedBlockByte, size);
    OSKA_HOST_POISON(block, size);
    host.blocks.erase(found);
    host.released[block] = size;
    ++host.releases;
}

// ---- Messages ----------------------------------------------------------------

void OSKA_CALL mi_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    send_message(oska::host::fn_mi_error, oska::host::Level::error, format, args);
    va_end(args);
}

void OSKA_CALL mi_warning(const char *format, ...) {
    va_list args;
    va_start(args, format);
    send_message(oska::host::fn_mi_warning, oska::host::Level::warning, format, args);
    va_end(args);
}

void OSKA_CALL mi_info(const char *format, ...) {
    va_list args;
    va_start(args, format);
    send_message(oska::host::fn_mi_info, oska::host::Level::info, format, args);
    va_end(args);
}

// ---- Shading services --------------------------------------------------------

oska_boolean OSKA_CALL mi_trace_shadow(oska_color *transmission, oska_state *state) {
    Host::Impl &host = impl();
    note(host, oska::host::fn_mi_trace_shadow, state,
         [] { return std::string("mi_trace_shadow()"); });
    if (host.tracer) {
        return host.tracer(transmission, state);
    }
    if (transmission != nullptr) {
        *transmission = host.shadow_transmission;
    }
    return host.shadow_result;
}

oska_boolean OSKA_CALL mi_lookup_color_texture(oska_color *result, oska_state *state,
                                               oska_tag texture, oska_vector *coord) {
    Host::Impl &host = impl();
    note(host, oska::host::fn_mi_lookup_color_texture, state,
         [&] { return "mi_lookup_color_texture(" + std::to_string(texture) + ")"; });
    if (host.texture_lookup) {
        return host.texture_lookup(result, state, texture, coord);
    }
    const Host::Impl::Element *element = host.element(texture);
    if ((host.monitor != nullptr && host.monitor->refuse_texture_lookup()) || element == nullptr ||
        !element->is_texture || result == nullptr || coord == nullptr) {
        return 0;
    }
    return nearest_texel(element->image, *coord, result) ? 1 : 0;
}

// The host's own weights, summed red, green, then blue in single precision.
float OSKA_CALL mi_luminance(oska_state *state, oska_color *color) {
    Host::Impl &host = impl();
    note(host, oska::host::fn_mi_luminance, state, [] { return std::string("mi_luminance()"); });
    if (color == nullptr) {
        return 0.0f;
    }
    return color->r * oska::host::kLuminanceRed + color->g * oska::host::kLuminanceGreen +
           color->b * oska::host::kLuminanceBlue;
}

// ---- Scene database ----------------------------------------------------------

int OSKA_CALL mi_db_type(oska_tag tag) {
    Host::Impl &host = impl();
    note(host, oska::host::fn_mi_db_type, nullptr,
         [&] { return "mi_db_type(" + std::to_string(tag) + ")"; });
    const Host::Impl::Element *element = host.element(tag);
    return element != nullptr ? element->type : 0;
}

const char *OSKA_CALL mi_api_tag_lookup(oska_tag tag) {
    Host::Impl &host = impl();
    note(host, oska::host::fn_mi_api_tag_lookup, nullptr,
         [&] { return "mi_api_tag_lookup(" + std::to_string(tag) + ")"; });
    const Host::Impl::Element *element = host.element(tag);
    const char *name = element != nullptr && element->has_name ? element->name.c_str() : nullptr;
    return host.monitor != nullptr ? host.monitor->name(tag, name) : name;
}

// Opens a light or an instance for editing; null for other elements.
void *OSKA_CALL mi_scene_edit(oska_tag tag) {
    Host::Impl &host = impl();
    note(host, oska::host::fn_mi_scene_edit, nullptr,
         [&] { return "mi_scene_edit(" + std::to_string(tag) + ")"; });
    void *record = nullptr;
    std::size_t record_size = 0;
    if (Host::Impl::Element *element = host.element(tag)) {
        if (element->type == OSKA_TYPE_LIGHT) {
            record = &element->light;
            record_size = sizeof element->light;
        } else if (element->type == OSKA_TYPE_INSTANCE) {
            record = &element->instance;
            record_size = sizeof element->instance;
        }
    }
    return host.monitor != nullptr ? host.monitor->edit(tag, record, record_size) : record;
}

void OSKA_CALL mi_scene_edit_end(oska_tag tag) {
    Host::Impl &host = impl();
    note(host, oska::host::fn_mi_scene_edit_end, nullptr,
         [&] { return "mi_scene_edit_end(" + std::to_string(tag) + ")"; });
    if (host.monitor != nullptr) {
        host.monitor->edit_end(tag);
    }
}

} // extern "C"

namespace oska::host {

// The module holding mi_query holds all fourteen.
void *module_handle() {
    return detail::module_handle_of(reinterpret_cast<const void *>(&mi_query));
}

} // namespace oska::host
