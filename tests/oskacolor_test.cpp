// oskacolor_init and oskacolor_exit: what the settings block holds, the
// order in which init reads and asks, the object-light refusal, and the
// block's life through allocation failures and repeated exits.
#include "oskacolor_fixture.h"

#include <climits>

namespace oska::test {
namespace {

using host::Level;

std::string query(int request, oska_tag tag) {
    return "mi_query(" + std::to_string(request) + ", " + std::to_string(tag) + ")";
}
std::string phen(std::size_t offset) { return "mi_phen_eval(+" + std::to_string(offset) + ")"; }

class OskacolorInit : public OskacolorTest {
  protected:
    // A light of exponent 1.5 whose instance has emit divisor 2.5, and an
    // instance initialised with every parameter read at init attached, so
    // the log shows each read: every switch on, decay 3, threshold 0.25,
    // trace depth 3, a texture of one grey texel, vertex channels 4
    // (colour), 0 (intensity), 3 (range) and 5 (shadow). `vertex` chooses
    // the colour-source branch.
    void init_attached(bool vertex) {
        restart({OSKA_AREA_OBJECT, 1.5f}, 2.5f);
        for (std::size_t at :
             {OSKACOLOR_AT(shadows), OSKACOLOR_AT(use_alpha), OSKACOLOR_AT(burn),
              OSKACOLOR_AT(hsv_adjust), OSKACOLOR_AT(texture_range), OSKACOLOR_AT(tint_shadow),
              OSKACOLOR_AT(directional), OSKACOLOR_AT(cosine), OSKACOLOR_AT(use_texture),
              OSKACOLOR_AT(vc_color), OSKACOLOR_AT(vc_intensity), OSKACOLOR_AT(vc_range),
              OSKACOLOR_AT(vc_shadow)}) {
            shader_->attach(at, oska_boolean{1});
        }
        shader_->attach(OSKACOLOR_AT(decay), oska_integer{3});
        shader_->attach(OSKACOLOR_AT(use_vertex_color), oska_boolean{vertex});
        shader_->attach(OSKACOLOR_AT(threshold), 0.25f);
        shader_->attach(OSKACOLOR_AT(max_level), oska_integer{3});
        shader_->attach(OSKACOLOR_AT(texture),
                        host.add_texture({1, 1, {{0.5f, 0.5f, 0.5f, 1.0f}}}));
        shader_->attach(OSKACOLOR_AT(vc_color_channel), oska_integer{4});
        shader_->attach(OSKACOLOR_AT(vc_intensity_channel), oska_integer{0});
        shader_->attach(OSKACOLOR_AT(vc_range_channel), oska_integer{3});
        shader_->attach(OSKACOLOR_AT(vc_shadow_channel), oska_integer{5});
        init();
    }

