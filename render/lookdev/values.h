// Light parameters as the lookdev page sees them, and writing them back into
// the scene file.
//
// A value is JSON in the scene file's own form: a colour [r, g, b, a], a
// scalar a number, a boolean true or false, an integer a whole number, a
// tag the name of a scene element ("" for none).
#ifndef OSKA_RENDER_LOOKDEV_VALUES_H
#define OSKA_RENDER_LOOKDEV_VALUES_H

#include "scene.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace oska::render::lookdev {

using nlohmann::json;

// Every declared (non-array) parameter of the light's shader with its value:
// the ones the scene gives, zero for the others.
json light_values(const LightDesc &light);

// The parameters worth writing for `values`: those in `keep`, and every one
// that is not zero (an unset parameter is zero).
json params_to_write(const ShaderDecl &decl, const json &values,
                     const std::vector<std::string> &keep);

// The scene file's text with each light's "params" replaced by `params[i]`
// (a JSON object; null leaves the light as it is), everything else kept byte
// for byte. Throws Error when the
// text is not a scene with that many lights.
std::string splice_light_params(const std::string &text, const std::vector<json> &params);

// A light's parameter record read by the roles of its shader's table (the
// one reader of roles, beside the declarations).
using Roles = oska::render::Roles;

} // namespace oska::render::lookdev

#endif
