// Image textures: each image is decoded once, when the scene is read, into
// texels that every render thread reads without a lock.
// Lookups are bilinear between texel centres, with the same arithmetic as the
// image library's own bilinear filter at the finest level.
#ifndef OSKA_RENDER_TEXTURES_H
#define OSKA_RENDER_TEXTURES_H

#include <oska/host_api.h>

#include <cstdint>
#include <string>
#include <vector>

namespace oska::render {

struct Image {
    int width = 0, height = 0, channels = 0;
    // Bytes a channel: 8- and 16-bit images keep their values as the file
    // has them (1 and 2), everything else is held as floats (4).
    int depth = 4;
    std::vector<unsigned char> texels; // rows top to bottom, channels interleaved
    bool srgb = true;                  // texels hold sRGB-encoded values
};

// Reads `file` whole. `colorspace` is "srgb", "linear" or "auto" (sRGB for
// 8- and 16-bit images). The decoded size is checked against `budget`
// before the texels are read, and taken from it. Throws Error with a message
// that names the image.
Image read_image(const std::string &file, const std::string &colorspace, std::uint64_t &budget);

// Linear RGBA of `image` at (u, v), v pointing up the image. `repeat`: the
// image tiles the plane; otherwise it ends at its edges. An image without
// alpha has alpha 1; a grey image is grey in r, g, b. False, and black, for
// a coordinate that is not finite.
bool lookup(const Image &image, float u, float v, bool repeat, oska_color *out);

} // namespace oska::render

#endif
