// The library against a host that fails: a host module that lacks one of its
// functions (each in turn, and all at once), and the stand-in host's own
// faults (an allocator that returns null, queries that write nothing, failing
// texture lookups and shadow traces, refused edits) at every phase of an
// instance's life. Every case ends in the answer stated beside it, the
// message the library gives for it, and no crash, leak or double release.
#include "support/oska_test.h"

#include <gmock/gmock.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace oska::test {
namespace {

using host::Level;
using ::testing::HasSubstr;

constexpr int kOtherType = 7; // neither a light nor an instance

// The stand-in host, short of one function: the library is bound to a module
// that forwards every other function to the stand-in host.
class MissingHostFunction : public OskaTest {
  protected:
    void TearDown() override {
        lib.miSetModuleHandle(host::module_handle());
        OskaTest::TearDown();
    }

    // Binds the library to the module without `name`; false if it is not there.
    bool bind_without(const std::string &name) {
        const std::string file = OSKA_PARTIAL_HOST_PREFIX + name + OSKA_PARTIAL_HOST_SUFFIX;
        if (!module.load(host::built_file_path(file))) {
            ADD_FAILURE() << "cannot load " << file << ": " << module.error;
            return false;
        }
        if (module.symbol(name.c_str()) != nullptr) {
            ADD_FAILURE() << file << " exports " << name;
            return false;
        }
        auto forward = module.function<void(OSKA_CALL *)(void *)>("oska_partial_host_forward_to");
        if (forward == nullptr) {
            ADD_FAILURE() << file << " cannot forward";
            return false;
        }
        forward(host::module_handle());
        lib.miSetModuleHandle(module.handle);
        return true;
    }

    // An object light, its instance and an oskacolor instance serving it:
    // white at full intensity, shadows on with a quarter-grey shadow colour,
    // no decay.
    void color_scene() {
        light = host.add_light();
        light_instance = host.add_instance(light, "lamp");
        shader = &host.add_shader("oskacolor", sizeof(oskacolor_params));
        color = shader->params<oskacolor_params>();
        color->color = {1.0f, 1.0f, 1.0f, 1.0f};
        color->shadows = 1;
        color->shadow_color = {0.25f, 0.25f, 0.25f, 1.0f};
        color->max_level = 10;
        host.set_shadow(1, {1.0f, 1.0f, 1.0f, 1.0f});
    }

    oska_state &color_state() { return host.make_state(*shader, light_instance); }

    // A light ray's sample at distance 1, facing the illuminated point.
    oska_boolean evaluate(oska_color &result) {
        oska_state &state = color_state();
        state.distance = 1.0;
        state.emission_dot = -1.0f;
        state.orientation = 1;
        result = {-1.0f, -1.0f, -1.0f, -1.0f};
        return lib.oskacolor(&result, &state, color);
    }

    void init_color() {
        oska_boolean init_req = 0;
        lib.oskacolor_init(&color_state(), color, &init_req);
    }
    void exit_color() { lib.oskacolor_exit(&color_state(), color); }

    // A light held by a light instance, an object instance "cube", and an
    // oskalight record that binds the one to the other and sets its flags.
    void light_scene() {
        light = host.add_light();
        host.light(light)->area_kind = 2;
        light_instance = host.add_instance(light, "lamp");
        object = host.add_instance(host.add_element(kOtherType, "shape"), "cube");
        shader = &host.add_shader("oskalight", sizeof(oskalight_params));
        binding = shader->params<oskalight_params>();
        binding->enable = 1;
        binding->instance = object;
        binding->lights_count = 1;
        binding->lights[0] = light_instance;
        binding->set_instance_flags = 1;
    }

    oska_boolean bind_light() {
        oska_state &state = host.make_state(*shader);
        return lib.oskalight(nullptr, &state, binding);
    }

    std::string diagnostic(const std::string &name) const {
        return "dlsym failed on \"" + name + "\"";
    }

