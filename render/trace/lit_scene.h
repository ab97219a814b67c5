// The scene as the integrator sees it once a session has opened it: the
// scene's own description (camera, background, the objects' meshes,
// materials and textures), the ray tracing geometry built from it, and the
// lights ready to be sampled with the shader that evaluates them. The
// session builds it and owns it; a render only reads it.
#ifndef OSKA_RENDER_LIT_SCENE_H
#define OSKA_RENDER_LIT_SCENE_H

#include "area_sampler.h"
#include "geometry.h"
#include "scene_desc.h"

#include <oska/host/host.h>
#include <oska/host_api.h>

#include <cstddef>
#include <memory>
#include <vector>

namespace oska::render {

// A light ready to be sampled: bound to its emitting object, its shader
// initialised.
struct BoundLight {
    const LightDesc *desc = nullptr;
    oska_tag light = 0;
    oska_tag instance = 0; // the light instance the shader serves
    host::ShaderInstance *shader = nullptr;
    const oskacolor_params *params = nullptr; // the shader's record, as set
    int object = -1;                          // emitting object, index into the scene's objects
    int samples = 0;      // light samples per shading point; 0: the render's default
    int vector_count = 1; // entries in a sample's vector list
    std::unique_ptr<AreaSampler> sampler;
};

// What the renderer's shader states carry for the host's hooks (host_data):
// for a light sample, the segment from the shaded point to the sample and the
// thread's shadow ray counter (null for other states).
struct SampleContext {
    Vec3 from, to;
    long *shadow_rays = nullptr;
};

struct LitScene {
    const Scene *scene = nullptr;
    std::unique_ptr<Geometry> geometry;
    std::vector<BoundLight> lights;
    oska_shader_fn light_shader = nullptr; // the shader every light is evaluated with
    // By object, in the scene's order: the lights bound to it (indices into
    // `lights`), which the camera sees as the object's own radiance.
    std::vector<std::vector<int>> lights_of_object;

    const std::vector<int> &lights_of(int object) const {
        return lights_of_object[static_cast<std::size_t>(object)];
    }
};

} // namespace oska::render

#endif
