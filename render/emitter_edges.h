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
#include <vector>

namespace oska::render {

// One entry a pixel (rows from the top): 1 where an outline edge of an
// emitting object's triangles crosses the pixel as the camera projects it,
// in view or hidden. An outline edge is one of a single triangle, or
// between a triangle that faces the camera and one that faces away.
std::vector<uint8_t> emitter_edge_pixels(const LitScene &scene, int width, int height);

} // namespace oska::render

#endif