    host::Module module;
    oska_tag light = 0;
    oska_tag light_instance = 0;
    oska_tag object = 0;
    host::ShaderInstance *shader = nullptr;
    oskacolor_params *color = nullptr;
    oskalight_params *binding = nullptr;
};

// Each partial module really lacks its function and forwards the others.
TEST_F(MissingHostFunction, ModulesLackExactlyTheirFunction) {
    const char *names[] = {
#define OSKA_NAME(kind, result, name, params, args) #name,
        OSKA_HOST_FUNCTIONS(OSKA_NAME)
#undef OSKA_NAME
    };
    for (const char *name : names) {
        SCOPED_TRACE(name);
        host::Module partial;
        const std::string file =
            OSKA_PARTIAL_HOST_PREFIX + std::string(name) + OSKA_PARTIAL_HOST_SUFFIX;
        ASSERT_TRUE(partial.load(host::built_file_path(file))) << partial.error;
        for (const char *other : names) {
            EXPECT_EQ(partial.symbol(other) == nullptr, std::strcmp(other, name) == 0) << other;
        }
    }
}

// No allocator: init reports that it has no settings, evaluations reject
// every sample, exit has nothing to give back.
TEST_F(MissingHostFunction, AllocateGivesAnInstanceWithoutSettings) {
    color_scene();
    ASSERT_TRUE(bind_without("mi_mem_int_allocate"));
    testing::internal::CaptureStderr();
    init_color();
    oska_color result;
    EXPECT_EQ(evaluate(result), 0);
    exit_color();
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr(diagnostic("mi_mem_int_allocate")));
    EXPECT_EQ(host.texts(Level::error),
              std::vector<std::string>{"oskacolor-> cannot allocate the instance settings"});
    EXPECT_EQ(shader->settings, nullptr);
    EXPECT_TRUE(host.leaks().empty());
    EXPECT_TRUE(host.allocator_errors().empty());
}

// No release: the instance works; at exit its block cannot go back, so the
// host sees it as a leak, but the slot is emptied and nothing is released
// twice.
TEST_F(MissingHostFunction, ReleaseLeavesTheBlockWithTheHost) {
    color_scene();
    ASSERT_TRUE(bind_without("mi_mem_int_release"));
    testing::internal::CaptureStderr();
    init_color();
    oska_color result;
    EXPECT_EQ(evaluate(result), 1);
    exit_color();
    exit_color();
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr(diagnostic("mi_mem_int_release")));
    EXPECT_EQ(shader->settings, nullptr);
    ASSERT_EQ(host.leaks().size(), 1u);
    EXPECT_EQ(host.leaks()[0].file, "oskacolor");
    EXPECT_EQ(host.leaks()[0].line, 70);
    EXPECT_TRUE(host.allocator_errors().empty());
}

// No query: init cannot register its block, so it gives it back and says
// so; evaluations find no settings and reject; oskalight finds no light but
// still names the instance and sets its flags.
TEST_F(MissingHostFunction, QueryLeavesNoSettingsAndNoLight) {
    color_scene();
    ASSERT_TRUE(bind_without("mi_query"));
    testing::internal::CaptureStderr();
    init_color();
    oska_color result;
    EXPECT_EQ(evaluate(result), 0);
    exit_color();
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr(diagnostic("mi_query")));
    EXPECT_EQ(host.texts(Level::error),
              std::vector<std::string>{"oskacolor-> the host keeps no settings for this instance"});
    EXPECT_TRUE(host.leaks().empty());
    EXPECT_TRUE(host.allocator_errors().empty());
    EXPECT_EQ(host.allocations(), 1);
    EXPECT_EQ(host.releases(), 1);

    host.reset();
    lib.miSetModuleHandle(module.handle);
    light_scene();
    testing::internal::CaptureStderr();
    EXPECT_EQ(bind_light(), 1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(host.texts(Level::warning), std::vector<std::string>{"-> no light found"});
    EXPECT_EQ(host.texts(Level::info).size(), 2u);
    EXPECT_EQ(host.light(light)->area_kind, 2);
    EXPECT_EQ(host.instance(object)->flags[0], 1);
}

// No parameter evaluation: an attached parameter reads as zero.
TEST_F(MissingHostFunction, PhenEvalReadsAttachedParametersAsZero) {
    color_scene();
    color->shadows = 0;
    const oska_color attached = {0.5f, 0.5f, 0.5f, 1.0f};
    shader->attach(offsetof(oskacolor_params, color), attached);
    ASSERT_TRUE(bind_without("mi_phen_eval"));
    testing::internal::CaptureStderr();
    init_color();
    oska_color result;
    EXPECT_EQ(evaluate(result), 1);
    exit_color();
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr(diagnostic("mi_phen_eval")));
    EXPECT_EQ(result.r, 0.0f);
    EXPECT_EQ(result.g, 0.0f);
    EXPECT_EQ(result.b, 0.0f);
    EXPECT_EQ(result.a, 0.0f);
    EXPECT_TRUE(host.leaks().empty());
}

