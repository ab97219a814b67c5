// Colour helpers of the light shader: RGB and HSV, gamma, blend and burn.
// All arithmetic is in 32-bit floats; nothing is clamped.
#ifndef OSKA_COLOR_H
#define OSKA_COLOR_H

#include <oska/host_api.h>

namespace oska {

// Hue, saturation, value of `rgb` into `result` (which may be `rgb`); returns
// `result`. Hue is a fraction of the circle in [0, 1]; pure red gives 1.
oska_color *rgb_to_hsv(oska_color *result, const oska_color *rgb);

// Back from hue, saturation, value; returns `result` (which may be `hsv`).
oska_color *hsv_to_rgb(oska_color *result, const oska_color *hsv);

// x raised to 1/g; a g of 0 counts as 0.001.
float gamma_pow(float x, float g);

// Linear blend from `first` (t <= 0) to `second` (t >= 1); returns `result`.
oska_color *color_blend(oska_color *result, const oska_color *first, const oska_color *second,
                        float t);

// Pushes a colour whose luminance exceeds `threshold` towards `multiplier`
// times itself.
void burn_color(oska_color *color, float multiplier, float threshold, float power);

} // namespace oska

#endif
