// Writing the rendered image: EXR keeps the float radiance as it is; PNG
// (and the other 8-bit formats) get it tone-mapped and sRGB-encoded.
// The file is written under a temporary name beside the target and renamed
// into place, so a failed write leaves no partial file behind.
#ifndef OSKA_RENDER_IMAGE_OUTPUT_H
#define OSKA_RENDER_IMAGE_OUTPUT_H

#include "display.h"
#include "framebuffer.h"

#include <string>
#include <vector>

namespace oska::render {

// Throws Error unless `path` names a file format that can be written into
// a directory that exists, and a place an image may be written to: nothing
// there yet, or a regular file that is none of `inputs`, the files the
// render reads.
void check_output(const std::string &path, const std::vector<std::string> &inputs);

// Writes `image` to `path`, after the checks of check_output.
void write_image(const std::string &path, const Framebuffer &image,
                 const std::vector<std::string> &inputs);

} // namespace oska::render

#endif
