// First half of an oskacolor evaluation: the colour that leaves the emitting
// surface before any distance or shadow acts on it.
//
// The base colour's alpha is the intensity. Rays that are not light rays get
// an early answer; a light ray's sample may be gated to one side of the
// surface, weighted by its emission cosine, and coloured by a vertex vector
// or a texture texel, each adjusted in HSV, burned and (texel only) scaled by
// its alpha.
#include "binding/binding.h"
#include "color/color.h"
#include "oskacolor/shading.h"

namespace oska {
namespace {

// The vertex vector of a channel, as the x of the intensity: 1 (no change)
// when the sample has no such vector.
void scale_intensity(const oskacolor_data &settings, const oska_state *sample, oska_color &result) {
    if (!settings.vc_intensity) {
        return;
    }
    if (const oska_vector *vertex = sample_vector(sample, settings.vc_intensity_space)) {
        result.a = result.a * vertex->x;
    }
}

// What a ray other than a light ray receives. A physical light is
// divided by the instance's emit divisor, compared at double precision.
void answer_other_ray(const oskacolor_data &settings, oska_color &result) {
    if (settings.physical && static_cast<double>(settings.emit_divisor) > 0.0001) {
        result.r = result.r / settings.emit_divisor;
        result.g = result.g / settings.emit_divisor;
        result.b = result.b / settings.emit_divisor;
    }
}

// Hue, saturation and value scaled, not offset, wrapped or clamped.
void adjust_hsv(oska_state *state, const oskacolor_params *params, oska_color &color) {
    const float hue_factor = 1.0f + read_param(state, params->hue);
    const float saturation_factor = 1.0f + read_param(state, params->saturation);
    const float value_factor = 1.0f + read_param(state, params->value);
    oska_color hsv;
    rgb_to_hsv(&hsv, &color);
    hsv.r = hsv.r * hue_factor;
    hsv.g = hsv.g * saturation_factor;
    hsv.b = hsv.b * value_factor;
    hsv_to_rgb(&color, &hsv);
}

// Highlight burn, its three parameters read in the order burn_color takes
// them.
void burn(oska_state *state, const oskacolor_params *params, oska_color &color) {
    const float multiplier = read_param(state, params->burn_multiplier);
    const float threshold = read_param(state, params->burn_threshold);
    const float power = read_param(state, params->burn_power);
    burn_color(&color, multiplier, threshold, power);
}

// The texel at the sample's texture coordinate (vector-list entry
// 0), looked up only strictly inside the unit square. Written to the colour
// source only when the host found it, so a failed lookup leaves it white.
bool look_up_texel(oska_state *state, const oskacolor_data &settings, LightSample &light) {
    const oska_vector *coordinate = sample_vector(light.sample, 0);
    if (coordinate == nullptr) {
        return false;
    }
    oska_vector uv = *coordinate;
    if (!(uv.x > 0.0f && uv.x < 1.0f && uv.y > 0.0f && uv.y < 1.0f)) {
        return false;
    }
    oska_color texel = light.texture_color;
    if (!mi_lookup_color_texture(&texel, state, settings.texture, &uv)) {
        return false;
    }
    light.texture_color = texel;
    return true;
}

} // namespace

Emission emit(oska_state *state, const oskacolor_params *params, const oskacolor_data &settings,
              LightSample &light) {
    oska_color &result = *light.result;

    // Base colour; its alpha is the intensity.
    result = read_param(state, params->color);

    // Directional: one side of the surface, beyond a cutoff.
    if (settings.directional) {
        // Other rays see the intensity a hundredfold.
        if (state->ray_kind != OSKA_RAY_LIGHT) {
            if (result.a != 0.0f) {
                result.a = result.a * 100.0f;
                scale_rgb(result, result.a);
            }
            answer_other_ray(settings, result);
            return Emission::answered;
        }
        // Intensity, scaled by a vertex vector when asked.
        scale_intensity(settings, light.sample, result);
        // The gate: facing the point, beyond the cutoff.
        const float cutoff = read_param(state, params->cutoff);
        const float emission_cosine = -light.sample->emission_dot;
        // The sample faces away from the illuminated point.
        if (!light.sample->orientation) {
            return Emission::rejected;
        }
        // Written as a rejection test, so a NaN on either side passes.
        if (emission_cosine <= cutoff) {
            return Emission::rejected;
        }
        // The intensity scales the colour.
        scale_rgb(result, result.a);
        // Cosine weighting.
        if (settings.cosine) {
            scale_rgb(result, emission_cosine);
        }
    } else {
        // Other rays are answered here.
        if (state->ray_kind != OSKA_RAY_LIGHT) {
            answer_other_ray(settings, result);
            return Emission::answered;
        }
        // Intensity, scaled by a vertex vector when asked, scales the colour.
        scale_intensity(settings, light.sample, result);
        scale_rgb(result, result.a);
    }

    // Colour source, the first that applies.
    oska_color &source = light.texture_color;
    if (settings.vc_color) {
        // A vertex colour, opaque. A sample without that vector keeps its
        // untextured colour.
        const oska_vector *vertex = sample_vector(light.sample, settings.vc_color_space);
        if (vertex == nullptr) {
            return Emission::attenuate;
        }
        source = oska_color{vertex->x, vertex->y, vertex->z, 1.0f};
        if (settings.hsv_adjust) {
            adjust_hsv(state, params, source);
        }
        if (settings.burn) {
            burn(state, params, source);
        }
    } else if (settings.has_texture) {
        // Outside the texture, or not found: untextured.
        if (!look_up_texel(state, settings, light)) {
            return Emission::attenuate;
        }
        light.has_texel = true;
        if (settings.hsv_adjust) {
            adjust_hsv(state, params, source);
        }
        if (settings.burn) {
            burn(state, params, source);
        }
        // The texel's own alpha, scaled, weights its colour.
        if (settings.use_alpha) {
            const float alpha = source.a * read_param(state, params->alpha_scale);
            source.a = alpha;
            scale_rgb(source, alpha);
        }
    } else {
        // No colour source: the colour stays as it is.
        return Emission::attenuate;
    }

    // The source tints the colour; the result alpha stays.
    result.r = result.r * source.r;
    result.g = result.g * source.g;
    result.b = result.b * source.b;
    return Emission::attenuate;
}

} // namespace oska
