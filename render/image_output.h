// Writing the rendered image: EXR keeps the float radiance as it is; PNG
// (and the other 8-bit formats) get it tone-mapped and sRGB-encoded.
// The file is written under a temporary name beside the target and renamed
// into place, so a failed write leaves no partial file behind.
#ifndef OSKA_RENDER_IMAGE_OUTPUT_H
#define OSKA_RENDER_IMAGE_OUTPUT_H

#include "integrator.h"

#include <cstdint>
#include <string>
#include <vector>

namespace oska::render {

// Throws Error unless `path` names a file format that can be written into
// a directory that exists, and a place an image may be written to: nothing
// there yet, or a regular file that is none of `inputs`, the files the
// render reads.
void check_output(const std::string &path, const std::vector<std::string> &inputs);

// Radiance to display: linear up to 0.8, then a smooth roll-off towards 1,
// so that bright emitters do not clip hard; negative or NaN values give 0.
float tone_map(float value);
// Linear to the sRGB encoding, both in [0, 1].
float linear_to_srgb(float value);
// One channel of a display pixel: tone map, sRGB, 8 bits.
uint8_t display_value(float radiance);

// Writes `image` to `path`, after the checks of check_output.
void write_image(const std::string &path, const Framebuffer &image,
                 const std::vector<std::string> &inputs);

} // namespace oska::render

#endif
