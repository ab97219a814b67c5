// The library against a host that fails: a host module that lacks one of its
// functions (each in turn, and all at once), and the testing host's own
// faults (an allocator that returns null, queries that write nothing, failing
// texture lookups and shadow traces, refused edits) at every phase of an
// instance's life. Every case ends in the answer stated beside it, the
// message the library gives for it, and no crash, leak or double release.
#include "support/diagnostics.h"
#include "support/one_light.h"
#include "support/oska_test.h"

#include <gmock/gmock.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace oska::test {
namespace {

using host::Level;
using ::testing::HasSubstr;

constexpr int kOtherType = OSKA_TYPE_OTHER; // neither a light nor an instance

// The testing host, short of one function: the library is bound to a module
// that forwards every other function to the testing host.
class MissingHostFunction : public OskaTest, protected Lamp {
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
        const OneLight scene = one_light(host);
        light = scene.light;
        light_instance = scene.light_instance;
        shader = scene.shader;
        color = scene.params();
        color->shadows = 1;
        color->shadow_color = {0.25f, 0.25f, 0.25f, 1.0f};
        color->max_level = 10;
        host.set_shadow(1, {1.0f, 1.0f, 1.0f, 1.0f});
    }

    oska_state &color_state() { return host.make_state(*shader, light_instance); }

    // A light ray's sample at distance 1, facing the illuminated point, at
    // the middle of the texture.
    oska_boolean evaluate(oska_color &result) {
        static const oska_vector uv[] = {{0.5f, 0.5f, 0.0f}};
        oska_state &state = color_state();
        state.distance = 1.0;
        state.emission_dot = -1.0f;
        state.orientation = 1;
        state.vectors = uv;
        state.vector_count = 1;
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
        add_lamp(host);
        host.light(light)->area_kind = 2;
        object = host.add_instance(host.add_element(kOtherType, "shape"), "cube");
        shader = &host.add_shader("oskalight", sizeof(oskalight_params));
        binding = bind_one_light(*shader, light_instance, object);
        binding->set_instance_flags = 1;
    }

    oska_boolean bind_light() {
        oska_state &state = host.make_state(*shader);
        return lib.oskalight(nullptr, &state, binding);
    }

    // The light left unbound, as light_scene() made it, and the object's
    // first flag `flag` (0 as made, 1 as oskalight sets it).
    void expect_light_unbound(unsigned char flag) {
        EXPECT_EQ(host.light(light)->area_kind, 2);
        EXPECT_EQ(host.instance(object)->flags[0], flag);
    }

    // What the library writes on standard error for `name`, missing from
    // `from`.
    static std::string lookup_failed(const char *name, void *from) {
        return lookup_failure(name, from, kNotExportedError);
    }

    host::Module module;
    oska_tag object = 0;
    host::ShaderInstance *shader = nullptr;
    oskacolor_params *color = nullptr;
    oskalight_params *binding = nullptr;
};

// Each partial module really lacks its function and forwards the others.
TEST_F(MissingHostFunction, ModulesLackExactlyTheirFunction) {
    for (const char *name : kHostFunctionNames) {
        SCOPED_TRACE(name);
        host::Module partial;
        const std::string file =
            OSKA_PARTIAL_HOST_PREFIX + std::string(name) + OSKA_PARTIAL_HOST_SUFFIX;
        if (!partial.load(host::built_file_path(file))) {
            ADD_FAILURE() << partial.error;
            continue;
        }
        for (const char *other : kHostFunctionNames) {
            EXPECT_EQ(partial.symbol(other) == nullptr, std::strcmp(other, name) == 0) << other;
        }
    }
}

