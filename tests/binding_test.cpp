// The host function bindings, through the binding probe: resolution by name
// and its diagnostics, a missing host function, the extra word of mi_query,
// the message buffer, param_eval, and first calls from many threads.
#include "support/diagnostics.h"
#include "support/one_light.h"
#include "support/oska_test.h"
#include "support/probe.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace oska::test {
namespace {

using host::Level;

std::vector<float> channels(const oska_color &color) {
    return {color.r, color.g, color.b, color.a};
}

template <class T> std::vector<unsigned char> bytes_of(const T &value) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(&value);
    return {bytes, bytes + sizeof value};
}

// Written into every output that a missing host function must leave alone.
constexpr oska_color kUntouched{-7.0f, -7.0f, -7.0f, -7.0f};
constexpr int32_t kUntouchedArea = -7;

// What each binding answered, one call of each in the host interface's order.
struct Answers {
    void *record = nullptr;
    oska_boolean traced = 0;
    oska_color transmission = kUntouched;
    void *value = nullptr;
    void *block = nullptr;
    float luminance = -1.0f;
    oska_boolean queried = 0;
    int32_t area = kUntouchedArea;
    oska_boolean looked_up = 0;
    oska_color texel = kUntouched;
    int type = -1;
    const char *name = nullptr;
};

// A scene with something for every host function to answer, and the probe
// bound to the testing host.
class Binding : public OskaTest, protected Lamp {
  protected:
    static constexpr std::size_t kAttached = 8; // offset of an attached parameter
    static constexpr oska_color kTransmission{0.25f, 0.5f, 0.75f, 1.0f};
    static constexpr oska_color kGrey{0.5f, 0.25f, 1.0f, 1.0f};

    void SetUp() override {
        OskaTest::SetUp();
        ASSERT_NE(probe.set_module, nullptr);
        probe.set_module(host::module_handle());
        add_lamp(host, {OSKA_AREA_OBJECT, 2.5f, "light"}, 4.0f);
        host::Image image;
        image.width = 2;
        image.height = 2;
        image.texels = {{0, 0, 0, 1}, {1, 0, 0, 1}, {0, 1, 0, 1}, {0, 0, 1, 1}};
        texture = host.add_texture(image, "tiles");
        shader = &host.add_shader("probe", 32);
        state = &host.make_state(*shader, light_instance);
        shader->attach(kAttached, oska_color{3.0f, 4.0f, 5.0f, 6.0f});
        host.set_shadow(1, kTransmission);
    }

    void *param(std::size_t offset) { return shader->storage.data() + offset; }

    Answers call_every_binding() {
        Answers a;
        a.record = probe.mi_scene_edit(light);
        probe.mi_scene_edit_end(light);
        a.traced = probe.mi_trace_shadow(&a.transmission, state);
        a.value = probe.mi_phen_eval(state, param(kAttached));
        a.block = probe.mi_mem_int_allocate("probe", 70, 24);
        probe.mi_mem_int_release("probe", 190, a.block);
        oska_color grey = kGrey;
        a.luminance = probe.mi_luminance(state, &grey);
        a.queried = probe.query(OSKA_QUERY_LIGHT_AREA, state, light, &a.area);
        oska_vector coord{0.75f, 0.25f, 0.0f};
        a.looked_up = probe.mi_lookup_color_texture(&a.texel, state, texture, &coord);
        probe.message(0, "%s", "error");
        probe.message(1, "%s", "warning");
        probe.message(2, "%s", "info");
        a.type = probe.mi_db_type(light);
        a.name = probe.mi_api_tag_lookup(light_instance);
        return a;
    }

    // The answers of the testing host to call_every_binding().
    void expect_host_answers(const Answers &a) {
        EXPECT_EQ(a.record, host.light(light));
        EXPECT_EQ(a.traced, 1);
        EXPECT_EQ(channels(a.transmission), channels(kTransmission));
        EXPECT_EQ(a.value, shader->attached.at(kAttached)->value.data());
        EXPECT_NE(a.block, nullptr);
        EXPECT_FLOAT_EQ(a.luminance, 0.41025f); // what the testing host says of kGrey
        EXPECT_EQ(a.queried, 1);
        EXPECT_EQ(a.area, OSKA_AREA_OBJECT);
        EXPECT_EQ(a.looked_up, 1);
        EXPECT_EQ(channels(a.texel), channels(oska_color{1, 0, 0, 1}));
        EXPECT_EQ(a.type, OSKA_TYPE_LIGHT);
        EXPECT_STREQ(a.name, "lamp");
    }

