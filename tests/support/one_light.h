// The scene most tests and benchmarks of oskacolor start from: one object
// light, one instance of it, and one oskacolor instance serving it; and the
// light with its instance alone, where a test's scene begins.
#ifndef OSKA_TESTS_ONE_LIGHT_H
#define OSKA_TESTS_ONE_LIGHT_H

#include <oska/host/testing.h>
#include <oska/host_api.h>

namespace oska::test {

// A light and the instance "lamp" that holds it; a base of the fixtures
// and scenes that have one.
struct Lamp {
    oska_tag light = 0;
    oska_tag light_instance = 0;

    void add_lamp(host::Testing &host, const host::LightDesc &desc = {},
                  float emit_divisor = 1.0f) {
        light = host.add_light(desc);
        light_instance = host.add_instance(light, "lamp", emit_divisor);
    }
};

struct OneLight : Lamp {
    host::ShaderInstance *shader = nullptr;
    oskacolor_params *params() const { return shader->params<oskacolor_params>(); }
};

// Adds the light as `desc` describes, its instance with `emit_divisor`, and a
// fresh oskacolor instance whose record is zero but for `color`.
inline OneLight one_light(host::Testing &host, const host::LightDesc &desc = {},
                          float emit_divisor = 1.0f, oska_color color = {1.0f, 1.0f, 1.0f, 1.0f}) {
    OneLight scene;
    scene.add_lamp(host, desc, emit_divisor);
    scene.shader = &host.add_shader("oskacolor", sizeof(oskacolor_params));
    scene.params()->color = color;
    return scene;
}

} // namespace oska::test

#endif
