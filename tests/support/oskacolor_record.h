// Groups of oskacolor parameters that tests and benchmarks switch on
// together: each helper turns a feature on with its settings, so a case
// names the feature instead of spelling out its fields.
#ifndef OSKA_TESTS_OSKACOLOR_RECORD_H
#define OSKA_TESTS_OSKACOLOR_RECORD_H

#include <oska/host_api.h>

namespace oska::test {

// The decay law (read at init) and the range it acts over (read at every
// evaluation; for the physical law, the start is the exponent of the
// emission cosine).
inline void set_decay(oskacolor_params &p, oska_integer law, float start, float end) {
    p.decay = law;
    p.decay_start = start;
    p.decay_end = end;
}

// The colour source's hue, saturation and value, each scaled by 1 + its
// argument.
inline void set_hsv(oskacolor_params &p, float hue, float saturation, float value) {
    p.hsv_adjust = 1;
    p.hue = hue;
    p.saturation = saturation;
    p.value = value;
}

// The colour source's highlight burn.
inline void set_burn(oskacolor_params &p, float multiplier, float threshold, float power) {
    p.burn = 1;
    p.burn_multiplier = multiplier;
    p.burn_threshold = threshold;
    p.burn_power = power;
}

// Vertex data on, with the colour, intensity, range and shadow each read
// from the given vertex channel.
inline void set_vertex_channels(oskacolor_params &p, oska_integer color, oska_integer intensity,
                                oska_integer range, oska_integer shadow) {
    p.use_vertex_color = p.vc_color = p.vc_intensity = p.vc_range = p.vc_shadow = 1;
    p.vc_color_channel = color;
    p.vc_intensity_channel = intensity;
    p.vc_range_channel = range;
    p.vc_shadow_channel = shadow;
}

} // namespace oska::test

#endif