    // A missing host function: zero results, outputs left alone.
    static void expect_zero_answers(const Answers &a) {
        EXPECT_EQ(a.record, nullptr);
        EXPECT_EQ(a.traced, 0);
        EXPECT_EQ(channels(a.transmission), channels(kUntouched));
        EXPECT_EQ(a.value, nullptr);
        EXPECT_EQ(a.block, nullptr);
        EXPECT_EQ(a.luminance, 0.0f);
        EXPECT_EQ(a.queried, 0);
        EXPECT_EQ(a.area, kUntouchedArea);
        EXPECT_EQ(a.looked_up, 0);
        EXPECT_EQ(channels(a.texel), channels(kUntouched));
        EXPECT_EQ(a.type, 0);
        EXPECT_EQ(a.name, nullptr);
    }

    // What a module without the host's functions makes every binding print.
    static std::string every_lookup_failing(void *module) {
        std::string text;
        for (const char *name : kHostFunctionNames) {
            text += lookup_failure(name, module, kNotExportedError);
        }
        return text;
    }

    Probe probe;
    oska_tag texture = 0;
    host::ShaderInstance *shader = nullptr;
    oska_state *state = nullptr;
};

// ---- Resolution ----------------------------------------------------------------

// Each binding calls its own host function, with the caller's arguments, and
// hands back its result.
TEST_F(Binding, EveryBindingForwardsToItsHostFunction) {
    StderrCapture err;
    const Answers answers = call_every_binding();
    EXPECT_EQ(err.text(), "");
    expect_host_answers(answers);

    const std::string l = std::to_string(light);
    const std::vector<std::string> expected = {
        "mi_scene_edit(" + l + ")",
        "mi_scene_edit_end(" + l + ")",
        "mi_trace_shadow()",
        "mi_phen_eval(+8)",
        "mi_mem_int_allocate(probe, 70, 24)",
        "mi_mem_int_release(probe, 190)",
        "mi_luminance()",
        "mi_query(24, " + l + ")",
        "mi_lookup_color_texture(" + std::to_string(texture) + ")",
        "mi_error(error)",
        "mi_warning(warning)",
        "mi_info(info)",
        "mi_db_type(" + l + ")",
        "mi_api_tag_lookup(" + std::to_string(light_instance) + ")"};
    EXPECT_EQ(host.calls(), expected);
    EXPECT_EQ(host.leaks().size(), 0u);
    EXPECT_TRUE(host.allocator_errors().empty());
}

// A module that exports none of the host's functions: each binding names its
// function with the module and error 127, returns zero and calls nothing.
TEST_F(Binding, MissingHostFunctionsGiveZeroResultsWithoutACall) {
    probe.set_module(lib.module);
    StderrCapture err;
    const Answers answers = call_every_binding();
    EXPECT_EQ(err.text(), every_lookup_failing(lib.module));
    expect_zero_answers(answers);
    EXPECT_TRUE(host.calls().empty());
    EXPECT_TRUE(host.messages().empty());
    for (const char *name : kHostFunctionNames) {
        EXPECT_EQ(host.count(name), 0) << name;
    }
}

// Every new handle drops every resolved function: host, then a module
// without the functions, then the host again.
TEST_F(Binding, NewHandleMakesEveryBindingLookUpAgain) {
    expect_host_answers(call_every_binding());

    probe.set_module(lib.module);
    {
        StderrCapture err;
        expect_zero_answers(call_every_binding());
        EXPECT_EQ(err.text(), every_lookup_failing(lib.module));
    }

    probe.set_module(host::module_handle());
    host.clear_calls();
    {
        StderrCapture err;
        expect_host_answers(call_every_binding());
        EXPECT_EQ(err.text(), "");
    }
    EXPECT_EQ(host.calls().size(), std::size(kHostFunctionNames));
}

// A failed lookup leaves the slot empty: the next call looks up again and
// reports again.
TEST_F(Binding, FailedLookupIsRepeatedAtEveryCall) {
    probe.set_module(lib.module);
    StderrCapture err;
    EXPECT_EQ(probe.mi_db_type(light), 0);
    EXPECT_EQ(probe.mi_db_type(light), 0);
    const std::string failure = lookup_failure("mi_db_type", lib.module, kNotExportedError);
    EXPECT_EQ(err.text(), failure + failure);
}

// No module: the missing handle is reported before the failed lookup, with
// error 6; the system is never asked, so nothing is found anywhere else.
TEST_F(Binding, NullHandleIsReportedAndFindsNothing) {
    probe.mi_db_type(light); // resolved against the host first
    probe.set_module(nullptr);
    host.clear_calls();
    StderrCapture err;
    EXPECT_EQ(probe.mi_db_type(light), 0);
    EXPECT_EQ(err.text(),
              std::string(kNullHandle) + lookup_failure("mi_db_type", nullptr, kNoModuleError));
    EXPECT_EQ(host.count("mi_db_type"), 0);
}

// ---- mi_query ------------------------------------------------------------------

