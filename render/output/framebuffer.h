// A rendered image in linear radiance: what the render loop fills and the
// image writers, the lookdev page and the benchmarks read.
#ifndef OSKA_RENDER_FRAMEBUFFER_H
#define OSKA_RENDER_FRAMEBUFFER_H

#include "vec.h"

#include <cstddef>
#include <vector>

namespace oska::render {

struct Framebuffer {
    int width = 0, height = 0;
    std::vector<float> rgb; // row-major from the top row, three floats a pixel
    Vec3 at(int x, int y) const {
        const float *p = &rgb[3 * (static_cast<std::size_t>(y) * width + x)];
        return {p[0], p[1], p[2]};
    }
};

} // namespace oska::render

#endif
