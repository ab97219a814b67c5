// Colour helpers of the light shader. Everything is single precision, with
// `floor` and `pow` taken in double and narrowed back, so that a colour gives
// the same bits on every platform the library is built for.
#include "color/color.h"

#include <cmath>

namespace oska {

namespace {

// The hue is a product with this single-precision sixth, never a division
// by 6: the two differ in the last bit for some hues (5/6 among them).
constexpr float kSixth = 1.0f / 6.0f;

// A gamma of exactly 0 (either sign) stands for this one.
constexpr float kGammaFloor = 0.001f;

// Luminance weights of red, green and blue.
constexpr float kLumaRed = 0.3f;
constexpr float kLumaGreen = 0.59f;
constexpr float kLumaBlue = 0.11f;

} // namespace

oska_color *rgb_to_hsv(oska_color *result, const oska_color *rgb) {
    const float red = rgb->r, green = rgb->g, blue = rgb->b, alpha = rgb->a;

    // Strict comparisons: on ties the earlier channel stays, and a NaN
    // channel never replaces the running value.
    float smallest = red;
    if (green < smallest)
        smallest = green;
    if (blue < smallest)
        smallest = blue;
    float largest = red;
    if (green > largest)
        largest = green;
    if (blue > largest)
        largest = blue;

    float hue = 0.0f, saturation = 0.0f;
    if (!(largest == smallest)) {
        // The smallest channel picks the third of the circle. Red tests first,
        // so a red with equal green and blue lands at the top end, hue 1.
        float term, region;
        if (red == smallest) {
            term = green - blue;
            region = 3.0f;
        } else if (green == smallest) {
            term = blue - red;
            region = 5.0f;
        } else {
            term = red - green;
            region = 1.0f;
        }
        const float chroma = largest - smallest;
        hue = (region - term / chroma) * kSixth;
        saturation = chroma / largest;
    }

    result->r = hue;
    result->g = saturation;
    result->b = largest;
    result->a = alpha;
    return result;
}

oska_color *hsv_to_rgb(oska_color *result, const oska_color *hsv) {
    const float hue = hsv->r, saturation = hsv->g, value = hsv->b, alpha = hsv->a;

    // Hues in [0, 7/6) convert as they are, the last sixth reading as the
    // first. Others (a scaled hue may be anything) wrap around the circle into
    // [0, 1]; rounding can reach 1 but never leave it, so the sector stays in
    // 0..6. A hue with no place on the circle (NaN, infinite) counts as 0.
    float sextant = hue * 6.0f;
    if (!(sextant >= 0.0f && sextant < 7.0f)) {
        const float turn = hue - static_cast<float>(std::floor(static_cast<double>(hue)));
        sextant = std::isnan(turn) ? 0.0f : turn * 6.0f;
    }

    const int sector = static_cast<int>(std::floor(static_cast<double>(sextant)));
    const float fraction = sextant - static_cast<float>(sector);
    // q rises through the even sectors and falls through the odd ones.
    const float ramp = (sector & 1) ? fraction : 1.0f - fraction;
    const float p = value * (1.0f - saturation);
    const float q = value * (1.0f - saturation * ramp);

    switch (sector) {
    case 1:
        *result = oska_color{q, value, p, alpha};
        break;
    case 2:
        *result = oska_color{p, value, q, alpha};
        break;
    case 3:
        *result = oska_color{p, q, value, alpha};
        break;
    case 4:
        *result = oska_color{q, p, value, alpha};
        break;
    case 5:
        *result = oska_color{value, p, q, alpha};
        break;
    default: // sectors 0 and 6
        *result = oska_color{value, q, p, alpha};
        break;
    }
    return result;
}

float gamma_pow(float x, float g) {
    // Ordered equality: -0 is replaced as well, a NaN gamma is not.
    if (g == 0.0f)
        g = kGammaFloor;
    const float exponent = 1.0f / g;
    return static_cast<float>(std::pow(static_cast<double>(x), static_cast<double>(exponent)));
}

oska_color *color_blend(oska_color *result, const oska_color *first, const oska_color *second,
                        float t) {
    const oska_color from = *first, to = *second;
    if (t <= 0.0f) {
        *result = from;
    } else if (t >= 1.0f) {
        *result = to;
    } else {
        // Alpha blends with the rest, so a half-way colour is half-way in
        // every channel. A NaN weight lands here and gives NaN throughout.
        result->r = (to.r - from.r) * t + from.r;
        result->g = (to.g - from.g) * t + from.g;
        result->b = (to.b - from.b) * t + from.b;
        result->a = (to.a - from.a) * t + from.a;
    }
    return result;
}

void burn_color(oska_color *color, float multiplier, float threshold, float power) {
    // Only a brightening burn, and only above the threshold; NaN fails both.
    if (!(multiplier > 1.0f))
        return;
    const float luminance = (kLumaRed * color->r + kLumaBlue * color->b) + kLumaGreen * color->g;
    if (!(luminance > threshold))
        return;

    const float ratio = (luminance - threshold) / (1.0f - threshold);
    const float factor =
        static_cast<float>(std::pow(static_cast<double>(ratio), static_cast<double>(power)));
    const oska_color scaled = {color->r * multiplier, color->g * multiplier, color->b * multiplier,
                               color->a};

    // A burn changes brightness, never coverage: the alpha is put back as it
    // was, since blending it with itself is not exact for an infinite alpha
    // or a NaN factor.
    const float alpha = color->a;
    color_blend(color, color, &scaled, factor);
    color->a = alpha;
}

} // namespace oska