    // A fully shadowed light ray 4 away, under a shadow colour of 0.5, with
    // the value doubled, a burn to twice as bright, the texel alpha taken
    // as it is and a linear range to 10, from a sample with vertex data.
    oska_color shadowed_light_ray() {
        oskacolor_params &p = params();
        p.value = 1.0f;
        p.burn_multiplier = 2.0f;
        p.alpha_scale = 1.0f;
        p.decay_end = 10.0f;
        p.shadow_color = {0.5f, 0.5f, 0.5f, 1.0f};
        host.set_shadow(0, {0, 0, 0, 0});
        state().distance = 4.0;
        std::vector<oska_vector> vectors(11);
        vectors[0] = {0.5f, 0.5f, 0};        // channel 0, and the texture coordinate
        vectors[6] = {0.8f, 9, 9};           // channel 3
        vectors[8] = {0.5f, 0.25f, 0.125f};  // channel 4
        vectors[10] = {0.25f, 0.25f, 0.25f}; // channel 5
        set_vectors(vectors);
        host.clear_calls();
        return evaluate();
    }
};

TEST_F(OskacolorInit, ShaderWideCallsOnlyAskForInstanceCalls) {
    oska_boolean init_req = 0;
    lib.oskacolor_init(state_, nullptr, &init_req);
    lib.oskacolor_exit(state_, nullptr);
    EXPECT_EQ(init_req, 1);
    EXPECT_TRUE(host.calls().empty());
}

TEST_F(OskacolorInit, ReadsAndAsksInOrder) {
    struct Branch {
        const char *name;
        bool vertex;
        std::vector<std::size_t> reads;
    };
    const Branch branches[] = {
        {"vertex colour",
         true,
         {OSKACOLOR_AT(vc_color), OSKACOLOR_AT(vc_color_channel), OSKACOLOR_AT(hsv_adjust),
          OSKACOLOR_AT(tint_shadow), OSKACOLOR_AT(burn), OSKACOLOR_AT(vc_intensity),
          OSKACOLOR_AT(vc_intensity_channel), OSKACOLOR_AT(vc_range),
          OSKACOLOR_AT(vc_range_channel), OSKACOLOR_AT(vc_shadow),
          OSKACOLOR_AT(vc_shadow_channel)}},
        {"texture",
         false,
         {OSKACOLOR_AT(texture), OSKACOLOR_AT(use_alpha), OSKACOLOR_AT(tint_shadow),
          OSKACOLOR_AT(burn), OSKACOLOR_AT(hsv_adjust), OSKACOLOR_AT(texture_range)}},
    };
    for (const Branch &branch : branches) {
        SCOPED_TRACE(branch.name);
        init_attached(branch.vertex);
        std::vector<std::string> expected = {
            "mi_mem_int_allocate(oskacolor, 70, 100)",
            query(OSKA_QUERY_SETTINGS_SLOT, 0),
            query(OSKA_QUERY_INSTANCE_LIGHT, light_instance_),
            phen(OSKACOLOR_AT(decay)),
            query(OSKA_QUERY_LIGHT_EXPONENT, light_),
            query(OSKA_QUERY_LIGHT_AREA, light_),
            query(OSKA_QUERY_EMIT_DIVISOR, light_instance_),
            phen(OSKACOLOR_AT(use_vertex_color)),
            phen(OSKACOLOR_AT(directional)),
            phen(OSKACOLOR_AT(cosine)),
            phen(OSKACOLOR_AT(threshold)),
            phen(OSKACOLOR_AT(max_level)),
            phen(OSKACOLOR_AT(use_texture)),
        };
        for (std::size_t at : branch.reads) {
            expected.push_back(phen(at));
        }
        expected.push_back(phen(OSKACOLOR_AT(shadows)));
        EXPECT_EQ(host.calls(), expected);
    }
}

// What the host and the attached parameters gave at init is what the
// evaluations use.
TEST_F(OskacolorInit, EvaluationsUseWhatInitRead) {
    for (bool vertex : {true, false}) {
        SCOPED_TRACE(vertex ? "vertex colour" : "texture");
        init_attached(vertex);

        // An eye ray: a hundredfold (directional), over the divisor
        // (physical).
        state().ray_kind = OSKA_RAY_EYE;
        params().color = {4.0f, 4.0f, 4.0f, 1.0f};
        EXPECT_COLOR_EQ(evaluate(), 160.0f, 160.0f, 160.0f, 100.0f);

        // A light ray from the front at distance 1/4, emission cosine 1/2:
        // colour 4 times the intensity (1/2 by vertex channel 0, or 1 under
        // the grey texel), times the cosine (weighted), times the cosine over
        // 4 pi distance^1.5 (physical with the light's exponent).
        state().ray_kind = OSKA_RAY_LIGHT;
        state().orientation = 1;
        state().emission_dot = -0.5f;
        state().distance = 0.25;
        set_vectors({{0.5f, 0.5f, 0}, {}, {}, {}, {}, {}, {}, {}, {1, 1, 1}, {}, {}});
        params().alpha_scale = 1.0f;
        host.clear_calls();
        const float lit = 0.5f / (0.125f * kFourPi);
        EXPECT_COLOR_NEAR(evaluate(), lit, lit, lit, vertex ? 0.5f : 1.0f);
        EXPECT_EQ(host.count("mi_lookup_color_texture"), vertex ? 0 : 1);

        // Shadows traced below trace depth 3 only.
        for (int level : {3, 2}) {
            host.clear_calls();
            state().reflection_level = level;
            evaluate();
            EXPECT_EQ(host.count("mi_trace_shadow"), level < 3 ? 1 : 0) << "level " << level;
        }

        // Threshold 0.25.
        for (float brightness : {0.249f, 0.251f}) {
            SCOPED_TRACE(brightness);
            const float scale = 4.0f * brightness / lit;
            params().color = {scale, scale, scale, 1.0f};
            evaluate(brightness > 0.25f);
        }
    }
}

// The invariants between the two colour-source branches: the vertex branch
// wins, a zero texture tag ends the texture branch, and the adjustments
// (burn, HSV, tint) exist only with a colour source. The switches of both
// branches are attached, so the log shows which init read; a fully shadowed
// light ray shows what the branch taken does.
TEST_F(OskacolorInit, BranchRules) {
    struct Case {
        const char *name;
        oska_boolean use_vertex_color, use_texture, vc_color;
        bool zero_texture;
        bool texture_fields, adjustments, vertex_fields;
        float r, g, b; // alpha: 0.5 with vertex data, else 1
    };
    // Untextured: 1 (intensity) x 0.6 (range) x 0.5 (shadow colour). The
    // texel (0.5, 0.25, 0.125, alpha 0.8): value doubled, burned, times its
    // alpha, sets the range end to 8 (x 0.5) and tints the shadow. Vertex
    // data: intensity 0.5, colour adjusted as the texel, range end 8, shadow
    // colour 0.25.
    const Case cases[] = {
        {"no source", 0, 0, 1, false, false, false, false, 0.3f, 0.3f, 0.3f},
        {"texture", 0, 1, 1, false, true, true, false, 0.64f, 0.16f, 0.04f},
        {"texture without tag", 0, 1, 1, true, false, false, false, 0.3f, 0.3f, 0.3f},
        {"vertex over texture", 1, 1, 1, false, false, true, true, 0.125f, 0.0625f, 0.03125f},
        {"vertex without colour", 1, 0, 0, false, false, false, true, 0.0625f, 0.0625f, 0.0625f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        oskacolor_params &p = params();
        set_vertex_channels(p, 4, 0, 3, 5);
        p.use_vertex_color = c.use_vertex_color;
        p.use_texture = c.use_texture;
        p.texture = c.zero_texture ? 0 : host.add_texture({1, 1, {{0.5f, 0.25f, 0.125f, 0.8f}}});
        p.vc_color = c.vc_color;
        for (std::size_t at :
             {OSKACOLOR_AT(use_alpha), OSKACOLOR_AT(texture_range), OSKACOLOR_AT(burn),
              OSKACOLOR_AT(hsv_adjust), OSKACOLOR_AT(tint_shadow)}) {
            shader_->attach(at, oska_boolean{1});
        }
        p.decay = 1;
        p.shadows = p.max_level = 1;
        init();

        const int texture_reads = c.texture_fields ? 1 : 0;
        const int adjustment_reads = c.adjustments ? 1 : 0;
        EXPECT_EQ(shader_->evaluations(OSKACOLOR_AT(use_alpha)), texture_reads);
        EXPECT_EQ(shader_->evaluations(OSKACOLOR_AT(texture_range)), texture_reads);
        EXPECT_EQ(shader_->evaluations(OSKACOLOR_AT(burn)), adjustment_reads);
        EXPECT_EQ(shader_->evaluations(OSKACOLOR_AT(hsv_adjust)), adjustment_reads);
        EXPECT_EQ(shader_->evaluations(OSKACOLOR_AT(tint_shadow)), adjustment_reads);
        EXPECT_COLOR_NEAR(shadowed_light_ray(), c.r, c.g, c.b, c.vertex_fields ? 0.5f : 1.0f);
        EXPECT_EQ(host.count("mi_lookup_color_texture"), texture_reads);
    }
}

// The decay mode is fixed at init: a light ray 4 away from the front meets
// its law (range 0 to 10; exponent 2), and only the physical mode divides
// what other rays see by the emit divisor.
TEST_F(OskacolorInit, PhysicalForDecayThreeOnly) {
    struct Case {
        oska_integer decay;
        float light_ray;
    };
    const Case cases[] = {{0, 1.0f}, {1, 0.6f},  {2, 0.0625f},   {3, 1.0f / (16.0f * kFourPi)},
                          {4, 1.0f}, {-3, 1.0f}, {INT_MIN, 1.0f}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.decay);
        restart({}, 2.0f);
        set_decay(c.decay, 0.0f, 10.0f);
        init();
        params().decay = c.decay == 1 ? 2 : 1; // too late
        state().distance = 4.0;
        state().emission_dot = -1.0f;
        EXPECT_FLOAT_EQ(evaluate().r, c.light_ray);
        state().ray_kind = OSKA_RAY_EYE;
        EXPECT_EQ(evaluate().r, c.decay == 3 ? 0.5f : 1.0f);
        end_instance();
    }
}

TEST_F(OskacolorInit, NegativeChannelOfAnEnabledFeatureWarnsOnce) {
    params().use_vertex_color = 1;
    params().vc_color = params().vc_intensity = params().vc_shadow = 1;
    params().vc_color_channel = -1;
    params().vc_intensity_channel = 2;
    params().vc_range_channel = -4; // vc_range off: no warning
    params().vc_shadow_channel = -2;
    init();
    const std::vector<std::string> expected = {
        "oskacolor-> vertex channel -1 of vc_color is negative: the feature is off",
        "oskacolor-> vertex channel -2 of vc_shadow is negative: the feature is off"};
    EXPECT_EQ(host.texts(Level::warning), expected);
    EXPECT_TRUE(host.texts(Level::error).empty());
}

// Refused: one error, no emit-divisor request, and an instance that still
// evaluates, with every switch read after the light check off.
TEST_F(OskacolorInit, RefusesLightsThatAreNotObjectLights) {
    for (bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "area kind never written" : "area kind 2");
        restart({silent ? OSKA_AREA_OBJECT : 2, 3.0f}, 2.0f);
        host.silence_query(OSKA_QUERY_LIGHT_AREA, silent);
        params().decay = 3;
        params().use_vertex_color = params().directional = params().cosine = params().shadows = 1;
        params().vc_intensity = 1;
        params().threshold = 0.5f;
        init();

        EXPECT_EQ(
            host.texts(Level::error),
            std::vector<std::string>{"oskacolor-> this shader works only with object lights"});
        EXPECT_EQ(host.count("mi_error"), 1);
        EXPECT_TRUE(calls_of(query(OSKA_QUERY_EMIT_DIVISOR, light_instance_).c_str()).empty());

        // Not directional, so neither the eye ray's hundredfold nor the gate
        // of a sample facing away; not physical, so no divisor and decay 3
        // does not apply; no vertex intensity, no threshold, no shadow.
        params().color = {0.25f, 0.25f, 0.25f, 1.0f};
        set_vectors({{0.5f, 0.5f, 0}});
        state().ray_kind = OSKA_RAY_EYE;
        EXPECT_COLOR_EQ(evaluate(), 0.25f, 0.25f, 0.25f, 1.0f);
        state().ray_kind = OSKA_RAY_LIGHT;
        state().distance = 2.0;
        EXPECT_COLOR_EQ(evaluate(), 0.25f, 0.25f, 0.25f, 1.0f);
        EXPECT_EQ(host.count("mi_trace_shadow"), 0);
        end_instance();
        EXPECT_TRUE(host.leaks().empty());
    }
}

TEST_F(OskacolorInit, InitParametersAreEvaluatedOnceEvaluationParametersEveryCall) {
    shader_->attach(OSKACOLOR_AT(threshold), 0.01f);
    shader_->attach(OSKACOLOR_AT(shadows), oska_boolean{0});
    shader_->attach(OSKACOLOR_AT(color), oska_color{0.5f, 0.5f, 0.5f, 1.0f});
    init();
    oska_color result;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(shade(result), 1);
    }
    EXPECT_COLOR_EQ(result, 0.5f, 0.5f, 0.5f, 1.0f);
    EXPECT_EQ(shader_->evaluations(OSKACOLOR_AT(threshold)), 1);
    EXPECT_EQ(shader_->evaluations(OSKACOLOR_AT(shadows)), 1);
    EXPECT_EQ(shader_->evaluations(OSKACOLOR_AT(color)), 3);
}

