// A scene's objects: their shapes or OBJ meshes, vertex channels,
// materials and placement, read from the scene's "objects" array.
#ifndef OSKA_RENDER_SCENE_OBJECTS_H
#define OSKA_RENDER_SCENE_OBJECTS_H

#include "json_reader.h"
#include "scene_desc.h"

namespace oska::render {

// Appends the objects of `node` to `scene`, and a material of its own for an
// object given a colour; meshes larger than `max_file_bytes` are refused.
void read_objects(const JsonReader &read, const nlohmann::json &node, Scene &scene,
                  std::uint64_t max_file_bytes);

} // namespace oska::render

#endif
