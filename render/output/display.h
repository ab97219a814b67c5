// From radiance to what a screen shows: the tone map and the sRGB encoding,
// used by the 8-bit image files, the lookdev page and the render loop's
// noise estimate (which measures error as a viewer sees it).
#ifndef OSKA_RENDER_DISPLAY_H
#define OSKA_RENDER_DISPLAY_H

#include <cstdint>

namespace oska::render {

// Radiance to display: linear up to 0.8, then a smooth roll-off towards 1,
// so that bright emitters do not clip hard; negative or NaN values give 0.
float tone_map(float value);
// Where the tone map leaves the straight line (the lookdev page's swatches
// follow it too).
constexpr float tone_knee = 0.8f;
// Linear to the sRGB encoding, both in [0, 1].
float linear_to_srgb(float value);
// One channel of a display pixel: tone map, sRGB, 8 bits.
uint8_t display_value(float radiance);

} // namespace oska::render

#endif
