// Settings block of one oskacolor instance, and the pieces that its init,
// emission and attenuation share: the allocator labels, finding the block
// again through the host, and reading the sampled point's vectors.
#ifndef OSKA_OSKACOLOR_SETTINGS_H
#define OSKA_OSKACOLOR_SETTINGS_H

#include <oska/host_api.h>

#include <cstdint>

namespace oska {

// Built by oskacolor_init from the parameter record and the host's answers
// about the light; evaluations only read it. The block comes from the host's
// allocator and is cleared before it is filled, so a zeroed field means:
// switch off, no texture, no decay, no threshold, vertex index 0 (unused
// while its flag is 0). An init that stops at the object-light check leaves
// everything after `exponent` and `decay` zeroed.
struct oskacolor_data {
    oska_scalar exponent;          // the light's distance exponent (request 25)
    oska_integer decay;            // 1 linear, 2 inverse power, 3 physical, else none
    oska_tag texture;              // colour texture; 0 outside the texture branch
    oska_boolean has_texture;      // the colour source is `texture`
    oska_boolean use_alpha;        // texture alpha scales the colour and the range
    oska_boolean shadows;          // trace shadows
    oska_boolean burn;             // highlight burn of the colour source
    oska_boolean hsv_adjust;       // scale hue, saturation, value of the colour source
    oska_boolean texture_range;    // decay range scaled by the texture
    oska_boolean tint_shadow;      // shadow colour tinted by the colour source
    oska_scalar emit_divisor;      // written by the host (request 125)
    oska_boolean physical;         // decay 3
    oska_boolean use_vertex_color; // which branch init took; not read afterwards
    oska_boolean directional;      // one-sided emission with cutoff
    oska_boolean cosine;           // weight by the emission cosine
    oska_scalar threshold;         // brightness threshold; 0 off
    oska_integer max_level;        // shadow trace depth limit
    oska_boolean vc_color;         // colour source: vertex vector
    oska_integer vc_color_space;   // its vector-list index (twice the channel)
    oska_boolean vc_intensity;     // alpha scaled by a vertex vector's x
    oska_integer vc_intensity_space;
    oska_boolean vc_range; // range end scaled by a vertex vector's x
    oska_integer vc_range_space;
    oska_boolean vc_shadow; // shadow colour from a vertex vector
    oska_integer vc_shadow_space;
};
static_assert(sizeof(oskacolor_data) == 100, "oskacolor_data is 25 words of 32 bits");

// Allocator labels: the host's leak reports name this source and these lines.
constexpr const char *kAllocatorLabel = "oskacolor";
constexpr int kAllocateLine = 70;
constexpr int kReleaseLine = 190;

// The instance's settings slot (request 51), or null when the host gives
// none. The slot holds the block, or null when there is none.
oskacolor_data **settings_slot(oska_state *state);

// The record of the sampled point on the emitting object. A host may let a
// state be its own sample record, and says so with a null pointer too.
inline const oska_state *sample_record(const oska_state *state) {
    return state->sample != nullptr ? state->sample : state;
}

// The record that carries the trace depth, likewise.
inline const oska_state *parent_record(const oska_state *state) {
    return state->parent != nullptr ? state->parent : state;
}

// Entry `index` of the sample's vector list, or null when the list holds no
// such entry: a channel the host does not provide turns its feature off for
// the sample instead of reading past the list.
inline const oska_vector *sample_vector(const oska_state *sample, std::int32_t index) {
    if (sample->vectors == nullptr || index < 0 || index >= sample->vector_count) {
        return nullptr;
    }
    return &sample->vectors[index];
}

} // namespace oska

#endif
