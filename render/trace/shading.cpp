#include "shading.h"

#include "textures.h"

#include <algorithm>

namespace oska::render {

ShaderStates::ShaderStates(const LitScene &scene) : scene_(scene) {
    int most = 1;
    for (const BoundLight &light : scene.lights) {
        most = std::max(most, light.vector_count);
    }
    vectors_.assign(static_cast<std::size_t>(most), oska_vector{0, 0, 0});
}

void ShaderStates::start(oska_state &state, const BoundLight &light, int ray_kind, double distance,
                         SampleContext *context) {
    state = oska_state{};
    light.shader->address(state);
    state.ray_kind = ray_kind;
    state.distance = distance;
    state.light_instance = light.instance;
    state.sample = state.parent = &state;
    state.vectors = vectors_.data();
    state.vector_count = light.vector_count;
    state.host_data = context;
}

void ShaderStates::set_vectors(const BoundLight &light, const Mesh &mesh, Vec3 uv,
                               uint32_t triangle, float b1, float b2) {
    vectors_[0] = {uv.x, uv.y, uv.z};
    for (int n = 1; 2 * n < light.vector_count; ++n) {
        Vec3 v = channel_at(mesh, static_cast<std::size_t>(n), triangle, b1, b2);
        vectors_[2 * static_cast<std::size_t>(n)] = {v.x, v.y, v.z};
    }
}

Vec3 ShaderStates::emission(const BoundLight &light, const Hit &hit, const SurfacePoint &point) {
    set_vectors(light, scene_.scene->objects[light.object].mesh, point.uv, hit.triangle, hit.b1,
                hit.b2);
    SampleContext context{{}, {}, nullptr};
    oska_state state;
    start(state, light, OSKA_RAY_EYE, hit.distance, &context);
    oska_color color{0, 0, 0, 0};
    if (!scene_.light_shader(&color, &state, light.shader->record())) {
        return {};
    }
    return {color.r, color.g, color.b};
}

Vec3 albedo(const Scene &scene, const ObjectDesc &object, Vec3 uv) {
    if (object.material < 0) {
        return {0.75f, 0.75f, 0.75f};
    }
    const MaterialDesc &material = scene.materials[object.material];
    if (material.texture < 0) {
        return material.color;
    }
    oska_color texel;
    lookup(scene.textures[static_cast<std::size_t>(material.texture)].image,
           uv.x * material.repeat_u, uv.y * material.repeat_v, true, &texel);
    return material.color * Vec3{texel.r, texel.g, texel.b};
}

void face_towards(SurfacePoint &point, Vec3 direction) {
    if (dot(point.geometric_normal, direction) > 0) {
        point.geometric_normal = -point.geometric_normal;
        point.normal = -point.normal;
    }
}

} // namespace oska::render