using OskacolorLifecycle = OskacolorTest;

TEST_F(OskacolorLifecycle, FailedAllocationLeavesTheInstanceWithoutBlock) {
    host.fail_allocations(1);
    init();
    EXPECT_EQ(shader_->settings, nullptr);
    EXPECT_EQ(host.texts(Level::error),
              std::vector<std::string>{"oskacolor-> cannot allocate the instance settings"});
    EXPECT_TRUE(calls_of("mi_query(7").empty());

    oska_color result;
    EXPECT_EQ(shade(result), 0);
    EXPECT_COLOR_EQ(result, -7.0f, -7.0f, -7.0f, -7.0f);
    end_instance();
    EXPECT_EQ(host.count("mi_mem_int_release"), 0);
    EXPECT_TRUE(host.allocator_errors().empty());
}

TEST_F(OskacolorLifecycle, NoSettingsSlotGivesTheBlockBack) {
    host.silence_query(OSKA_QUERY_SETTINGS_SLOT, true);
    init();
    EXPECT_EQ(host.texts(Level::error),
              std::vector<std::string>{"oskacolor-> the host keeps no settings for this instance"});
    EXPECT_EQ(calls_of("mi_mem_int_release"),
              std::vector<std::string>{"mi_mem_int_release(oskacolor, 190)"});
    EXPECT_TRUE(host.leaks().empty());
    oska_color result;
    EXPECT_EQ(shade(result), 0);
    EXPECT_COLOR_EQ(result, -7.0f, -7.0f, -7.0f, -7.0f);
    end_instance();
    EXPECT_EQ(host.releases(), 1);
}

TEST_F(OskacolorLifecycle, EvaluationWithoutBlockTouchesNothing) {
    oska_color result;
    EXPECT_EQ(shade(result), 0); // never initialised
    init();
    end_instance();
    host.clear_calls();
    EXPECT_EQ(shade(result), 0); // already ended
    EXPECT_COLOR_EQ(result, -7.0f, -7.0f, -7.0f, -7.0f);
    EXPECT_EQ(host.calls(), std::vector<std::string>{query(OSKA_QUERY_SETTINGS_SLOT, 0)});
}

} // namespace
} // namespace oska::test
