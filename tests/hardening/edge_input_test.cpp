// What the exports answer to input no well-behaved host sends: null
// pointers where a record belongs, a state without the host's function
// record, vertex channels the sample does not have, and the rarer shapes of
// a shadow trace's transmission. Each has one defined answer.
#include "support/oska_test.h"

#include <cstddef>
#include <string>
#include <vector>

namespace oska::test {
namespace {

using host::Level;

class EdgeInput : public OskaTest {
  protected:
    void SetUp() override {
        OskaTest::SetUp();
        light_instance = host.add_instance(host.add_light(), "lamp");
        shader = &host.add_shader("oskacolor", sizeof(oskacolor_params));
        params = shader->params<oskacolor_params>();
        params->color = {1.0f, 1.0f, 1.0f, 1.0f};
        params->decay = 1;
        params->decay_start = 0.0f;
        params->decay_end = 10.0f;
    }

    oska_state &state() { return host.make_state(*shader, light_instance); }

    void init() {
        oska_boolean init_req = 0;
        lib.oskacolor_init(&state(), params, &init_req);
    }

    oska_tag light_instance = 0;
    host::ShaderInstance *shader = nullptr;
    oskacolor_params *params = nullptr;
};

// Null records: the shaders answer without touching anything; the
// shader-wide init and exit calls accept a null flag and a null state.
TEST_F(EdgeInput, NullPointersGetADefinedAnswer) {
    init();
    oska_color result = {9.0f, 9.0f, 9.0f, 9.0f};
    EXPECT_EQ(lib.oskacolor(nullptr, &state(), params), 0);
    EXPECT_EQ(lib.oskacolor(&result, nullptr, params), 0);
    EXPECT_EQ(lib.oskacolor(&result, &state(), nullptr), 0);
    EXPECT_EQ(result.r, 9.0f) << "a refused call wrote its result";
    EXPECT_EQ(lib.oskalight(nullptr, &state(), nullptr), 1);
    lib.oskacolor_init(nullptr, nullptr, nullptr);
    lib.oskalight_init(nullptr, nullptr, nullptr);
    lib.oskacolor_exit(nullptr, nullptr);
    lib.oskalight_exit(nullptr, nullptr);
    lib.oskacolor_exit(&state(), params);
    EXPECT_TRUE(host.messages().empty());
    EXPECT_TRUE(host.leaks().empty());
    EXPECT_TRUE(host.allocator_errors().empty());
}

// An instance initialised without a state has no settings slot to register
// its block in: the block goes straight back and the host hears why.
TEST_F(EdgeInput, InitWithoutStateKeepsNothing) {
    oska_boolean init_req = 3;
    lib.oskacolor_init(nullptr, params, &init_req);
    EXPECT_EQ(init_req, 3);
    EXPECT_EQ(host.texts(Level::error),
              std::vector<std::string>{"oskacolor-> the host keeps no settings for this instance"});
    EXPECT_EQ(host.allocations(), 1);
    EXPECT_EQ(host.releases(), 1);
    EXPECT_TRUE(host.leaks().empty());
}

// A state without the host's function record (or no state at all) says
// nothing about attachments: every parameter is read in place, and no
// attached shader is evaluated.
TEST_F(EdgeInput, StateWithoutFunctionRecordReadsInPlace) {
    const oska_tag light = host.add_light();
    host.light(light)->area_kind = 2;
    const oska_tag holder = host.add_instance(light, "lamp");
    const oska_tag object = host.add_instance(host.add_element(7, "shape"), "cube");
    host::ShaderInstance &binder = host.add_shader("oskalight", sizeof(oskalight_params));
    oskalight_params *b = binder.params<oskalight_params>();
    b->enable = 1;
    b->instance = object;
    b->lights_count = 1;
    b->lights[0] = holder;
    binder.attach(offsetof(oskalight_params, enable), oska_boolean(0));
    oska_state &bare = host.make_state(binder);
    bare.function = nullptr;
    EXPECT_EQ(lib.oskalight(nullptr, &bare, b), 1);
    EXPECT_EQ(host.light(light)->area_kind, OSKA_AREA_OBJECT);
    host.light(light)->area_kind = 2;
    EXPECT_EQ(lib.oskalight(nullptr, nullptr, b), 1);
    EXPECT_EQ(host.light(light)->area_kind, OSKA_AREA_OBJECT);
    EXPECT_EQ(binder.evaluations(offsetof(oskalight_params, enable)), 0);
}

// A vertex channel past the sample's vector list turns its feature off for
// that sample: the range end keeps its value.
TEST_F(EdgeInput, RangeChannelPastTheVectorListLeavesTheRange) {
    params->use_vertex_color = 1;
    params->vc_range = 1;
    params->vc_range_channel = 3; // entry 6
    init();
    const oska_vector vectors[] = {{0, 0, 0}, {0, 0, 0}, {0.5f, 0, 0}};
    for (const int count : {0, 3}) {
        SCOPED_TRACE(count);
        oska_state &s = state();
        s.distance = 6.0;
        s.vectors = count == 0 ? nullptr : vectors;
        s.vector_count = count;
        oska_color result;
        EXPECT_EQ(lib.oskacolor(&result, &s, params), 1) << "the range end was scaled";
        EXPECT_FLOAT_EQ(result.r, 0.4f);
    }
    lib.oskacolor_exit(&state(), params);
}

// A traced transmission that lets light through in one channel only is a
// partial shadow, whichever channel it is.
TEST_F(EdgeInput, TransmissionInAnyOneChannelIsPartialShadow) {
    params->decay = 0;
    params->shadows = 1;
    params->max_level = 1;
    params->shadow_color = {0.0f, 0.0f, 0.0f, 1.0f};
    init();
    const oska_color transmissions[] = {
        {0.5f, 0.0f, 0.0f, 1.0f}, {0.0f, 0.5f, 0.0f, 1.0f}, {0.0f, 0.0f, 0.5f, 1.0f}};
    for (const oska_color &transmission : transmissions) {
        host.set_shadow(1, transmission);
        oska_color result;
        EXPECT_EQ(lib.oskacolor(&result, &state(), params), 1);
        EXPECT_EQ(result.r, transmission.r);
        EXPECT_EQ(result.g, transmission.g);
        EXPECT_EQ(result.b, transmission.b);
    }
    lib.oskacolor_exit(&state(), params);
}

} // namespace
} // namespace oska::test
