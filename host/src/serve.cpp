// What the mi_ functions do for the host they serve (serve.h).
#include "serve.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace oska::host::serve {

namespace {

// Nearest texel of `image` at (x, y) in [0,1]^2, clamped at the edges;
// false for an empty image or a coordinate that is not a number.
bool nearest_texel(const Image &image, const oska_vector &coord, oska_color *texel) {
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

// ---- Attached parameters -----------------------------------------------------

long param_offset(const Host::Impl &host, const oska_state *state, const void *param) {
    const ShaderInstance *shader = host.shader_of(state);
    if (shader == nullptr || param == nullptr) {
        return -1;
    }
    const auto base = reinterpret_cast<std::uintptr_t>(shader->storage.data());
    const auto at = reinterpret_cast<std::uintptr_t>(param);
    if (at < base || at >= base + shader->storage.size()) {
        return -1;
    }
    return long(at - base);
}

void *phen_eval(const Host::Impl &host, const oska_state *state, void *param) {
    const long offset = param_offset(host, state, param);
    if (offset < 0) {
        return nullptr;
    }
    ShaderInstance *shader = host.shader_of(state);
    auto found = shader->attached.find(std::size_t(offset));
    if (found == shader->attached.end()) {
        return nullptr;
    }
    ShaderInstance::Attached &attached = *found->second;
    attached.evaluations.fetch_add(1, std::memory_order_relaxed);
    return attached.answer_null ? nullptr : attached.value.data();
}

// ---- Allocator ---------------------------------------------------------------

std::string label_of(const char *file) { return file != nullptr ? file : "(null)"; }

void *allocate(Host::Impl &host, const char *file, int line, int size) {
    std::lock_guard<std::mutex> lock(host.mutex);
    if (size < 0) {
        host.allocator_errors.push_back("mi_mem_int_allocate(" + label_of(file) + ", " +
                                        std::to_string(line) + "): negative size " +
                                        std::to_string(size));
        return nullptr;
    }
    void *block = std::malloc(size > 0 ? std::size_t(size) : 1);
    if (block == nullptr) {
        return nullptr;
    }
    std::memset(block, kFreshBlockByte, std::size_t(size));
    host.blocks[block] = Block{block, label_of(file), line, size};
    ++host.allocations;
    return block;
}

// A null block is accepted and ignored, as free() does; an unknown block or
// one released before is recorded and left alone. A released block is kept
// (filled with kReleasedBlockByte, and poisoned under AddressSanitizer) until
// reset(), so that its address cannot come back and hide a second release.
void release(Host::Impl &host, const char *file, int line, void *block) {
    std::lock_guard<std::mutex> lock(host.mutex);
    if (block == nullptr) {
        return;
    }
    auto found = host.blocks.find(block);
    if (found == host.blocks.end()) {
        host.allocator_errors.push_back(
            "mi_mem_int_release(" + label_of(file) + ", " + std::to_string(line) + ")" +
            (host.released.count(block) != 0 ? ": block released twice" : ": unknown block"));
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

void deliver(const Host::Impl &host, Level level, const std::string &text) {
    if (host.message_sink) {
        host.message_sink(level, text);
    }
}

// ---- Shading services --------------------------------------------------------

oska_boolean trace_shadow(const Host::Impl &host, oska_color *transmission, oska_state *state) {
    if (host.tracer) {
        return host.tracer(transmission, state);
    }
    if (transmission != nullptr) {
        *transmission = host.shadow_transmission;
    }
    return host.shadow_result;
}

oska_boolean lookup_texture(const Host::Impl &host, oska_color *result, oska_state *state,
                            oska_tag texture, const oska_vector *coord) {
    if (host.texture_lookup) {
        return host.texture_lookup(result, state, texture, coord);
    }
    const Host::Impl::Element *element = host.element(texture);
    if (element == nullptr || !element->is_texture || result == nullptr || coord == nullptr) {
        return 0;
    }
    return nearest_texel(element->image, *coord, result) ? 1 : 0;
}

// The host's own weights, summed red, green, then blue in single precision.
float luminance(const oska_color *color) {
    if (color == nullptr) {
        return 0.0f;
    }
    return color->r * kLuminanceRed + color->g * kLuminanceGreen + color->b * kLuminanceBlue;
}

// ---- Scene database ----------------------------------------------------------

int db_type(const Host::Impl &host, oska_tag tag) {
    const Host::Impl::Element *element = host.element(tag);
    return element != nullptr ? element->type : 0;
}

const char *tag_name(const Host::Impl &host, oska_tag tag) {
    const Host::Impl::Element *element = host.element(tag);
    return element != nullptr && element->has_name ? element->name.c_str() : nullptr;
}

EditRecord edit(Host::Impl &host, oska_tag tag) {
    Host::Impl::Element *element = host.element(tag);
    if (element != nullptr && element->type == OSKA_TYPE_LIGHT) {
        return {&element->light, sizeof element->light};
    }
    if (element != nullptr && element->type == OSKA_TYPE_INSTANCE) {
        return {&element->instance, sizeof element->instance};
    }
    return {};
}

} // namespace oska::host::serve
