// oskacolor_init and oskacolor_exit: what the settings block holds, the
// order in which init reads and asks, the object-light refusal, and the
// block's life through allocation failures and repeated exits.
#include "oskacolor_fixture.h"

#include <climits>
#include <cstring>

namespace oska::test {
namespace {

using host::Level;

std::string query(int request, oska_tag tag) {
    return "mi_query(" + std::to_string(request) + ", " + std::to_string(tag) + ")";
}
std::string phen(std::size_t offset) { return "mi_phen_eval(+" + std::to_string(offset) + ")"; }

using OskacolorInit = OskacolorTest;

TEST_F(OskacolorInit, ShaderWideCallsOnlyAskForInstanceCalls) {
    oska_boolean init_req = 0;
    lib.oskacolor_init(state_, nullptr, &init_req);
    lib.oskacolor_exit(state_, nullptr);
    EXPECT_EQ(init_req, 1);
    EXPECT_TRUE(host.calls().empty());
}

// Every parameter read at init is attached, so the log shows each read.
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
        host.reset();
        make_light({OSKA_AREA_OBJECT, 1.5f}, 2.5f);
        const oska_tag tex = host.add_texture({});
        for (std::size_t at :
             {OSKACOLOR_AT(shadows), OSKACOLOR_AT(decay), OSKACOLOR_AT(use_alpha),
              OSKACOLOR_AT(burn), OSKACOLOR_AT(hsv_adjust), OSKACOLOR_AT(texture_range),
              OSKACOLOR_AT(tint_shadow), OSKACOLOR_AT(directional), OSKACOLOR_AT(cosine),
              OSKACOLOR_AT(use_texture), OSKACOLOR_AT(vc_color), OSKACOLOR_AT(vc_intensity),
              OSKACOLOR_AT(vc_range), OSKACOLOR_AT(vc_shadow)}) {
            shader_->attach(at, oska_boolean{1});
        }
        shader_->attach(OSKACOLOR_AT(decay), oska_integer{3});
        shader_->attach(OSKACOLOR_AT(use_vertex_color), oska_boolean{branch.vertex});
        shader_->attach(OSKACOLOR_AT(threshold), 0.25f);
        shader_->attach(OSKACOLOR_AT(max_level), oska_integer{3});
        shader_->attach(OSKACOLOR_AT(texture), tex);
        shader_->attach(OSKACOLOR_AT(vc_color_channel), oska_integer{4});
        shader_->attach(OSKACOLOR_AT(vc_intensity_channel), oska_integer{0});
        shader_->attach(OSKACOLOR_AT(vc_range_channel), oska_integer{3});
        shader_->attach(OSKACOLOR_AT(vc_shadow_channel), oska_integer{5});

        init();

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

        // What the host and the attached parameters gave landed in the block.
        const oskacolor_data &data = *settings();
        EXPECT_EQ(data.exponent, 1.5f);
        EXPECT_EQ(data.emit_divisor, 2.5f);
        EXPECT_EQ(data.decay, 3);
        EXPECT_EQ(data.physical, 1);
        EXPECT_EQ(data.directional, 1);
        EXPECT_EQ(data.cosine, 1);
        EXPECT_EQ(data.threshold, 0.25f);
        EXPECT_EQ(data.max_level, 3);
        EXPECT_EQ(data.shadows, 1);
        EXPECT_EQ(data.texture, branch.vertex ? 0u : tex);
    }
}

