// Inputs the fuzz harnesses found faults with, each kept as the smallest case
// that shows it. Each test states the sound behaviour chosen for the case.
// The out-of-bounds ones fail under AddressSanitizer (the asan stage); in a
// plain build they pin down the answer.
#include "support/oska_test.h"

#include <cstddef>
#include <string>
#include <vector>

namespace oska::test {
namespace {

using host::Level;

class FuzzFindings : public OskaTest {};

// oskalight, lights attached to a shader that gives no value: the array has
// no element storage at all, so no element is read (reading the start index
// into the library's 16-byte stand-in value overran it). The light is not
// found; the instance part still runs.
TEST_F(FuzzFindings, AttachedLightsArrayWithoutStorageHasNoElement) {
    const oska_tag light = host.add_light();
    const oska_tag light_instance = host.add_instance(light, "lamp");
    const oska_tag object = host.add_instance(host.add_element(7, "shape"), "cube");
    host.light(light)->object_instance = 0;
    for (const int start : {0, 3, 4, 5, 9, 12}) {
        SCOPED_TRACE("start index " + std::to_string(start));
        host::ShaderInstance &shader =
            host.add_shader("oskalight", sizeof(oskalight_params), 8 * sizeof(oska_tag));
        oskalight_params *params = bind_one_light(shader, light_instance, object);
        params->lights_start = start;
        shader.attach_null(offsetof(oskalight_params, lights));
        oska_state &state = host.make_state(shader);
        const std::size_t before = host.texts(Level::warning).size();

        EXPECT_EQ(lib.oskalight(nullptr, &state, params), 1);

        const std::vector<std::string> warnings = host.texts(Level::warning);
        ASSERT_EQ(warnings.size(), before + 1);
        EXPECT_EQ(warnings.back(), "-> no light found");
        EXPECT_EQ(host.light(light)->object_instance, 0u) << "the light was bound";
        EXPECT_FALSE(host.edit_open());
    }
}

} // namespace
} // namespace oska::test
