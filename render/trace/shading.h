// What the renderer hands a light's shader, and what a surface makes of the
// light it gets: shared by the integrator and by what evaluates one light at
// a point (the lookdev page's pixel probe), so that both shade alike.
#ifndef OSKA_RENDER_SHADING_H
#define OSKA_RENDER_SHADING_H

#include "geometry.h"
#include "lit_scene.h"
#include "vec.h"

#include <oska/host_api.h>

#include <cstdint>
#include <vector>

namespace oska::render {

// One thread's vector list for the light shader, and the states that point
// to it.
class ShaderStates {
  public:
    explicit ShaderStates(const LitScene &scene);

    // Lays out in `state` a state of `light` for a ray of `ray_kind`, its
    // sample and parent links on itself: `state` must stay where it is while
    // the shader reads it.
    void start(oska_state &state, const BoundLight &light, int ray_kind, double distance,
               SampleContext *context);
    // The vectors of a point of `light`'s emitter `mesh`: its texture
    // coordinates, then the emitter's vertex channels there.
    void set_vectors(const BoundLight &light, const Mesh &mesh, Vec3 uv, uint32_t triangle,
                     float b1, float b2);
    // The light shader's answer into `color` for `point` drawn on `light`'s
    // emitter `mesh`, `distance` from the shaded point, with the emission
    // dot product `emission_dot` (the emitter's normal with the direction
    // from the shaded point to `point`); false where it turns the sample
    // down. `state` was started for the light (start()) and serves all its
    // samples: a sample sets what is its own.
    bool light_sample(const BoundLight &light, const Mesh &mesh, const EmitterPoint &point,
                      float distance, float emission_dot, oska_state &state, SampleContext &context,
                      oska_color *color) {
        set_vectors(light, mesh, point.uv, point.triangle, point.b1, point.b2);
        context.to = point.position;
        set_sample(state, distance, emission_dot);
        return scene_.light_shader(color, &state, light.shader->record()) != 0;
    }
    // What a light sample sets of its own in a light-ray state: the distance,
    // the emission dot product and the side of the emitter it sees.
    static void set_sample(oska_state &state, double distance, float emission_dot) {
        state.distance = distance;
        state.emission_dot = emission_dot;
        state.orientation = -emission_dot > 0 ? 1 : 0;
    }
    // The emitter's own brightness where a camera ray meets it, as the
    // light's shader answers an eye ray (one shader call).
    Vec3 emission(const BoundLight &light, const Hit &hit, const SurfacePoint &point);

  private:
    const LitScene &scene_;
    std::vector<oska_vector> vectors_;
};

// The diffuse colour of `object` at texture coordinates `uv`.
Vec3 albedo(const Scene &scene, const ObjectDesc &object, Vec3 uv);

// Turns `point`'s normals to the side that a ray along `direction` sees.
void face_towards(SurfacePoint &point, Vec3 direction);

} // namespace oska::render

#endif
