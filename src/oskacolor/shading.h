// The two halves of one oskacolor evaluation and what passes between them.
#ifndef OSKA_OSKACOLOR_SHADING_H
#define OSKA_OSKACOLOR_SHADING_H

#include "oskacolor/settings.h"

namespace oska {

// What the emission half leaves for the attenuation half.
struct LightSample {
    oska_color *result;       // the caller's colour, written in place
    const oska_state *sample; // the sampled point on the emitting object
    // The colour source after its adjustments. Neutral white until a vertex
    // colour or a texel fills it, so tinting by it changes nothing.
    oska_color texture_color;
    // texture_color holds a texel that the host looked up: only then does it
    // scale the decay range.
    bool has_texel;
};

// How the emission half ends.
enum class Emission {
    rejected,  // the directional gate refused the sample: the call returns 0
    answered,  // not a light ray: the call returns 1 with the colour as it is
    attenuate, // a light ray: the attenuation half decides
};

// A colour's red, green and blue times `factor`, its alpha as it is.
inline void scale_rgb(oska_color &color, float factor) {
    color.r = color.r * factor;
    color.g = color.g * factor;
    color.b = color.b * factor;
}

// The same at double precision, narrowed to a 32-bit float only when stored.
inline void scale_rgb(oska_color &color, double factor) {
    color.r = static_cast<float>(color.r * factor);
    color.g = static_cast<float>(color.g * factor);
    color.b = static_cast<float>(color.b * factor);
}

// Base colour, intensity, directional gate and colour source of a sample.
Emission emit(oska_state *state, const oskacolor_params *params, const oskacolor_data &settings,
              LightSample &light);

// Distance decay, brightness threshold and shadow of a light ray's sample;
// the call's return value.
oska_boolean attenuate(oska_state *state, const oskacolor_params *params,
                       const oskacolor_data &settings, LightSample &light);

} // namespace oska

#endif
