// Second half of an oskacolor evaluation, for light rays: distance decay,
// brightness threshold and shadow. It decides the call's return value.
//
// The distance is the host's double and is never narrowed before it is
// compared or used: the range tests and the linear and inverse-power factors
// are formed at double precision. The result alpha is final here.
#include "binding/binding.h"
#include "color/color.h"
#include "oskacolor/shading.h"

#include <cmath>

namespace oska {
namespace {

// The 32-bit float nearest 4 pi: a physical light spreads over the sphere.
constexpr float kFourPi = 12.566371f;

// Ranges narrower than this have no room for a fall-off.
constexpr double kMinRangeWidth = 0.0001;

// The largest of red, green and blue, scanning in that order; a NaN red is
// kept, a NaN green or blue is passed over.
float largest_channel(const oska_color &color) {
    float largest = color.r;
    if (color.g > largest) {
        largest = color.g;
    }
    if (color.b > largest) {
        largest = color.b;
    }
    return largest;
}

enum class Decay { rejected, applied };

// Modes 1 and 2: no fall-off up to the range start, nothing from the range
// end on; in between a linear ramp (1) or the inverse power of the distance
// (2), which the range only gates.
Decay decay_in_range(oska_state *state, const oskacolor_params *params,
                     const oskacolor_data &settings, LightSample &light) {
    // The range as set.
    float range_start = read_param(state, params->decay_start);
    float range_end = read_param(state, params->decay_end);

    // The texel, or a vertex vector, sizes the range.
    if (settings.texture_range) {
        if (light.has_texel) {
            const float coverage = settings.use_alpha ? light.texture_color.a
                                                      : mi_luminance(state, &light.texture_color);
            const float gamma = read_param(state, params->range_gamma) + 1.0f;
            const float range_factor = gamma_pow(coverage, gamma);
            range_start = range_start * range_factor;
            range_end = range_end * range_factor;
        }
    } else if (settings.vc_range) {
        if (const oska_vector *vertex = sample_vector(light.sample, settings.vc_range_space)) {
            range_end = range_end * vertex->x;
        }
    }

    // At or beyond the end nothing arrives.
    const double distance = state->distance;
    if (!(range_end > distance)) {
        return Decay::rejected;
    }
    // Up to the start, full strength.
    if (!(range_start < distance)) {
        return Decay::applied;
    }
    // A range too narrow to ramp over gives full strength.
    const float range_width = range_end - range_start;
    if (static_cast<double>(std::fabs(range_width)) <= kMinRangeWidth) {
        return Decay::applied;
    }
    // In between: the linear ramp or the inverse power of the distance.
    const double factor = settings.decay == OSKA_DECAY_LINEAR
                              ? 1.0 - (distance - range_start) / range_width
                              : 1.0 / std::pow(distance, static_cast<double>(settings.exponent));
    scale_rgb(*light.result, factor);
    return Decay::applied;
}

// Mode 3: the light spreads with the distance raised to the light's exponent
// over the sphere, and leaves the surface weighted by its emission cosine
// raised to decay_start.
Decay decay_physical(oska_state *state, const oskacolor_params *params,
                     const oskacolor_data &settings, LightSample &light) {
    // decay_start is the exponent of the emission cosine here.
    const float cosine_exponent = read_param(state, params->decay_start);

    // A squared distance by multiplication, the common case.
    const double distance = state->distance;
    const float spread =
        settings.exponent == 0.0f || settings.exponent == 2.0f
            ? static_cast<float>(distance * distance)
            : static_cast<float>(std::pow(distance, static_cast<double>(settings.exponent)));

    // Nothing leaves the surface edge-on or from behind.
    float emission_cosine = -light.sample->emission_dot;
    if (!(emission_cosine > 0.0f)) {
        return Decay::rejected;
    }
    // Exponents 0 and 1 both leave the cosine as it is.
    if (cosine_exponent != 0.0f && cosine_exponent != 1.0f) {
        emission_cosine = static_cast<float>(
            std::pow(static_cast<double>(emission_cosine), static_cast<double>(cosine_exponent)));
    }
    // The cosine spread over the sphere.
    const float factor = emission_cosine / (spread * kFourPi);
    scale_rgb(*light.result, factor);
    return Decay::applied;
}

// The colour of the fully shadowed light.
oska_color shadow_color(oska_state *state, const oskacolor_params *params,
                        const oskacolor_data &settings, const LightSample &light) {
    oska_color shadow = read_param(state, params->shadow_color);
    if (settings.vc_shadow) {
        if (const oska_vector *vertex = sample_vector(light.sample, settings.vc_shadow_space)) {
            shadow.r = vertex->x;
            shadow.g = vertex->y;
            shadow.b = vertex->z;
        }
    } else if (settings.tint_shadow) {
        shadow.r = shadow.r * light.texture_color.r;
        shadow.g = shadow.g * light.texture_color.g;
        shadow.b = shadow.b * light.texture_color.b;
    }
    return shadow;
}

} // namespace

oska_boolean attenuate(oska_state *state, const oskacolor_params *params,
                       const oskacolor_data &settings, LightSample &light) {
    oska_color &result = *light.result;

    // Decay. The physical law acts only on a light that init found physical.
    Decay decay = Decay::applied;
    switch (settings.decay) {
    case OSKA_DECAY_LINEAR:
    case OSKA_DECAY_INVERSE_POWER:
        decay = decay_in_range(state, params, settings, light);
        break;
    case OSKA_DECAY_PHYSICAL:
        if (settings.physical) {
            decay = decay_physical(state, params, settings, light);
        }
        break;
    default:
        break;
    }
    if (decay == Decay::rejected) {
        return 0;
    }

    // Threshold, before any shadow ray is spent. Equal passes.
    if (settings.threshold != 0.0f && largest_channel(result) < settings.threshold) {
        return 0;
    }

    // Shadow, when asked for.
    if (!settings.shadows) {
        return 1;
    }
    // Deep in the ray tree the light goes unshadowed.
    const oska_state *parent = parent_record(state);
    if (parent->reflection_level >= settings.max_level ||
        parent->refraction_level >= settings.max_level) {
        return 1;
    }
    // Full light unless the trace says otherwise.
    oska_color transmission = {1.0f, 1.0f, 1.0f, 1.0f};
    const oska_color shadow = shadow_color(state, params, settings, light);
    const oska_boolean traced = mi_trace_shadow(&transmission, state);
    // Partial shadow: from the shadow colour towards full light, by the
    // transmission. A NaN transmission counts as light getting through.
    if (traced && (transmission.r != 0.0f || transmission.g != 0.0f || transmission.b != 0.0f)) {
        result.r = result.r * (shadow.r + (1.0f - shadow.r) * transmission.r);
        result.g = result.g * (shadow.g + (1.0f - shadow.g) * transmission.g);
        result.b = result.b * (shadow.b + (1.0f - shadow.b) * transmission.b);
        return 1;
    }
    // Complete shadow.
    result.r = result.r * shadow.r;
    result.g = result.g * shadow.g;
    result.b = result.b * shadow.b;
    return 1;
}

} // namespace oska
