// Test fixture: the library loaded by file name, as a host loads it, and
// bound to the testing host, which starts every test empty.
#ifndef OSKA_TESTS_OSKA_TEST_H
#define OSKA_TESTS_OSKA_TEST_H

#include "library.h"

#include <oska/host/testing.h>
#include <oska/host_api.h>

#include <gtest/gtest.h>

namespace oska::test {

class OskaTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host.reset();
        ASSERT_NE(lib.miSetModuleHandle, nullptr);
        lib.miSetModuleHandle(host::module_handle());
    }
    void TearDown() override { host.release_leaks(); }

    host::Library &lib = library();
    host::Testing &host = host::testing();
};

// The oskalight record of `shader`, set to bind the light of instance `lamp`
// to the object instance `object` (0: none).
inline oskalight_params *bind_one_light(host::ShaderInstance &shader, oska_tag lamp,
                                        oska_tag object) {
    oskalight_params *params = shader.params<oskalight_params>();
    params->enable = 1;
    params->instance = object;
    params->lights_count = 1;
    params->lights[0] = lamp;
    return params;
}

// Expect a colour channel by channel with `expect`.
#define OSKA_EXPECT_COLOR(expect, actual, r_, g_, b_, a_)                                          \
    do {                                                                                           \
        const oska_color actual_ = (actual);                                                       \
        expect(actual_.r, (r_));                                                                   \
        expect(actual_.g, (g_));                                                                   \
        expect(actual_.b, (b_));                                                                   \
        expect(actual_.a, (a_));                                                                   \
    } while (0)

// Exactly.
#define EXPECT_COLOR_EQ(actual, r_, g_, b_, a_) OSKA_EXPECT_COLOR(EXPECT_EQ, actual, r_, g_, b_, a_)

// To within four units in the last place.
#define EXPECT_COLOR_NEAR(actual, r_, g_, b_, a_)                                                  \
    OSKA_EXPECT_COLOR(EXPECT_FLOAT_EQ, actual, r_, g_, b_, a_)

} // namespace oska::test

#endif