// No shadow trace: the light counts as fully shadowed (the shadow colour).
TEST_F(MissingHostFunction, TraceShadowGivesTheShadowColour) {
    color_scene();
    ASSERT_TRUE(bind_without("mi_trace_shadow"));
    testing::internal::CaptureStderr();
    init_color();
    oska_color result;
    EXPECT_EQ(evaluate(result), 1);
    exit_color();
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr(diagnostic("mi_trace_shadow")));
    EXPECT_EQ(result.r, 0.25f);
    EXPECT_EQ(result.g, 0.25f);
    EXPECT_EQ(result.b, 0.25f);
    EXPECT_EQ(result.a, 1.0f);
}

// A textured instance whose texel sizes its decay range.
void textured(host::Host &host, oskacolor_params *color) {
    host::Image image;
    image.width = 1;
    image.height = 1;
    image.texels = {{0.5f, 0.5f, 0.5f, 1.0f}};
    color->texture = host.add_texture(image, "grey");
    color->use_texture = 1;
    color->texture_range = 1;
    color->decay = 1;
    color->decay_start = 0.0f;
    color->decay_end = 10.0f;
    color->shadows = 0;
}

// No texture lookup: the sample stays untextured (white) and its range
// unscaled.
TEST_F(MissingHostFunction, LookupLeavesTheSampleUntextured) {
    color_scene();
    textured(host, color);
    ASSERT_TRUE(bind_without("mi_lookup_color_texture"));
    testing::internal::CaptureStderr();
    init_color();
    oska_state &state = color_state();
    const oska_vector uv[] = {{0.5f, 0.5f, 0.0f}};
    state.vectors = uv;
    state.vector_count = 1;
    state.distance = 1.0;
    oska_color result;
    EXPECT_EQ(lib.oskacolor(&result, &state, color), 1);
    exit_color();
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr(diagnostic("mi_lookup_color_texture")));
    EXPECT_FLOAT_EQ(result.r, 0.9f); // linear decay at a tenth of the range
    EXPECT_FLOAT_EQ(result.g, 0.9f);
    EXPECT_FLOAT_EQ(result.b, 0.9f);
}

// No luminance: a texel's range factor is 0, so the range closes and the
// sample is rejected.
TEST_F(MissingHostFunction, LuminanceClosesATextureRange) {
    color_scene();
    textured(host, color);
    ASSERT_TRUE(bind_without("mi_luminance"));
    testing::internal::CaptureStderr();
    init_color();
    oska_state &state = color_state();
    const oska_vector uv[] = {{0.5f, 0.5f, 0.0f}};
    state.vectors = uv;
    state.vector_count = 1;
    state.distance = 1.0;
    oska_color result;
    EXPECT_EQ(lib.oskacolor(&result, &state, color), 0);
    exit_color();
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr(diagnostic("mi_luminance")));
}

// No error output: the object-light check still refuses the light, silently
// for the host; the instance then shines unshadowed with no threshold.
TEST_F(MissingHostFunction, ErrorDropsTheMessageOnly) {
    color_scene();
    host::LightDesc desc;
    desc.area_kind = 1;
    light = host.add_light(desc);
    light_instance = host.add_instance(light, "spot");
    ASSERT_TRUE(bind_without("mi_error"));
    testing::internal::CaptureStderr();
    init_color();
    oska_color result;
    EXPECT_EQ(evaluate(result), 1);
    exit_color();
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr(diagnostic("mi_error")));
    EXPECT_TRUE(host.messages().empty());
    EXPECT_EQ(result.r, 1.0f);
    EXPECT_TRUE(host.leaks().empty());
}

