// The light's response as the lookdev page draws it: the colour that reaches
// a point by distance and by emission angle, and what that colour comes
// from, each the library's own answer through the host.
#ifndef OSKA_RENDER_LOOKDEV_CURVES_H
#define OSKA_RENDER_LOOKDEV_CURVES_H

#include "scene.h"
#include "session.h"

#include <nlohmann/json.hpp>

#include <cstddef>

namespace oska::render::lookdev {

using nlohmann::json;

// The curves of light `i` with the parameters the session holds for it:
// {"distance": ..., "angle": ..., "chain": [...]}.
json response_curves(Session &session, const Scene &scene, std::size_t i);

// `call` with its emission (the colour whose alpha is the intensity) zero: a
// muted light, as `record` (its parameter record) lays the rows out.
ShaderCall without_emission(const ShaderCall &call, const void *record);

} // namespace oska::render::lookdev

#endif