// Requests 15 and 127 carry a fifth word, which reaches the host as given.
// On x86-64 the word travels in a register that a binding dropping it would
// often leave as it came, so each request is also made as the first call
// after a new handle: the binding then looks the host function up between
// receiving the word and handing it on, and that lookup leaves other values
// in the registers.
TEST_F(Binding, FifthWordOfRequests15And127ReachesTheHost) {
    std::vector<void *> sent;
    std::vector<std::string> calls;
    const std::string l = std::to_string(light);
    for (bool first_call : {true, false}) {
        for (int request : {OSKA_QUERY_EXTRA_15, OSKA_QUERY_EXTRA_127}) {
            if (first_call) {
                probe.set_module(host::module_handle()); // every slot unresolved
            }
            void *fifth = reinterpret_cast<void *>(
                std::uintptr_t(0x5EED0000u + unsigned(request) + (first_call ? 0x100u : 0u)));
            int32_t result = 0;
            probe.query5(request, state, light, &result, fifth);
            sent.push_back(fifth);
            calls.push_back("mi_query(" + std::to_string(request) + ", " + l + ")");
        }
    }
    EXPECT_EQ(host.fifth_words(), sent);
    EXPECT_EQ(host.calls(), calls);
}

// Other requests reach the host with their four words as given, whether or
// not the caller passed more.
TEST_F(Binding, OtherRequestsArriveUnchanged) {
    struct Case {
        int request;
        oska_tag tag;
        std::vector<unsigned char> answer;
    };
    const Case cases[] = {
        {OSKA_QUERY_SETTINGS_SLOT, 0, bytes_of(&shader->settings)},
        {OSKA_QUERY_INSTANCE_LIGHT, light_instance, bytes_of(light)},
        {OSKA_QUERY_LIGHT_AREA, light, bytes_of(int32_t{OSKA_AREA_OBJECT})},
        {OSKA_QUERY_LIGHT_EXPONENT, light, bytes_of(2.5f)},
        {OSKA_QUERY_EMIT_DIVISOR, light_instance, bytes_of(4.0f)},
    };
    for (const Case &c : cases) {
        for (bool with_fifth : {false, true}) {
            SCOPED_TRACE(std::to_string(c.request) + (with_fifth ? " with a fifth word" : ""));
            host.clear_calls();
            unsigned char result[sizeof(void *)];
            std::memset(result, 0xEE, sizeof result);
            const oska_boolean answered =
                with_fifth ? probe.query5(c.request, state, c.tag, result, &result)
                           : probe.query(c.request, state, c.tag, result);
            EXPECT_EQ(answered, 1);
            EXPECT_EQ(std::vector<unsigned char>(result, result + c.answer.size()), c.answer);
            EXPECT_EQ(host.calls(),
                      (std::vector<std::string>{"mi_query(" + std::to_string(c.request) + ", " +
                                                std::to_string(c.tag) + ")"}));
        }
    }
    EXPECT_TRUE(host.fifth_words().empty());
}

// ---- Messages ------------------------------------------------------------------

// The host receives the formatted text, cut to the 1024-byte buffer.
TEST_F(Binding, MessagesAreCutToTheBuffer) {
    const Level levels[] = {Level::error, Level::warning, Level::info};
    for (std::size_t length : {std::size_t(0), std::size_t(1), std::size_t(1022), std::size_t(1023),
                               std::size_t(1024), std::size_t(5000)}) {
        std::string text(length, 'x');
        for (std::size_t i = 0; i < length; i += 7) {
            text[i] = char('a' + i % 26); // a cut at the wrong place shows
        }
        for (int level = 0; level < 3; ++level) {
            SCOPED_TRACE(std::to_string(length) + " characters, level " + std::to_string(level));
            probe.message(level, "%s", text.c_str());
            const std::vector<std::string> texts = host.texts(levels[level]);
            if (texts.empty()) {
                ADD_FAILURE() << "no message";
                continue;
            }
            EXPECT_EQ(texts.back(), text.substr(0, std::min<std::size_t>(length, 1023)));
        }
    }
}