// No warning output: what cannot be bound is dropped, the rest goes on.
TEST_F(MissingHostFunction, WarningDropsTheWarningOnly) {
    light_scene();
    binding->lights[0] = object; // an instance that holds no light
    ASSERT_TRUE(bind_without("mi_warning"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(bind_light(), 1);
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr(diagnostic("mi_warning")));
    EXPECT_TRUE(host.texts(Level::warning).empty());
    EXPECT_EQ(host.texts(Level::info).size(), 2u);
    EXPECT_EQ(host.instance(object)->flags[0], 1);
}

// No info output: the light is bound and the flags set, unannounced.
TEST_F(MissingHostFunction, InfoDropsTheNamesOnly) {
    light_scene();
    ASSERT_TRUE(bind_without("mi_info"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(bind_light(), 1);
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr(diagnostic("mi_info")));
    EXPECT_TRUE(host.messages().empty());
    EXPECT_EQ(host.light(light)->area_kind, OSKA_AREA_OBJECT);
    EXPECT_EQ(host.light(light)->object_instance, object);
    EXPECT_EQ(host.instance(object)->flags[5], 16);
}

// No type codes: every element has type 0, so the light is no light and the
// instance is not opened.
TEST_F(MissingHostFunction, DbTypeMakesEveryElementUntyped) {
    light_scene();
    ASSERT_TRUE(bind_without("mi_db_type"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(bind_light(), 1);
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr(diagnostic("mi_db_type")));
    EXPECT_EQ(host.texts(Level::warning), std::vector<std::string>{"-> light is not a light"});
    EXPECT_EQ(host.texts(Level::info),
              (std::vector<std::string>{"oskalight->objname:: cube", "oskalight->objtype:: 0"}));
    EXPECT_EQ(host.light(light)->area_kind, 2);
    EXPECT_EQ(host.instance(object)->flags[0], 0);
    EXPECT_TRUE(host.edits().empty());
}

// No names: the instance is named "(unnamed)".
TEST_F(MissingHostFunction, TagLookupLeavesTheInstanceUnnamed) {
    light_scene();
    ASSERT_TRUE(bind_without("mi_api_tag_lookup"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(bind_light(), 1);
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr(diagnostic("mi_api_tag_lookup")));
    ASSERT_EQ(host.texts(Level::info).size(), 2u);
    EXPECT_EQ(host.texts(Level::info)[0], "oskalight->objname:: (unnamed)");
    EXPECT_EQ(host.light(light)->object_instance, object);
}

// No scene editing: nothing can be written, and the library says so for the
// light and for the instance; it still ends each edit it began.
TEST_F(MissingHostFunction, SceneEditLeavesTheSceneAlone) {
    light_scene();
    ASSERT_TRUE(bind_without("mi_scene_edit"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(bind_light(), 1);
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr(diagnostic("mi_scene_edit")));
    EXPECT_EQ(host.light(light)->area_kind, 2);
    EXPECT_EQ(host.instance(object)->flags[0], 0);
    const std::vector<std::string> warnings = host.texts(Level::warning);
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_THAT(warnings[0], HasSubstr("light"));
    EXPECT_THAT(warnings[1], HasSubstr("instance"));
}

// No end of edit: the edits are made; the host is left with the light open
// (its own protocol check reports the instance opened meanwhile).
TEST_F(MissingHostFunction, SceneEditEndStillEditsBoth) {
    light_scene();
    ASSERT_TRUE(bind_without("mi_scene_edit_end"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(bind_light(), 1);
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr(diagnostic("mi_scene_edit_end")));
    EXPECT_EQ(host.light(light)->area_kind, OSKA_AREA_OBJECT);
    EXPECT_EQ(host.light(light)->object_instance, object);
    EXPECT_EQ(host.instance(object)->flags[7], 16);
    EXPECT_TRUE(host.edit_open());
}

// A module with none of the host's functions (the library's own): every
// export runs to its defined answer, and the diagnostics name what is
// missing.
TEST_F(MissingHostFunction, NoHostFunctionAtAll) {
    color_scene();
    lib.miSetModuleHandle(lib.module);
    testing::internal::CaptureStderr();
    init_color();
    oska_color result;
    EXPECT_EQ(evaluate(result), 0);
    exit_color();
    oska_boolean init_req = 5;
    lib.oskacolor_init(nullptr, nullptr, &init_req);
    EXPECT_EQ(init_req, 1);
    light_scene();
    EXPECT_EQ(bind_light(), 1);
    const std::string diagnostics = testing::internal::GetCapturedStderr();
    for (const char *name : {"mi_mem_int_allocate", "mi_query", "mi_error", "mi_warning",
                             "mi_api_tag_lookup", "mi_info", "mi_db_type"}) {
        EXPECT_THAT(diagnostics, HasSubstr(diagnostic(name)));
    }
    EXPECT_TRUE(host.messages().empty());
    EXPECT_TRUE(host.edits().empty());
    EXPECT_TRUE(host.leaks().empty());
    EXPECT_EQ(host.light(light)->area_kind, 2);
}

} // namespace
} // namespace oska::test

namespace oska::test {
namespace {

// The stand-in host's own faults, one at a time, at the phase of an
// instance's life where each matters.
class HostFault : public MissingHostFunction {};

TEST_F(HostFault, EachFaultAtEachPhaseHasItsAnswer) {
    const std::string objects_only = "oskacolor-> this shader works only with object lights";
    struct Case {
        const char *name;
        int init_silent;     // request silent during init (0 none)
        bool init_no_memory; // the allocation fails
        int eval_silent;     // request silent during the evaluation
        bool shadow_fails;   // the shadow trace returns 0
        int exit_silent;     // request silent during exit
        std::vector<std::string> errors;
        oska_boolean answer;
        float red; // the result's red when answered
        std::size_t leaks;
    };
    const Case cases[] = {
        {"no fault", 0, false, 0, false, 0, {}, 1, 1.0f, 0},
        {"allocation fails",
         0,
         true,
         0,
         false,
         0,
         {"oskacolor-> cannot allocate the instance settings"},
         0,
         0.0f,
         0},
        {"request 7 silent at init",
         OSKA_QUERY_INSTANCE_LIGHT,
         false,
         0,
         false,
         0,
         {objects_only},
         1,
         1.0f,
         0},
        {"request 24 silent at init",
         OSKA_QUERY_LIGHT_AREA,
         false,
         0,
         false,
         0,
         {objects_only},
         1,
         1.0f,
         0},
        {"request 25 silent at init",
         OSKA_QUERY_LIGHT_EXPONENT,
         false,
         0,
         false,
         0,
         {},
         1,
         1.0f,
         0},
        {"request 51 silent at init",
         OSKA_QUERY_SETTINGS_SLOT,
         false,
         0,
         false,
         0,
         {"oskacolor-> the host keeps no settings for this instance"},
         0,
         0.0f,
         0},
        {"request 125 silent at init", OSKA_QUERY_EMIT_DIVISOR, false, 0, false, 0, {}, 1, 1.0f, 0},
        {"request 51 silent at evaluation",
         0,
         false,
         OSKA_QUERY_SETTINGS_SLOT,
         false,
         0,
         {},
         0,
         0.0f,
         0},
        {"shadow trace fails", 0, false, 0, true, 0, {}, 1, 0.25f, 0},
        // The block cannot be found at exit: it stays with the host.
        {"request 51 silent at exit", 0, false, 0, false, OSKA_QUERY_SETTINGS_SLOT, {}, 1, 1.0f, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        host.reset();
        color_scene();
        if (c.init_no_memory) {
            host.fail_allocations(1);
        }
        if (c.init_silent != 0) {
            host.silence_query(c.init_silent, true);
        }
        init_color();
        host.silence_query(c.init_silent, false);

        if (c.shadow_fails) {
            host.set_shadow(0, {1.0f, 1.0f, 1.0f, 1.0f});
        }
        if (c.eval_silent != 0) {
            host.silence_query(c.eval_silent, true);
        }
        oska_color result;
        const oska_boolean answer = evaluate(result);
        host.silence_query(c.eval_silent, false);
        EXPECT_EQ(answer, c.answer);
        if (c.answer == 1) {
            EXPECT_EQ(result.r, c.red);
        }

        if (c.exit_silent != 0) {
            host.silence_query(c.exit_silent, true);
        }
        exit_color();
        host.silence_query(c.exit_silent, false);
        EXPECT_EQ(host.texts(Level::error), c.errors);
        EXPECT_EQ(host.leaks().size(), c.leaks);
        EXPECT_TRUE(host.allocator_errors().empty());
        host.release_leaks();
    }
}

// A texture lookup that fails leaves the sample untextured.
TEST_F(HostFault, FailingTextureLookupLeavesTheSampleUntextured) {
    color_scene();
    textured(host, color);
    init_color();
    host.fail_texture_lookups(true);
    oska_state &state = color_state();
    const oska_vector uv[] = {{0.5f, 0.5f, 0.0f}};
    state.vectors = uv;
    state.vector_count = 1;
    state.distance = 1.0;
    oska_color result;
    EXPECT_EQ(lib.oskacolor(&result, &state, color), 1);
    EXPECT_FLOAT_EQ(result.r, 0.9f);
    exit_color();
}

// Refused edits and an instance that holds no light: oskalight says what it
// could not do, writes nothing it was refused, and ends every edit it began.
TEST_F(HostFault, RefusedEditsAndMissingLightsAreReported) {
    light_scene();
    host.refuse_edits(true);
    EXPECT_EQ(bind_light(), 1);
    EXPECT_EQ(
        host.texts(Level::warning),
        (std::vector<std::string>{"-> light cannot be edited", "-> instance cannot be edited"}));
    EXPECT_EQ(host.light(light)->area_kind, 2);
    EXPECT_EQ(host.instance(object)->flags[0], 0);
    EXPECT_TRUE(host.edit_errors().empty());
    EXPECT_FALSE(host.edit_open());

    host.reset();
    light_scene();
    host.silence_query(OSKA_QUERY_INSTANCE_LIGHT, true);
    EXPECT_EQ(bind_light(), 1);
    EXPECT_EQ(host.texts(Level::warning), std::vector<std::string>{"-> no light found"});
    EXPECT_EQ(host.light(light)->area_kind, 2);
    EXPECT_EQ(host.instance(object)->flags[0], 1);
}

} // namespace
} // namespace oska::test
