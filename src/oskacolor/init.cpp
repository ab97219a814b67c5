// oskacolor_init and oskacolor_exit: the life of an instance's settings block.
//
// Init fixes every switch, mode, vertex channel, the texture, the threshold
// and the trace limit of the instance, asks the host once for the light's
// exponent, area kind and emit divisor, and registers the block in the
// instance's settings slot. Exit gives the block back.
#include "binding/binding.h"
#include "oskacolor/settings.h"

#include <cstdint>
#include <cstring>

namespace oska {

oskacolor_data **settings_slot(oska_state *state) {
    oskacolor_data **slot = nullptr;
    mi_query(OSKA_QUERY_SETTINGS_SLOT, state, 0, &slot);
    return slot;
}

namespace {

// Vertex channels count in pairs of vector-list entries. Doubled as an
// unsigned word, so a huge channel wraps instead of overflowing; evaluation
// bounds-checks the index anyway.
std::int32_t vector_index(oska_integer channel) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(channel) << 1);
}

// A negative channel names no vertex vector: the feature stays off for every
// sample, which the scene's author should hear about once.
void check_channel(oska_boolean enabled, oska_integer channel, const char *feature) {
    if (enabled && channel < 0) {
        mi_warning("oskacolor-> vertex channel %d of %s is negative: the feature is off",
                   static_cast<int>(channel), feature);
    }
}

// The colour, intensity, range and shadow come from vertex vectors.
void read_vertex_branch(oska_state *state, const oskacolor_params *params, oskacolor_data *data) {
    // Colour source, and what adjusts it.
    data->vc_color = read_param(state, params->vc_color);
    if (data->vc_color) {
        const oska_integer channel = read_param(state, params->vc_color_channel);
        check_channel(data->vc_color, channel, "vc_color");
        data->vc_color_space = vector_index(channel);
        data->hsv_adjust = read_param(state, params->hsv_adjust);
        data->tint_shadow = read_param(state, params->tint_shadow);
        data->burn = read_param(state, params->burn);
    }

    // Intensity, range and shadow, each with its channel whatever its flag.
    data->vc_intensity = read_param(state, params->vc_intensity);
    const oska_integer intensity_channel = read_param(state, params->vc_intensity_channel);
    check_channel(data->vc_intensity, intensity_channel, "vc_intensity");
    data->vc_intensity_space = vector_index(intensity_channel);

    data->vc_range = read_param(state, params->vc_range);
    const oska_integer range_channel = read_param(state, params->vc_range_channel);
    check_channel(data->vc_range, range_channel, "vc_range");
    data->vc_range_space = vector_index(range_channel);

    data->vc_shadow = read_param(state, params->vc_shadow);
    const oska_integer shadow_channel = read_param(state, params->vc_shadow_channel);
    check_channel(data->vc_shadow, shadow_channel, "vc_shadow");
    data->vc_shadow_space = vector_index(shadow_channel);
}

// The colour source is a texture; without a tag nothing is set.
void read_texture_branch(oska_state *state, const oskacolor_params *params, oskacolor_data *data) {
    data->texture = read_param(state, params->texture);
    if (data->texture == 0) {
        return;
    }
    data->has_texture = 1;
    data->use_alpha = read_param(state, params->use_alpha);
    data->tint_shadow = read_param(state, params->tint_shadow);
    data->burn = read_param(state, params->burn);
    data->hsv_adjust = read_param(state, params->hsv_adjust);
    data->texture_range = read_param(state, params->texture_range);
}

} // namespace
} // namespace oska

using oska::oskacolor_data;
using oska::read_param;

extern "C" {

OSKA_LIBRARY_API void OSKA_CALL oskacolor_init(oska_state *state, oskacolor_params *params,
                                               oska_boolean *init_req) {
    // The shader-wide call asks for a call per instance.
    if (params == nullptr) {
        if (init_req != nullptr) {
            *init_req = 1;
        }
        return;
    }
    const oska_tag light_instance = state != nullptr ? state->light_instance : 0;

    // The block, cleared: the host's allocator hands out whatever its
    // memory held, and an init that stops early must leave defined fields.
    auto *data = static_cast<oskacolor_data *>(mi_mem_int_allocate(
        oska::kAllocatorLabel, oska::kAllocateLine, static_cast<int>(sizeof(oskacolor_data))));
    if (data != nullptr) {
        std::memset(data, 0, sizeof *data);
    }

    // Register it. From here on the block belongs to the instance. A
    // failed allocation leaves the slot empty, so evaluations skip the
    // instance instead of reading through null.
    oskacolor_data **slot = oska::settings_slot(state);
    if (slot != nullptr) {
        *slot = data;
    }
    if (data == nullptr) {
        mi_error("oskacolor-> cannot allocate the instance settings");
        return;
    }
    if (slot == nullptr) {
        // Nobody could find the block again to release it: give it back now.
        mi_mem_int_release(oska::kAllocatorLabel, oska::kReleaseLine, data);
        mi_error("oskacolor-> the host keeps no settings for this instance");
        return;
    }

    // The light the instance holds; 0 if the host does not say.
    oska_tag light = 0;
    mi_query(OSKA_QUERY_INSTANCE_LIGHT, state, light_instance, &light);

    // The decay mode.
    data->decay = read_param(state, params->decay);

    // The light's distance exponent.
    oska_scalar exponent = 0.0f;
    mi_query(OSKA_QUERY_LIGHT_EXPONENT, state, light, &exponent);
    data->exponent = exponent;

    // texture, has_texture, use_alpha, tint_shadow, burn, hsv_adjust,
    // texture_range, physical, use_vertex_color, directional, cosine and the
    // four vc_ flags start at 0: the block was cleared when allocated.

    // Only object lights emit from a surface with samples to colour. An
    // area kind the host never wrote stays 0 and fails.
    oska_integer area_kind = 0;
    mi_query(OSKA_QUERY_LIGHT_AREA, state, light, &area_kind);
    if (area_kind != OSKA_AREA_OBJECT) {
        mi_error("oskacolor-> this shader works only with object lights");
        return;
    }

    // The host writes the divisor into the block itself.
    mi_query(OSKA_QUERY_EMIT_DIVISOR, state, light_instance, &data->emit_divisor);

    if (data->decay == OSKA_DECAY_PHYSICAL) {
        data->physical = 1;
    }

    // Switches and limits read for every branch.
    data->use_vertex_color = read_param(state, params->use_vertex_color);
    data->directional = read_param(state, params->directional);
    data->cosine = read_param(state, params->cosine);
    data->threshold = read_param(state, params->threshold);
    data->max_level = read_param(state, params->max_level);

    // Only chooses the branch; not kept.
    const oska_boolean use_texture = read_param(state, params->use_texture);

    // Vertex data wins over the texture.
    if (data->use_vertex_color) {
        oska::read_vertex_branch(state, params, data);
    } else if (use_texture) {
        oska::read_texture_branch(state, params, data);
    }

    // Shadows last.
    data->shadows = read_param(state, params->shadows);
}

OSKA_LIBRARY_API void OSKA_CALL oskacolor_exit(oska_state *state, oskacolor_params *params) {
    // The shader-wide call holds nothing.
    if (params == nullptr) {
        return;
    }
    // An instance whose init never registered a block, or that was already
    // ended, has nothing to give back.
    oskacolor_data **slot = oska::settings_slot(state);
    if (slot == nullptr || *slot == nullptr) {
        return;
    }
    // Emptied after the release, so a second exit cannot release twice.
    mi_mem_int_release(oska::kAllocatorLabel, oska::kReleaseLine, *slot);
    *slot = nullptr;
}

} // extern "C"
