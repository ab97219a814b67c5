// oskacolor evaluation, first half: the early answer for rays that are not
// light rays, the directional gate, vertex intensity and the colour source
// (vertex colour or texel, with HSV, burn and alpha).
#include "oskacolor_fixture.h"

#include <cmath>
#include <limits>

namespace oska::test {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

using OskacolorEmission = OskacolorTest;

// Nothing of the colour source, decay, threshold or shadow reaches such rays.
TEST_F(OskacolorEmission, OtherRaysGetTheBaseColour) {
    struct Case {
        const char *name;
        oska_boolean directional;
        oska_integer decay;
        float divisor;
        oska_color color, expected;
    };
    const Case cases[] = {
        {"directional: alpha x100", 1, 0, 2.0f, {1, 0.5f, 0.25f, 0.5f}, {50, 25, 12.5f, 50}},
        {"directional: alpha 0", 1, 0, 2.0f, {1, 0.5f, 0.25f, 0}, {1, 0.5f, 0.25f, 0}},
        {"directional physical", 1, 3, 2.0f, {1, 0.5f, 0.25f, 0.5f}, {25, 12.5f, 6.25f, 50}},
        {"plain", 0, 0, 2.0f, {1, 0.5f, 0.25f, 0.5f}, {1, 0.5f, 0.25f, 0.5f}},
        {"plain physical", 0, 3, 2.0f, {1, 0.5f, 0.25f, 0.5f}, {0.5f, 0.25f, 0.125f, 0.5f}},
        // 0.0001 as a float lies just below the double 0.0001.
        {"divisor 0.0001f", 0, 3, 0.0001f, {1, 0.5f, 0.25f, 0.5f}, {1, 0.5f, 0.25f, 0.5f}},
        {"divisor 0.0002f",
         0,
         3,
         0.0002f,
         {1, 0.5f, 0.25f, 0.5f},
         {1 / 0.0002f, 0.5f / 0.0002f, 0.25f / 0.0002f, 0.5f}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        restart({}, c.divisor);
        params().directional = c.directional;
        params().decay = c.decay;
        params().color = c.color;
        params().shadows = params().max_level = 1;
        params().threshold = 1000.0f;
        init();
        state().ray_kind = OSKA_RAY_EYE;
        const oska_color result = evaluate();
        EXPECT_COLOR_EQ(result, c.expected.r, c.expected.g, c.expected.b, c.expected.a);
        EXPECT_EQ(host.count("mi_trace_shadow"), 0);
    }
}

TEST_F(OskacolorEmission, DirectionalGateAndCosine) {
    struct Case {
        const char *name;
        unsigned char orientation;
        float emission_dot, cutoff;
        oska_boolean cosine;
        oska_boolean accepted;
        float rgb;
    };
    const Case cases[] = {
        {"facing away", 0, -0.9f, 0.0f, 0, 0, 0},
        {"cosine equal to cutoff", 1, -0.5f, 0.5f, 0, 0, 0},
        {"cosine below cutoff", 1, -0.4f, 0.5f, 0, 0, 0},
        {"beyond cutoff", 1, -0.5f, 0.0f, 0, 1, 1.0f},
        {"weighted by the cosine", 1, -0.5f, 0.0f, 1, 1, 0.5f},
        {"NaN cutoff passes", 1, -0.5f, kNaN, 1, 1, 0.5f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        params().directional = 1;
        params().cosine = c.cosine;
        params().cutoff = c.cutoff;
        init();
        state().orientation = c.orientation;
        state().emission_dot = c.emission_dot;
        const oska_color result = evaluate(c.accepted);
        if (c.accepted) {
            EXPECT_COLOR_EQ(result, c.rgb, c.rgb, c.rgb, 1.0f);
        }
    }
}

// Channel 1 is entry 2; a channel the sample lacks leaves the alpha alone.
TEST_F(OskacolorEmission, VertexIntensityScalesTheAlpha) {
    for (oska_boolean directional : {0, 1}) {
        for (oska_integer channel : {1, 2, -1, 0x40000000}) {
            SCOPED_TRACE(testing::Message()
                         << "directional " << directional << " channel " << channel);
            restart();
            params().directional = directional;
            params().cutoff = -1.0f;
            params().use_vertex_color = params().vc_intensity = 1;
            params().vc_intensity_channel = channel;
            init();
            state().orientation = 1;
            set_vectors({{0, 0, 0}, {0, 0, 0}, {0.5f, 9, 9}, {0, 0, 0}}); // 4 entries
            const oska_color result = evaluate();
            const float alpha = channel == 1 ? 0.5f : 1.0f;
            EXPECT_COLOR_EQ(result, alpha, alpha, alpha, alpha);
        }
    }
}

// A single-texel texture, looked up only strictly inside the unit square;
// otherwise, and when the lookup fails, the sample stays untextured.
TEST_F(OskacolorEmission, TextureCoordinateBoundaries) {
    struct Case {
        const char *name;
        std::vector<oska_vector> vectors;
        bool fail_lookup;
        bool textured;
    };
    const Case cases[] = {
        {"inside, z ignored", {{0.5f, 0.5f, 7.0f}}, false, true},
        {"just inside", {{1e-7f, 0.9999999f, 0}}, false, true},
        {"x 0", {{0.0f, 0.5f, 0}}, false, false},
        {"x 1", {{1.0f, 0.5f, 0}}, false, false},
        {"y 0", {{0.5f, 0.0f, 0}}, false, false},
        {"y 1", {{0.5f, 1.0f, 0}}, false, false},
        {"NaN x", {{kNaN, 0.5f, 0}}, false, false},
        {"no vector list", {}, false, false},
        {"lookup fails", {{0.5f, 0.5f, 0}}, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        params().use_texture = 1;
        params().texture = host.add_texture({1, 1, {{0.5f, 0.25f, 2.0f, 0.0f}}});
        init();
        set_vectors(c.vectors);
        host.fail_texture_lookups(c.fail_lookup);
        const oska_color result = evaluate();
        if (c.textured) {
            EXPECT_COLOR_EQ(result, 0.5f, 0.25f, 2.0f, 1.0f);
        } else {
            EXPECT_COLOR_EQ(result, 1.0f, 1.0f, 1.0f, 1.0f);
        }
        const bool asked = c.textured || c.fail_lookup;
        EXPECT_EQ(host.count("mi_lookup_color_texture"), asked ? 1 : 0);
    }
}

// The adjustments act on the colour source, which then multiplies the
// result (white, alpha 0.5, so the intensity is 0.5).
TEST_F(OskacolorEmission, SourceAdjustments) {
    // An adjustment factor of 0 leaves its switch off.
    struct Case {
        const char *name;
        bool texture;
        oska_color source;
        float value, burn_multiplier, alpha_scale;
        oska_color expected;
    };
    const Case cases[] = {
        {"vertex colour", false, {0.5f, 0.25f, 1, 0}, 0, 0, 0, {0.25f, 0.125f, 0.5f, 0.5f}},
        {"HSV: value doubled", false, {0.5f, 0.25f, 0, 0}, 1.0f, 0, 0, {0.5f, 0.25f, 0, 0.5f}},
        {"burn to twice", false, {1, 1, 1, 0}, 0, 2.0f, 0, {1, 1, 1, 0.5f}},
        {"texel alpha scaled", true, {0.5f, 0.5f, 0.5f, 0.5f}, 0, 0, 4, {0.5f, 0.5f, 0.5f, 0.5f}},
        {"texel alpha unused", true, {0.5f, 0.5f, 0.5f, 0.25f}, 0, 0, 0, {.25f, .25f, .25f, .5f}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        oskacolor_params &p = params();
        p.color = {1, 1, 1, 0.5f};
        p.hsv_adjust = c.value != 0.0f;
        p.value = c.value;
        p.burn = c.burn_multiplier != 0.0f;
        p.burn_multiplier = c.burn_multiplier;
        p.burn_power = 1.0f;
        p.use_alpha = c.alpha_scale != 0.0f;
        p.alpha_scale = c.alpha_scale;
        if (c.texture) {
            params().use_texture = 1;
            params().texture = host.add_texture({1, 1, {c.source}});
            set_vectors({{0.5f, 0.5f, 0}});
        } else {
            params().use_vertex_color = params().vc_color = 1;
            params().vc_color_channel = 1;
            set_vectors({{0.5f, 0.5f, 0}, {}, {c.source.r, c.source.g, c.source.b}});
        }
        init();
        const oska_color result = evaluate();
        EXPECT_COLOR_NEAR(result, c.expected.r, c.expected.g, c.expected.b, c.expected.a);
    }
}

TEST_F(OskacolorEmission, VertexColourChannelOutsideTheListLeavesTheSampleUntextured) {
    params().use_vertex_color = params().vc_color = params().hsv_adjust = 1;
    params().vc_color_channel = 2; // entry 4 of a list of 3
    params().value = 1.0f;
    init();
    set_vectors({{0.5f, 0.5f, 0}, {}, {0.25f, 0.25f, 0.25f}});
    const oska_color result = evaluate();
    EXPECT_COLOR_EQ(result, 1.0f, 1.0f, 1.0f, 1.0f);
    EXPECT_EQ(shader_->evaluations(OSKACOLOR_AT(value)), 0);
}

// Every parameter attached: the log shows the reads of one evaluation, in
// order, and that nothing beyond the path's needs is read.
TEST_F(OskacolorEmission, EvaluationReadsWhatItsPathUsesInOrder) {
    const auto phen = [](std::size_t at) { return "mi_phen_eval(+" + std::to_string(at) + ")"; };
    struct Case {
        const char *name;
        void (*configure)(oskacolor_params &);
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"texture, HSV, burn, alpha, linear range, tinted shadow",
         [](oskacolor_params &p) {
             p.use_texture = p.hsv_adjust = p.burn = p.use_alpha = p.texture_range = 1;
             p.tint_shadow = p.shadows = 1;
             p.decay = 1;
         },
         {"mi_query", phen(OSKACOLOR_AT(color)), "mi_lookup_color_texture", phen(OSKACOLOR_AT(hue)),
          phen(OSKACOLOR_AT(saturation)), phen(OSKACOLOR_AT(value)),
          phen(OSKACOLOR_AT(burn_multiplier)), phen(OSKACOLOR_AT(burn_threshold)),
          phen(OSKACOLOR_AT(burn_power)), phen(OSKACOLOR_AT(alpha_scale)),
          phen(OSKACOLOR_AT(decay_start)), phen(OSKACOLOR_AT(decay_end)),
          phen(OSKACOLOR_AT(range_gamma)), phen(OSKACOLOR_AT(shadow_color)), "mi_trace_shadow"}},
        {"texture range by luminance",
         [](oskacolor_params &p) {
             p.use_texture = p.texture_range = 1;
             p.decay = 2;
         },
         {"mi_query", phen(OSKACOLOR_AT(color)), "mi_lookup_color_texture",
          phen(OSKACOLOR_AT(decay_start)), phen(OSKACOLOR_AT(decay_end)), "mi_luminance",
          phen(OSKACOLOR_AT(range_gamma))}},
        {"directional, physical, shadows",
         [](oskacolor_params &p) {
             p.directional = p.shadows = 1;
             p.decay = 3;
         },
         {"mi_query", phen(OSKACOLOR_AT(color)), phen(OSKACOLOR_AT(cutoff)),
          phen(OSKACOLOR_AT(decay_start)), phen(OSKACOLOR_AT(shadow_color)), "mi_trace_shadow"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        c.configure(params());
        params().texture = host.add_texture({1, 1, {{0.5f, 0.5f, 0.5f, 1.0f}}});
        params().max_level = 5;
        init();
        shader_->attach(OSKACOLOR_AT(color), oska_color{1, 1, 1, 1});
        shader_->attach(OSKACOLOR_AT(shadow_color), oska_color{0, 0, 0, 0});
        for (std::size_t at : {OSKACOLOR_AT(hue), OSKACOLOR_AT(saturation), OSKACOLOR_AT(value),
                               OSKACOLOR_AT(burn_threshold), OSKACOLOR_AT(burn_power),
                               OSKACOLOR_AT(decay_start), OSKACOLOR_AT(range_gamma)}) {
            shader_->attach(at, 0.0f);
        }
        shader_->attach(OSKACOLOR_AT(burn_multiplier), 1.0f);
        shader_->attach(OSKACOLOR_AT(alpha_scale), 1.0f);
        shader_->attach(OSKACOLOR_AT(decay_end), 100.0f);
        shader_->attach(OSKACOLOR_AT(cutoff), -1.0f);
        state().distance = 1.0;
        state().orientation = 1;
        state().emission_dot = -1.0f;
        set_vectors({{0.5f, 0.5f, 0}});
        host.clear_calls();

        evaluate();
        std::vector<std::string> seen;
        for (const std::string &call : host.calls()) {
            seen.push_back(call.rfind("mi_phen_eval", 0) == 0 ? call
                                                              : call.substr(0, call.find('(')));
        }
        EXPECT_EQ(seen, c.expected);
    }
}

} // namespace
} // namespace oska::test