// A '%' that the formatting produced is text to the host, never a format.
TEST_F(Binding, PercentProducedByFormattingReachesTheHostVerbatim) {
    struct Case {
        const char *format;
        const char *text;
        const char *received;
    };
    const Case cases[] = {
        {"%s", "50%", "50%"},
        {"%s", "%s%n", "%s%n"},
        {"objname:: %s", "%d %% %x", "objname:: %d %% %x"},
        {"100%% %s", "done", "100% done"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        probe.message(2, c.format, c.text);
        EXPECT_EQ(host.texts(Level::info).back(), c.received);
    }
}

// ---- param_eval ----------------------------------------------------------------

// In place unless the shader has an attachment offset and the parameter's
// attachment word is set; then where the host says, or a zero value.
TEST_F(Binding, ParamEvalReadsInPlaceUnlessAttached) {
    constexpr std::size_t kInPlace = 12;
    constexpr std::size_t kNullAnswer = 16;
    shader->attach_null(kNullAnswer);
    const oska_color in_place{9.0f, 9.0f, 9.0f, 9.0f};
    for (std::size_t offset : {kAttached, kInPlace, kNullAnswer}) {
        std::memcpy(param(offset), &in_place, sizeof in_place);
    }
    const unsigned char zeros[16] = {};

    // Attachment word 0: in place, the host is not asked.
    EXPECT_EQ(probe.param_eval(state, param(kInPlace)), param(kInPlace));

    // Attached: the host's value, asked for at every read.
    EXPECT_EQ(probe.param_eval(state, param(kAttached)),
              shader->attached.at(kAttached)->value.data());
    EXPECT_EQ(probe.param_eval(state, param(kAttached)),
              shader->attached.at(kAttached)->value.data());
    EXPECT_EQ(shader->evaluations(kAttached), 2);

    // Attached, but the host gives no address: a zero value, not the record.
    const void *value = probe.param_eval(state, param(kNullAnswer));
    ASSERT_NE(value, nullptr);
    EXPECT_NE(value, param(kNullAnswer));
    EXPECT_EQ(std::memcmp(value, zeros, sizeof zeros), 0);
    EXPECT_EQ(shader->evaluations(kNullAnswer), 1);

    // No attachment offset: in place, even where the word would say attached.
    shader->function.attach_offset = 0;
    EXPECT_EQ(probe.param_eval(state, param(kAttached)), param(kAttached));
    EXPECT_EQ(shader->evaluations(kAttached), 2);

    const std::string phen_eval = "mi_phen_eval(+";
    EXPECT_EQ(host.calls(),
              (std::vector<std::string>{phen_eval + "8)", phen_eval + "8)", phen_eval + "16)"}));
}

// The attachment word is a whole 32-bit word: a marker whose low byte is 0
// says "attached" as much as 1 does.
TEST_F(Binding, ParamEvalReadsTheWholeAttachmentWord) {
    for (int32_t marker : {0x1, 0x100, 0x10000, 0x1000000, -0x1000000}) {
        SCOPED_TRACE(marker);
        shader->attach_marker = marker;
        shader->attach(kAttached, oska_color{1.0f, 2.0f, 3.0f, 4.0f});
        EXPECT_EQ(probe.param_eval(state, param(kAttached)),
                  shader->attached.at(kAttached)->value.data());
        EXPECT_EQ(shader->evaluations(kAttached), 1);
    }
}

// ---- Threads -------------------------------------------------------------------

// Threads released together make the first calls of every binding through
// unresolved slots: each resolves the same entry point and gets the host's
// answers. Repeated with a new handle each round.
TEST_F(Binding, ConcurrentFirstCallsAllReachTheHost) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 10;
    StderrCapture err;
    for (int round = 0; round < kRounds; ++round) {
        probe.set_module(host::module_handle());
        std::atomic<int> waiting{kThreads};
        std::vector<Answers> answers(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                waiting.fetch_sub(1);
                while (waiting.load() > 0) {
                    std::this_thread::yield();
                }
                answers[std::size_t(t)] = call_every_binding();
            });
        }
        for (std::thread &thread : threads) {
            thread.join();
        }
        for (int t = 0; t < kThreads; ++t) {
            SCOPED_TRACE("round " + std::to_string(round) + ", thread " + std::to_string(t));
            expect_host_answers(answers[std::size_t(t)]);
        }
    }
    EXPECT_EQ(err.text(), "");
    for (const char *name : kHostFunctionNames) {
        EXPECT_EQ(host.count(name), kThreads * kRounds) << name;
    }
    EXPECT_EQ(host.texts(Level::warning).size(), std::size_t(kThreads * kRounds));
    EXPECT_TRUE(host.allocator_errors().empty());
    EXPECT_TRUE(host.edit_errors().empty());
    EXPECT_EQ(host.leaks().size(), 0u);
}

// ---- A fresh load ----------------------------------------------------------------

// Loaded and called before any handle: both diagnostic lines, naming the
// function, and a zero result.
TEST(BindingFreshLoad, FirstCallBeforeAnyHandleReportsBothLines) {
    host::testing().reset();
    Probe probe;
    ASSERT_NE(probe.query, nullptr);
    int32_t area = kUntouchedArea;
    StderrCapture err;
    EXPECT_EQ(probe.query(OSKA_QUERY_LIGHT_AREA, nullptr, 1, &area), 0);
    EXPECT_EQ(err.text(),
              std::string(kNullHandle) + lookup_failure("mi_query", nullptr, kNoModuleError));
    EXPECT_EQ(area, kUntouchedArea);
    EXPECT_EQ(host::testing().count("mi_query"), 0);
}

} // namespace
} // namespace oska::test
