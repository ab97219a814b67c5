// The shader calls of a scene (a light's shader, the scene shaders): each
// parameter read and checked against its declaration, and the names it
// gives checked once every element of the scene is known.
#ifndef OSKA_RENDER_SHADER_CALLS_H
#define OSKA_RENDER_SHADER_CALLS_H

#include "json_reader.h"
#include "scene_desc.h"

#include <string>

namespace oska::render {

// The call of `shader` with the parameters of `params`, each checked against
// its declared type; an unknown shader or parameter is an error at `where`.
ShaderCall read_shader_call(const JsonReader &read, const Scene &scene, const std::string &shader,
                            const nlohmann::json &params, const std::string &where);

// Checks that the names `call` gives are those of the scene's elements (a
// texture where the parameter table says a texture), once every name is known.
void check_call_names(const JsonReader &read, const Scene &scene, const ShaderCall &call);

} // namespace oska::render

#endif
