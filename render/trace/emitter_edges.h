// Where the camera sees the outline of an emitter.
//
// A small or thin emitter can cover a sliver of a pixel, or lie wholly
// inside one: its light there is very bright over a small part of the
// pixel, which only many camera samples resolve, and a few samples can miss
// altogether. A render gives such pixels more samples from the start, before
// any estimate of their error could find them.
#ifndef OSKA_RENDER_EMITTER_EDGES_H
#define OSKA_RENDER_EMITTER_EDGES_H

#include "lit_scene.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace oska::render {

// The part of a pixel (in [0, 1) across it) that an emitter's projection
// can reach, where that is a small part: a share of the pixel's camera
// samples goes there, and each sample is weighed by its region's area over
// its share of the samples, so that the pixel's expected value is kept.
struct PixelWindow {
    float x0 = 0, y0 = 0, x1 = 1, y1 = 1;
    // Whole pixel: none.
    bool whole() const { return x0 <= 0 && y0 <= 0 && x1 >= 1 && y1 >= 1; }
    // Moves uniform numbers (jx, jy) in the pixel into the window (for jx
    // under kWindowShare) or into the rest of the pixel, uniformly in each,
    // and gives the sample's weight.
    float place(float &jx, float &jy) const;
};

struct EmitterOutline {
    // One entry a pixel (rows from the top): 1 where an outline edge of an
    // emitting object's triangles crosses the pixel as the camera projects
    // it, in view or hidden. An outline edge is one of a single triangle,
    // or between a triangle that faces the camera and one that faces away.
    std::vector<uint8_t> marks;
    // Of each marked pixel: the part of it within the projected bounds of
    // the emitters, when that is at most a quarter of it.
    std::vector<PixelWindow> windows;
};

// The work is bounded by the image's pixels plus the emitters' triangles, and
// `stop` (when given) is asked now and then whether to end it. Past that
// bound, or once `stop` says so, the outline gives up: every pixel is
// marked when the edges were not all walked, and every window is whole.
EmitterOutline emitter_outline(const LitScene &scene, int width, int height,
                               const std::function<bool()> &stop = {});

} // namespace oska::render

#endif