// The invariants between the two colour-source branches: the vertex branch
// wins, a zero texture tag ends the texture branch, and the adjustments
// (burn, HSV, tint) exist only with a colour source.
TEST_F(OskacolorInit, BranchRules) {
    struct Case {
        const char *name;
        oska_boolean use_vertex_color, use_texture, vc_color;
        bool zero_texture;
        bool texture_fields, adjustments, vertex_fields;
    };
    const Case cases[] = {
        {"no source", 0, 0, 1, false, false, false, false},
        {"texture", 0, 1, 1, false, true, true, false},
        {"texture without tag", 0, 1, 1, true, false, false, false},
        {"vertex over texture", 1, 1, 1, false, false, true, true},
        {"vertex without colour", 1, 0, 0, false, false, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        host.reset();
        make_light({}, 1.0f);
        oskacolor_params &p = params();
        p.use_vertex_color = c.use_vertex_color;
        p.use_texture = c.use_texture;
        p.texture = c.zero_texture ? 0 : host.add_texture({});
        p.vc_color = c.vc_color;
        p.use_alpha = p.burn = p.hsv_adjust = p.texture_range = p.tint_shadow = 1;
        p.vc_intensity = p.vc_range = p.vc_shadow = 1;
        p.vc_color_channel = 4;
        p.vc_intensity_channel = 0;
        p.vc_range_channel = 3;
        p.vc_shadow_channel = 5;
        init();

        const oskacolor_data &data = *settings();
        EXPECT_EQ(data.texture, c.texture_fields ? p.texture : 0u);
        EXPECT_EQ(data.has_texture, c.texture_fields);
        EXPECT_EQ(data.use_alpha, c.texture_fields);
        EXPECT_EQ(data.texture_range, c.texture_fields);
        EXPECT_EQ(data.burn, c.adjustments);
        EXPECT_EQ(data.hsv_adjust, c.adjustments);
        EXPECT_EQ(data.tint_shadow, c.adjustments);
        EXPECT_EQ(data.vc_color, c.vertex_fields && c.vc_color);
        EXPECT_EQ(data.vc_color_space, c.vertex_fields && c.vc_color ? 8 : 0);
        EXPECT_EQ(data.vc_intensity, c.vertex_fields);
        EXPECT_EQ(data.vc_range, c.vertex_fields);
        EXPECT_EQ(data.vc_shadow, c.vertex_fields);
        EXPECT_EQ(data.vc_intensity_space, 0);
        EXPECT_EQ(data.vc_range_space, c.vertex_fields ? 6 : 0);
        EXPECT_EQ(data.vc_shadow_space, c.vertex_fields ? 10 : 0);
        EXPECT_EQ(data.use_vertex_color, c.use_vertex_color);
    }
}

TEST_F(OskacolorInit, PhysicalForDecayThreeOnly) {
    for (oska_integer decay : {0, 1, 2, 3, 4, -3, INT_MIN}) {
        SCOPED_TRACE(decay);
        params().decay = decay;
        init();
        EXPECT_EQ(settings()->decay, decay);
        EXPECT_EQ(settings()->physical, decay == 3);
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

// Refused: one error, no emit-divisor request, and a block whose every field
// after exponent and decay is zero, so its evaluations have no threshold and
// no shadows.
TEST_F(OskacolorInit, RefusesLightsThatAreNotObjectLights) {
    for (bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "area kind never written" : "area kind 2");
        host.reset();
        make_light({silent ? OSKA_AREA_OBJECT : 2, 3.0f}, 2.0f);
        host.silence_query(OSKA_QUERY_LIGHT_AREA, silent);
        params().decay = 3;
        params().use_vertex_color = params().directional = params().cosine = params().shadows = 1;
        params().threshold = 0.5f;
        init();

        EXPECT_EQ(
            host.texts(Level::error),
            std::vector<std::string>{"oskacolor-> this shader works only with object lights"});
        EXPECT_EQ(host.count("mi_error"), 1);
        EXPECT_TRUE(calls_of(query(OSKA_QUERY_EMIT_DIVISOR, light_instance_).c_str()).empty());
        ASSERT_NE(settings(), nullptr);
        oskacolor_data expected{};
        expected.exponent = 3.0f;
        expected.decay = 3;
        EXPECT_EQ(std::memcmp(settings(), &expected, sizeof expected), 0);

        // Not physical, so decay 3 does not apply; no threshold, no shadow.
        state().distance = 2.0;
        oska_color result;
        EXPECT_EQ(shade(result), 1);
        EXPECT_COLOR_EQ(result, 1.0f, 1.0f, 1.0f, 1.0f);
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
    EXPECT_EQ(settings(), nullptr);
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
