// oskacolor evaluation, second half: decay laws, range scaling, brightness
// threshold, trace-level limit and the shadow mix; and evaluations from
// several threads at once.
#include "oskacolor_fixture.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

namespace oska::test {
namespace {

using OskacolorAttenuation = OskacolorTest;

// A white sample of intensity 1, so the result is the decay factor.
TEST_F(OskacolorAttenuation, DecayLaws) {
    struct Case {
        const char *name;
        oska_integer decay;
        float exponent, start, end;
        double distance;
        float emission_dot;
        oska_boolean accepted;
        float factor;
    };
    const Case cases[] = {
        {"linear halfway", 1, 2, 2, 10, 6.0, 0, 1, 0.5f},
        {"linear at the end", 1, 2, 2, 10, 10.0, 0, 0, 0},
        {"power at the end", 2, 2, 2, 10, 10.0, 0, 0, 0},
        {"end 0, distance 0", 1, 2, 0, 0, 0.0, 0, 0, 0},
        {"linear at the start", 1, 2, 2, 10, 2.0, 0, 1, 1.0f},
        {"linear before the start", 1, 2, 2, 10, 1.0, 0, 1, 1.0f},
        {"power at the start", 2, 2, 2, 10, 2.0, 0, 1, 1.0f},
        {"range narrower than 0.0001", 1, 2, 5, 5.00005f, 5.00001, 0, 1, 1.0f},
        // Narrowed to a float this distance would equal the range end.
        {"distance kept double", 1, 2, 0, 1, 1.0 - 0x1p-30, 0, 1, 0x1p-30f},
        {"power 2", 2, 2, 0, 100, 4.0, 0, 1, 0.0625f},
        {"power 0", 2, 0, 0, 100, 4.0, 0, 1, 1.0f},
        {"physical, exponent 0", 3, 0, 0, 0, 2.0, -0.5f, 1, 0.5f / (4.0f * kFourPi)},
        {"physical, cosine squared", 3, 2, 2, 0, 2.0, -0.5f, 1, 0.25f / (4.0f * kFourPi)},
        {"physical, exponent 1", 3, 1, 1, 0, 2.0, -0.5f, 1, 0.5f / (2.0f * kFourPi)},
        {"physical, edge-on", 3, 2, 0, 0, 2.0, 0.0f, 0, 0},
        {"physical, from behind", 3, 2, 0, 0, 2.0, 0.5f, 0, 0},
        {"no decay", 0, 2, 0, 0, 50.0, 0, 1, 1.0f},
        {"unknown mode", 4, 2, 0, 0, 50.0, 0, 1, 1.0f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        restart({OSKA_AREA_OBJECT, c.exponent}, 1.0f);
        set_decay(c.decay, c.start, c.end);
        init();
        state().distance = c.distance;
        state().emission_dot = c.emission_dot;
        const oska_color result = evaluate(c.accepted);
        if (c.accepted) {
            EXPECT_NEAR(result.r, c.factor, c.factor * 1e-6f);
            EXPECT_EQ(result.g, result.r);
            EXPECT_EQ(result.b, result.r);
            EXPECT_EQ(result.a, 1.0f);
        }
    }
}

// Range 2 to 10, scaled by a vertex vector (end only) or by the texel's
// alpha (both ends). Without a texel the range stays as it is.
TEST_F(OskacolorAttenuation, RangeScaling) {
    struct Case {
        const char *name;
        bool texel_alpha, fail_lookup;
        double distance;
        oska_boolean accepted;
        float factor;
    };
    const Case cases[] = {
        {"vertex: end halved", false, false, 6.0, 0, 0},
        {"vertex: inside", false, false, 3.5, 1, 0.5f},
        {"texel: both ends halved", true, false, 3.0, 1, 0.5f},
        {"texel: end halved", true, false, 5.0, 0, 0},
        {"texel lookup failed", true, true, 6.0, 1, 0.5f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        set_decay(1, 2.0f, 10.0f);
        if (c.texel_alpha) {
            params().use_texture = params().use_alpha = params().texture_range = 1;
            params().alpha_scale = 2.0f; // alpha 0.5, and the texel white once scaled
            params().texture = host.add_texture({1, 1, {{2, 2, 2, 0.25f}}});
        } else {
            params().use_vertex_color = params().vc_range = 1;
            params().vc_range_channel = 1;
        }
        init();
        host.fail_texture_lookups(c.fail_lookup);
        set_vectors({{0.5f, 0.5f, 0}, {}, {0.5f, 9, 9}});
        state().distance = c.distance;
        const oska_color result = evaluate(c.accepted);
        if (c.accepted) {
            EXPECT_FLOAT_EQ(result.g, c.factor);
        }
        EXPECT_EQ(host.count("mi_luminance"), 0);
    }
}

TEST_F(OskacolorAttenuation, ThresholdComesBeforeTheShadowRay) {
    struct Case {
        float threshold;
        oska_color color;
        oska_boolean accepted;
    };
    const Case cases[] = {
        {0.1f, {0.05f, 0.1f, 0.0f, 1}, 1},    // equal passes
        {0.1f, {0.0999f, 0.05f, 0.0f, 1}, 0}, // below
        {0.1f, {0.0f, 0.0f, 0.2f, 1}, 1},     // blue is the largest
        {0.0f, {-1.0f, -1.0f, -1.0f, 1}, 1},  // 0: no test
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.threshold);
        restart();
        params().threshold = c.threshold;
        params().color = c.color;
        params().shadows = params().max_level = 1;
        init();
        host.set_shadow(1, {1, 1, 1, 1});
        evaluate(c.accepted);
        EXPECT_EQ(host.count("mi_trace_shadow"), c.accepted);
    }
}

TEST_F(OskacolorAttenuation, TraceLevelLimit) {
    struct Case {
        oska_integer max_level, reflection, refraction;
        bool traced;
    };
    const Case cases[] = {{0, 0, 0, false}, {2, 1, 1, true},   {2, 2, 0, false},
                          {2, 0, 2, false}, {2, -1, -5, true}, {-1, -1, -2, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.max_level << " " << c.reflection << " " << c.refraction);
        restart();
        params().shadows = 1;
        params().max_level = c.max_level;
        init();
        state().reflection_level = c.reflection;
        state().refraction_level = c.refraction;
        host.set_shadow(0, {0, 0, 0, 0}); // fully shadowed, black
        const oska_color result = evaluate();
        EXPECT_EQ(host.count("mi_trace_shadow"), c.traced ? 1 : 0);
        EXPECT_EQ(result.r, c.traced ? 0.0f : 1.0f);
    }
}

TEST_F(OskacolorAttenuation, ShadowMix) {
    struct Case {
        const char *name;
        oska_boolean traced;
        oska_color transmission, shadow;
        float r, g, b;
    };
    const Case cases[] = {
        {"trace failed", 0, {1, 1, 1, 1}, {0.2f, 0.4f, 0.6f, 0}, 0.2f, 0.4f, 0.6f},
        {"nothing through", 1, {0, 0, 0, 1}, {0.2f, 0.4f, 0.6f, 0}, 0.2f, 0.4f, 0.6f},
        {"black shadow halved", 1, {0.5f, 0.5f, 0.5f, 0}, {0, 0, 0, 0}, 0.5f, 0.5f, 0.5f},
        {"white shadow", 1, {0.3f, 0.1f, 0.9f, 0}, {1, 1, 1, 1}, 1, 1, 1},
        {"red through", 1, {0.5f, 0, 0, 0}, {0.2f, 0.2f, 0.2f, 0}, 0.6f, 0.2f, 0.2f},
        {"blue through", 1, {0, 0, 0.5f, 0}, {0.2f, 0.2f, 0.2f, 0}, 0.2f, 0.2f, 0.6f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        params().shadows = params().max_level = 1;
        params().shadow_color = c.shadow;
        params().color = {1, 1, 1, 0.5f};
        init();
        host.set_shadow(c.traced, c.transmission);
        const oska_color result = evaluate();
        EXPECT_COLOR_NEAR(result, 0.5f * c.r, 0.5f * c.g, 0.5f * c.b, 0.5f);
    }
}

// Fully shadowed, so the result is the source times the shadow colour
// (r, g, b of the table).
TEST_F(OskacolorAttenuation, ShadowColourFromVertexOrTint) {
    struct Case {
        const char *name;
        bool vertex, vc_shadow_present, fail_lookup;
        float r, g, b;
    };
    const Case cases[] = {
        {"vertex shadow, tint ignored", true, true, false, 0.25f, 0.5f, 0.5f},
        {"vertex shadow missing: the parameter", true, false, false, 0.5f, 0.5f, 0.5f},
        {"tinted by the texel", false, false, false, 0.25f, 0.5f, 1.0f},
        {"texel lookup failed: untinted", false, false, true, 0.5f, 0.5f, 0.5f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        params().shadows = params().max_level = params().tint_shadow = 1;
        params().shadow_color = {0.5f, 0.5f, 0.5f, 1};
        const oska_color source = {0.5f, 1.0f, 2.0f, 1};
        if (c.vertex) {
            params().use_vertex_color = params().vc_color = params().vc_shadow = 1;
            params().vc_color_channel = 1;
            params().vc_shadow_channel = c.vc_shadow_present ? 2 : 3;
        } else {
            params().use_texture = 1;
            params().texture = host.add_texture({1, 1, {source}});
        }
        init();
        host.set_shadow(0, {0, 0, 0, 0});
        host.fail_texture_lookups(c.fail_lookup);
        set_vectors({{0.5f, 0.5f, 0}, {}, {source.r, source.g, source.b}, {}, {0.25f, 0.5f, 0.5f}});
        const oska_color result = evaluate();
        const float sr = c.fail_lookup ? 1.0f : source.r, sg = c.fail_lookup ? 1.0f : source.g,
                    sb = c.fail_lookup ? 1.0f : source.b;
        EXPECT_COLOR_NEAR(result, sr * c.r, sg * c.g, sb * c.b, 1.0f);
    }
}

// The sample and the parent are read from the state itself when the host
// gives no separate record.
TEST_F(OskacolorAttenuation, StateWithoutSampleOrParentRecord) {
    params().directional = params().cosine = params().shadows = 1;
    params().max_level = 1;
    init();
    state().sample = nullptr;
    state().parent = nullptr;
    state().orientation = 1;
    state().emission_dot = -0.5f;
    state().reflection_level = 1; // at the limit: no trace
    const oska_color result = evaluate();
    EXPECT_COLOR_EQ(result, 0.5f, 0.5f, 0.5f, 1.0f);
    EXPECT_EQ(host.count("mi_trace_shadow"), 0);
}

// Many threads evaluating one instance share its settings read-only and get
// exactly the single-thread result.
TEST_F(OskacolorAttenuation, ConcurrentEvaluationsAgreeWithOneThread) {
    params().use_texture = params().tint_shadow = 1;
    params().texture = host.add_texture({2, 1, {{0.9f, 0.6f, 0.3f, 1}, {0.2f, 0.4f, 0.8f, 1}}});
    set_hsv(params(), 0.1f, -0.2f, 0.0f);
    set_burn(params(), 1.5f, 0.0f, 1.0f);
    set_decay(OSKA_DECAY_LINEAR, 1.0f, 9.0f);
    params().shadows = params().max_level = 1;
    params().shadow_color = {0.1f, 0.2f, 0.3f, 1};
    init();
    host.set_shadow(1, {0.25f, 0.5f, 0.75f, 1});
    host.set_logging(false);
    set_vectors({{0.75f, 0.5f, 0}});
    state().distance = 3.3;

    oska_color expected;
    ASSERT_EQ(shade(expected), 1);
    constexpr int kThreads = 8;
    constexpr int kEvaluations = 2000;
    int mismatches[kThreads] = {};
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            oska_state own = state(); // links to the shared sample and parent
            for (int i = 0; i < kEvaluations; ++i) {
                oska_color result = {};
                const oska_boolean accepted = lib.oskacolor(&result, &own, &params());
                if (accepted != 1 || std::memcmp(&result, &expected, sizeof result) != 0) {
                    ++mismatches[t];
                }
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(mismatches[t], 0) << "thread " << t;
    }
}

} // namespace
} // namespace oska::test