// A textured instance whose texel sizes its decay range.
void textured(host::Testing &host, oskacolor_params *color) {
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

// Each host function missing in turn, where the library needs it: an
// oskacolor instance lives (init, one evaluation, exit), or oskalight binds
// its light. The library names the missing function on standard error and
// gives the answer of the row; the host hears the errors of the row, keeps
// its leaks and sees no allocator fault; `check` looks at the rest.
TEST_F(MissingHostFunction, EachMissingFunctionHasItsAnswer) {
    enum Scene { color_instance, light_binding };
    struct Case {
        const char *missing;
        Scene scene;
        std::function<void()> prepare; // after the scene is made
        oska_boolean answer;           // of the evaluation or of oskalight
        std::vector<std::string> errors;
        std::size_t leaks;
        std::function<void(const oska_color &result)> check;
    };
    const auto nothing = [] {};
    const Case cases[] = {
        // Init reports that it has no settings, the evaluation rejects, exit
        // has nothing to give back.
        {"mi_mem_int_allocate",
         color_instance,
         nothing,
         0,
         {"oskacolor-> cannot allocate the instance settings"},
         0,
         [&](const oska_color &) { EXPECT_EQ(shader->settings, nullptr); }},
        // The instance works; at exit its block cannot go back, so the host
        // sees it as a leak, but the slot is emptied and a second exit
        // releases nothing.
        {"mi_mem_int_release",
         color_instance,
         nothing,
         1,
         {},
         1,
         [&](const oska_color &) {
             exit_color();
             EXPECT_EQ(shader->settings, nullptr);
             ASSERT_EQ(host.leaks().size(), 1u);
             EXPECT_EQ(host.leaks()[0].file, "oskacolor");
             EXPECT_EQ(host.leaks()[0].line, 70);
         }},
        // Init cannot register its block, so it gives it back and says so;
        // the evaluation finds no settings.
        {"mi_query",
         color_instance,
         nothing,
         0,
         {"oskacolor-> the host keeps no settings for this instance"},
         0,
         [&](const oska_color &) {
             EXPECT_EQ(host.allocations(), 1);
             EXPECT_EQ(host.releases(), 1);
         }},
        // oskalight finds no light but still names the instance and sets
        // its flags.
        {"mi_query",
         light_binding,
         nothing,
         1,
         {},
         0,
         [&](const oska_color &) {
             EXPECT_EQ(host.texts(Level::warning), std::vector<std::string>{"-> no light found"});
             EXPECT_EQ(host.texts(Level::info).size(), 2u);
             expect_light_unbound(1);
         }},
        // An attached parameter reads as zero.
        {"mi_phen_eval",
         color_instance,
         [&] {
             color->shadows = 0;
             shader->attach(offsetof(oskacolor_params, color), oska_color{0.5f, 0.5f, 0.5f, 1.0f});
         },
         1,
         {},
         0,
         [&](const oska_color &result) { EXPECT_COLOR_EQ(result, 0.0f, 0.0f, 0.0f, 0.0f); }},
        // The light counts as fully shadowed: the shadow colour.
        {"mi_trace_shadow",
         color_instance,
         nothing,
         1,
         {},
         0,
         [&](const oska_color &result) { EXPECT_COLOR_EQ(result, 0.25f, 0.25f, 0.25f, 1.0f); }},
        // The sample stays untextured (white) and its range unscaled: linear
        // decay at a tenth of the range.
        {"mi_lookup_color_texture",
         color_instance,
         [&] { textured(host, color); },
         1,
         {},
         0,
         [&](const oska_color &result) {
             EXPECT_FLOAT_EQ(result.r, 0.9f);
             EXPECT_FLOAT_EQ(result.g, 0.9f);
             EXPECT_FLOAT_EQ(result.b, 0.9f);
         }},
        // A texel's range factor is 0, so the range closes and the sample is
        // rejected.
        {"mi_luminance",
         color_instance,
         [&] { textured(host, color); },
         0,
         {},
         0,
         [](const oska_color &) {}},
        // The object-light check still refuses a spot light, silently for
        // the host; the instance then shines unshadowed with no threshold.
        {"mi_error",
         color_instance,
         [&] {
             host::LightDesc desc;
             desc.area_kind = 1;
             light = host.add_light(desc);
             light_instance = host.add_instance(light, "spot");
         },
         1,
         {},
         0,
         [&](const oska_color &result) {
             EXPECT_TRUE(host.messages().empty());
             EXPECT_EQ(result.r, 1.0f);
         }},
        // What cannot be bound is dropped unsaid, the rest goes on.
        {"mi_warning",
         light_binding,
         [&] { binding->lights[0] = object; },
         1,
         {},
         0,
         [&](const oska_color &) {
             EXPECT_TRUE(host.texts(Level::warning).empty());
             EXPECT_EQ(host.texts(Level::info).size(), 2u);
             EXPECT_EQ(host.instance(object)->flags[0], 1);
         }},
        // The light is bound and the flags set, unannounced.
        {"mi_info",
         light_binding,
         nothing,
         1,
         {},
         0,
         [&](const oska_color &) {
             EXPECT_TRUE(host.messages().empty());
             EXPECT_EQ(host.light(light)->area_kind, OSKA_AREA_OBJECT);
             EXPECT_EQ(host.light(light)->object_instance, object);
             EXPECT_EQ(host.instance(object)->flags[5], 16);
         }},
        // Every element has type 0, so the light is no light and the
        // instance is not opened.
        {"mi_db_type",
         light_binding,
         nothing,
         1,
         {},
         0,
         [&](const oska_color &) {
             EXPECT_EQ(host.texts(Level::warning),
                       std::vector<std::string>{"-> light is not a light"});
             EXPECT_EQ(
                 host.texts(Level::info),
                 (std::vector<std::string>{"oskalight->objname:: cube", "oskalight->objtype:: 0"}));
             expect_light_unbound(0);
             EXPECT_TRUE(host.edits().empty());
         }},
        // The instance is named "(unnamed)".
        {"mi_api_tag_lookup",
         light_binding,
         nothing,
         1,
         {},
         0,
         [&](const oska_color &) {
             ASSERT_EQ(host.texts(Level::info).size(), 2u);
             EXPECT_EQ(host.texts(Level::info)[0], "oskalight->objname:: (unnamed)");
             EXPECT_EQ(host.light(light)->object_instance, object);
         }},
        // Nothing can be written, and the library says so for the light and
        // for the instance; it still ends each edit it began.
        {"mi_scene_edit",
         light_binding,
         nothing,
         1,
         {},
         0,
         [&](const oska_color &) {
             expect_light_unbound(0);
             const std::vector<std::string> warnings = host.texts(Level::warning);
             ASSERT_EQ(warnings.size(), 2u);
             EXPECT_THAT(warnings[0], HasSubstr("light"));
             EXPECT_THAT(warnings[1], HasSubstr("instance"));
         }},
        // The edits are made; the host is left with the light open (its own
        // protocol check reports the instance opened meanwhile).
        {"mi_scene_edit_end",
         light_binding,
         nothing,
         1,
         {},
         0,
         [&](const oska_color &) {
             EXPECT_EQ(host.light(light)->area_kind, OSKA_AREA_OBJECT);
             EXPECT_EQ(host.light(light)->object_instance, object);
             EXPECT_EQ(host.instance(object)->flags[7], 16);
             EXPECT_TRUE(host.edit_open());
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.missing) +
                     (c.scene == color_instance ? ", oskacolor" : ", oskalight"));
        host.reset();
        if (c.scene == color_instance) {
            color_scene();
        } else {
            light_scene();
        }
        c.prepare();
        if (!bind_without(c.missing)) {
            ADD_FAILURE() << "cannot bind the library without " << c.missing;
            continue;
        }
        oska_color result = {-1.0f, -1.0f, -1.0f, -1.0f};
        testing::internal::CaptureStderr();
        oska_boolean answer = 0;
        if (c.scene == color_instance) {
            init_color();
            answer = evaluate(result);
            exit_color();
        } else {
            answer = bind_light();
        }
        const std::string diagnostics = testing::internal::GetCapturedStderr();
        EXPECT_EQ(answer, c.answer);
        EXPECT_THAT(diagnostics, HasSubstr(lookup_failed(c.missing, module.handle)));
        EXPECT_EQ(host.texts(Level::error), c.errors);
        c.check(result);
        EXPECT_EQ(host.leaks().size(), c.leaks);
        EXPECT_TRUE(host.allocator_errors().empty());
        host.release_leaks();
    }
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
        EXPECT_THAT(diagnostics, HasSubstr(lookup_failed(name, lib.module)));
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

// The testing host's own faults, one at a time, at the phase of an
// instance's life where each matters.
class HostFault : public MissingHostFunction {};

TEST_F(HostFault, EachFaultAtEachPhaseHasItsAnswer) {
    const std::string objects_only = "oskacolor-> this shader works only with object lights";
    // A row names its case and sets what differs from a fault-free life.
    struct Case {
        const char *name = "";
        int init_silent = 0;         // request silent during init (0 none)
        bool init_no_memory = false; // the allocation fails
        int eval_silent = 0;         // request silent during the evaluation
        bool shadow_fails = false;   // the shadow trace returns 0
        int exit_silent = 0;         // request silent during exit
        bool lookup_fails = false;   // a textured instance whose lookups fail
        std::vector<std::string> errors;
        oska_boolean answer = 1;
        float red = 1.0f; // the result's red when answered
        std::size_t leaks = 0;
    };
    const auto row = [](const char *name, const std::function<void(Case &)> &set) {
        Case c;
        c.name = name;
        set(c);
        return c;
    };
    const auto refused = [](Case &c) {
        c.answer = 0;
        c.red = 0.0f;
    };
    const Case cases[] = {
        row("no fault", [](Case &) {}),
        row("allocation fails",
            [&](Case &c) {
                c.init_no_memory = true;
                c.errors = {"oskacolor-> cannot allocate the instance settings"};
                refused(c);
            }),
        row("request 7 silent at init",
            [&](Case &c) {
                c.init_silent = OSKA_QUERY_INSTANCE_LIGHT;
                c.errors = {objects_only};
            }),
        row("request 24 silent at init",
            [&](Case &c) {
                c.init_silent = OSKA_QUERY_LIGHT_AREA;
                c.errors = {objects_only};
            }),
        row("request 25 silent at init",
            [](Case &c) { c.init_silent = OSKA_QUERY_LIGHT_EXPONENT; }),
        row("request 51 silent at init",
            [&](Case &c) {
                c.init_silent = OSKA_QUERY_SETTINGS_SLOT;
                c.errors = {"oskacolor-> the host keeps no settings for this instance"};
                refused(c);
            }),
        row("request 125 silent at init", [](Case &c) { c.init_silent = OSKA_QUERY_EMIT_DIVISOR; }),
        row("request 51 silent at evaluation",
            [&](Case &c) {
                c.eval_silent = OSKA_QUERY_SETTINGS_SLOT;
                refused(c);
            }),
        row("shadow trace fails",
            [](Case &c) {
                c.shadow_fails = true;
                c.red = 0.25f;
            }),
        // The block cannot be found at exit: it stays with the host.
        row("request 51 silent at exit",
            [](Case &c) {
                c.exit_silent = OSKA_QUERY_SETTINGS_SLOT;
                c.leaks = 1;
            }),
        // The sample stays untextured: linear decay at a tenth of the range.
        row("texture lookup fails",
            [](Case &c) {
                c.lookup_fails = true;
                c.red = 0.9f;
            }),
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        host.reset();
        color_scene();
        if (c.lookup_fails) {
            textured(host, color);
            host.fail_texture_lookups(true);
        }
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
            EXPECT_FLOAT_EQ(result.r, c.red);
        }

        if (c.exit_silent != 0) {
            host.silence_query(c.exit_silent, true);
        }
        exit_color();
        host.silence_query(c.exit_silent, false);
        EXPECT_EQ(host.texts(Level::error), c.errors);
        EXPECT_EQ(host.leaks().size(), c.leaks);
        EXPECT_TRUE(host.allocator_errors().empty());
        host.fail_texture_lookups(false);
        host.release_leaks();
    }
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
    expect_light_unbound(0);
    EXPECT_TRUE(host.edit_errors().empty());
    EXPECT_FALSE(host.edit_open());

    host.reset();
    light_scene();
    host.silence_query(OSKA_QUERY_INSTANCE_LIGHT, true);
    EXPECT_EQ(bind_light(), 1);
    EXPECT_EQ(host.texts(Level::warning), std::vector<std::string>{"-> no light found"});
    expect_light_unbound(1);
}

} // namespace
} // namespace oska::test
