// oskalight through the loaded library and the testing host: which elements
// it edits, what it prints, and in which order it talks to the host.
#include "support/one_light.h"
#include "support/oska_test.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace oska::test {
namespace {

using host::Level;

constexpr std::size_t kElementSlot = offsetof(oskalight_params, lights);
// Room for array elements after the fixed part: slots 9 to 12 of the array.
constexpr std::size_t kExtraElements = 4;
constexpr int kPastFixedPart = (sizeof(oskalight_params) - kElementSlot) / sizeof(oska_tag);

constexpr unsigned char kFlagsSet[8] = {1, 4, 4, 4, 3, 16, 16, 16};
constexpr unsigned char kFlagsBefore[8] = {9, 9, 9, 9, 9, 9, 9, 9};
constexpr int kOtherType = OSKA_TYPE_OTHER; // neither a light nor an instance

// A light with recognisable values in every field the shader may write.
oska_light sentinel_light() {
    oska_light light{};
    light.area_kind = 2;
    light.object_instance = 0;
    for (uint16_t &count : light.samples) {
        count = 9;
    }
    light.extra = 77;
    return light;
}

bool same(const oska_light &a, const oska_light &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<unsigned char> flags_of(const oska_instance *instance) {
    return {instance->flags, instance->flags + 8};
}
const std::vector<unsigned char> kSet(kFlagsSet, kFlagsSet + 8);
const std::vector<unsigned char> kBefore(kFlagsBefore, kFlagsBefore + 8);

// A scene with a light held by a light instance and an object instance
// "cube", and an oskalight record that binds the one to the other.
class Oskalight : public OskaTest, protected Lamp {
  protected:
    void SetUp() override {
        OskaTest::SetUp();
        build_scene();
    }

    // Starts a case of a table afresh: an empty host, then the scene.
    void fresh() {
        host.reset();
        build_scene();
    }

    void build_scene() {
        add_lamp(host);
        object = host.add_instance(host.add_element(kOtherType, "cube_shape"), "cube");
        *host.light(light) = sentinel_light();
        std::memcpy(host.instance(object)->flags, kFlagsBefore, 8);

        shader = &host.add_shader("oskalight", sizeof(oskalight_params),
                                  kExtraElements * sizeof(oska_tag));
        params = bind_one_light(*shader, light_instance, object);
        params->lights_start = 0;
        params->set_instance_flags = 1;
    }

    // Element i of the lights array storage, counted from its element slot.
    oska_tag &element(int i) {
        auto *slots = reinterpret_cast<oska_tag *>(shader->storage.data() + kElementSlot);
        return slots[i];
    }

    // Calls the shader and checks what holds on every path: it returns 1,
    // never writes its result, and leaves no element open or misclosed.
    void run() {
        unsigned char result[16];
        std::memset(result, 0xA5, sizeof result);
        oska_state &state = host.make_state(*shader);
        host.clear_calls();
        EXPECT_EQ(lib.oskalight(result, &state, params), 1);
        for (unsigned char byte : result) {
            EXPECT_EQ(byte, 0xA5) << "result written";
        }
        EXPECT_TRUE(host.edit_errors().empty()) << host.edit_errors().front();
        EXPECT_FALSE(host.edit_open());
    }

    // The host's messages as "warning: text" / "info: text", in order.
    std::vector<std::string> log() const {
        std::vector<std::string> lines;
        for (const host::Message &message : host.messages()) {
            const char *level = message.level == Level::warning ? "warning: "
                                : message.level == Level::info  ? "info: "
                                                                : "error: ";
            lines.push_back(level + message.text);
        }
        return lines;
    }

    // The edits as "open N" / "end N", in order.
    std::vector<std::string> edits() const {
        std::vector<std::string> lines;
        for (const host::Testing::Edit &edit : host.edits()) {
            lines.push_back((edit.open ? "open " : "end ") + std::to_string(edit.tag));
        }
        return lines;
    }

    std::string open(oska_tag tag) const { return "open " + std::to_string(tag); }
    std::string end(oska_tag tag) const { return "end " + std::to_string(tag); }

    // The light as bound to `instance` without overrides.
    oska_light bound_to(oska_tag instance) const {
        oska_light bound = sentinel_light();
        bound.area_kind = OSKA_AREA_OBJECT;
        bound.object_instance = instance;
        return bound;
    }

    oska_tag object = 0;
    host::ShaderInstance *shader = nullptr;
    oskalight_params *params = nullptr;
};

// ---- The checks and their outcomes -------------------------------------

enum class LightCase { bound, missing, not_a_light };
enum class InstanceCase { valid, zero, not_an_instance };

struct CheckCase {
    const char *name;
    LightCase light;
    InstanceCase instance;
    const char *warning; // nullptr: none
    bool infos;          // both info messages printed
    bool light_bound;
    bool instance_edited; // opened, closed and its flags set
};

const CheckCase kCheckCases[] = {
    {"all pass", LightCase::bound, InstanceCase::valid, nullptr, true, true, true},
    {"no light", LightCase::missing, InstanceCase::valid, "-> no light found", true, false, true},
    {"not a light", LightCase::not_a_light, InstanceCase::valid, "-> light is not a light", true,
     false, true},
    {"no instance", LightCase::bound, InstanceCase::zero, "-> no instance found", false, false,
     false},
    {"no light, no instance", LightCase::missing, InstanceCase::zero, "-> no light found", false,
     false, false},
    {"not a light, no instance", LightCase::not_a_light, InstanceCase::zero,
     "-> light is not a light", false, false, false},
    {"not an instance", LightCase::bound, InstanceCase::not_an_instance,
     "-> instance is not an instance", true, false, false},
    {"no light, not an instance", LightCase::missing, InstanceCase::not_an_instance,
     "-> no light found", true, false, false},
    {"not a light, not an instance", LightCase::not_a_light, InstanceCase::not_an_instance,
     "-> light is not a light", true, false, false},
};

TEST_F(Oskalight, ChecksDecideWhatIsEditedAndPrinted) {
    for (const CheckCase &c : kCheckCases) {
        SCOPED_TRACE(c.name);
        fresh();
        const oska_tag stranger = host.add_element(kOtherType, "grid");
        if (c.light == LightCase::missing) {
            element(0) = 0; // no light instance: the host knows no light for it
        } else if (c.light == LightCase::not_a_light) {
            element(0) = host.add_instance(stranger, "not_lamp");
        }
        const oska_tag named = c.instance == InstanceCase::valid             ? object
                               : c.instance == InstanceCase::not_an_instance ? stranger
                                                                             : 0;
        params->instance = named;
        run();

        std::vector<std::string> expected_log;
        if (c.warning != nullptr) {
            expected_log.push_back(std::string("warning: ") + c.warning);
        }
        if (c.infos) {
            const bool is_instance = c.instance == InstanceCase::valid;
            expected_log.push_back(std::string("info: oskalight->objname:: ") +
                                   (is_instance ? "cube" : "grid"));
            expected_log.push_back("info: oskalight->objtype:: " +
                                   std::to_string(is_instance ? OSKA_TYPE_INSTANCE : kOtherType));
        }
        EXPECT_EQ(log(), expected_log);

        std::vector<std::string> expected_edits;
        if (c.light_bound) {
            expected_edits = {open(light), end(light)};
        }
        if (c.instance_edited) {
            expected_edits.push_back(open(object));
            expected_edits.push_back(end(object));
        }
        EXPECT_EQ(edits(), expected_edits);
        EXPECT_TRUE(same(*host.light(light), c.light_bound ? bound_to(object) : sentinel_light()));
        // Set while the record was open: the host reports (in run()) any
        // byte of it that changed after its end.
        EXPECT_EQ(flags_of(host.instance(object)), c.instance_edited ? kSet : kBefore);
    }
}

// The light tag starts as "none": a host that writes nothing for request 7
// leaves it so, even with a valid light instance in the array.
TEST_F(Oskalight, SilentRequestMeansNoLight) {
    host.silence_query(OSKA_QUERY_INSTANCE_LIGHT, true);
    run();
    EXPECT_EQ(host.texts(Level::warning), std::vector<std::string>{"-> no light found"});
    EXPECT_TRUE(same(*host.light(light), sentinel_light()));
}

// ---- Nothing happens when disabled or empty ----------------------------

TEST_F(Oskalight, DisabledOrEmptyDoesNothing) {
    struct Case {
        const char *name;
        oska_boolean enable;
        oska_integer count;
        oska_tag instance;
    };
    const Case cases[] = {
        {"disabled, invalid instance", 0, 1, 999},
        {"disabled, no instance", 0, 1, 0},
        {"count 0, no instance", 1, 0, 0},
        {"count 0, invalid instance", 1, 0, 999},
        {"negative count", 1, -1, 999},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        params->enable = c.enable;
        params->lights_count = c.count;
        params->instance = c.instance;
        run();
        EXPECT_TRUE(host.messages().empty());
        EXPECT_TRUE(host.edits().empty());
        EXPECT_EQ(host.count("mi_query"), 0);
        EXPECT_TRUE(same(*host.light(light), sentinel_light()));
        EXPECT_EQ(flags_of(host.instance(object)), kBefore);
    }
}

// ---- The lights array ---------------------------------------------------

// Each candidate position holds its own light; only the one at the start
// index is bound, whether it lies in the fixed part or past it.
// Position 2 shares its slot with samples_1, unused while override_samples
// is false.
TEST_F(Oskalight, StartIndexPicksTheElement) {
    const int candidates[] = {0, 2, kPastFixedPart, kPastFixedPart + 2};
    for (int start : candidates) {
        SCOPED_TRACE(start);
        fresh();
        oska_tag lights[4];
        for (int i = 0; i < 4; ++i) {
            lights[i] = host.add_light();
            *host.light(lights[i]) = sentinel_light();
            element(candidates[i]) = host.add_instance(lights[i]);
        }
        params->lights_start = start;
        run();
        for (int i = 0; i < 4; ++i) {
            const bool chosen = candidates[i] == start;
            EXPECT_EQ(host.light(lights[i])->area_kind, chosen ? OSKA_AREA_OBJECT : 2) << i;
            EXPECT_EQ(host.light(lights[i])->object_instance, chosen ? object : 0u) << i;
        }
    }
}

TEST_F(Oskalight, OnlyTheFirstElementIsBound) {
    const oska_tag second = host.add_light();
    *host.light(second) = sentinel_light();
    params->lights_start = kPastFixedPart;
    params->lights_count = 2;
    element(kPastFixedPart) = light_instance;
    element(kPastFixedPart + 1) = host.add_instance(second);
    run();
    EXPECT_TRUE(same(*host.light(light), bound_to(object)));
    EXPECT_TRUE(same(*host.light(second), sentinel_light()));
    EXPECT_EQ(edits(),
              (std::vector<std::string>{open(light), end(light), open(object), end(object)}));
}

// ---- Sample counts -----------------------------------------------------

TEST_F(Oskalight, SampleCountsGoToTheirSlotsInTheLowSixteenBits) {
    struct Case {
        const char *name;
        oska_integer samples[5]; // samples_1 .. samples_5
        oska_integer extra;
        uint16_t counts[5]; // the light's first to fifth count
    };
    const Case cases[] = {
        {"samples_3 is the fifth", {1, 1, 7, 1, 1}, 0, {1, 1, 1, 1, 7}},
        {"each to its slot", {1, 2, 3, 4, 5}, 6, {1, 2, 4, 5, 3}},
        {"low half of a large value", {0x30005, 0, 0, 0, 0}, 0, {5, 0, 0, 0, 0}},
        {"low half of negatives",
         {-1, -65536, -2, 65536, 65535},
         -1,
         {0xFFFF, 0, 0, 0xFFFF, 0xFFFE}},
        {"extra value whole", {0, 0, 0, 0, 0}, 0x7FFFFFFF, {0, 0, 0, 0, 0}},
        {"extra value negative", {0, 0, 0, 0, 0}, -123456789, {0, 0, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        params->override_samples = 1;
        params->samples_1 = c.samples[0];
        params->samples_2 = c.samples[1];
        params->samples_3 = c.samples[2];
        params->samples_4 = c.samples[3];
        params->samples_5 = c.samples[4];
        params->extra_value = c.extra;
        run();
        oska_light expected = bound_to(object);
        std::memcpy(expected.samples, c.counts, sizeof expected.samples);
        expected.extra = c.extra;
        EXPECT_TRUE(same(*host.light(light), expected));
    }
}

TEST_F(Oskalight, WithoutOverrideCountsAndExtraKeepTheirValues) {
    params->override_samples = 0;
    params->samples_1 = 1;
    params->samples_3 = 3;
    params->extra_value = 5;
    run();
    EXPECT_TRUE(same(*host.light(light), bound_to(object)));
}

// ---- Instance flags ----------------------------------------------------

TEST_F(Oskalight, InstanceIsOpenedAndClosedEvenWithoutFlags) {
    params->set_instance_flags = 0;
    run();
    EXPECT_EQ(flags_of(host.instance(object)), kBefore);
    EXPECT_EQ(edits(),
              (std::vector<std::string>{open(light), end(light), open(object), end(object)}));
}

// An attached shader on set_instance_flags is never evaluated: the word in
// the record decides, whatever the attached shader would give.
TEST_F(Oskalight, InstanceFlagSwitchIsReadInPlace) {
    for (oska_boolean in_place : {0, 1}) {
        SCOPED_TRACE(in_place);
        fresh();
        params->set_instance_flags = in_place;
        shader->attach(offsetof(oskalight_params, set_instance_flags), oska_boolean{!in_place});
        run();
        EXPECT_EQ(shader->evaluations(offsetof(oskalight_params, set_instance_flags)), 0);
        EXPECT_EQ(flags_of(host.instance(object)), in_place ? kSet : kBefore);
    }
}

// ---- Parameter reads ----------------------------------------------------

// Every parameter but set_instance_flags is attached, with the in-place
// record left zero: the shader must run on the attached values alone, read
// each once, in the order of the algorithm, and the sample parameters only
// while the light is open.
TEST_F(Oskalight, ReadsAttachedParametersInOrder) {
    std::memset(params, 0, offsetof(oskalight_params, set_instance_flags));
    const oska_tag storage[3] = {0, 0, light_instance};
    shader->attach(offsetof(oskalight_params, enable), oska_boolean{1});
    shader->attach(offsetof(oskalight_params, instance), object);
    shader->attach(offsetof(oskalight_params, lights_start), oska_integer{2});
    shader->attach(offsetof(oskalight_params, lights_count), oska_integer{1});
    shader->attach(kElementSlot, storage);
    shader->attach(offsetof(oskalight_params, override_samples), oska_boolean{1});
    shader->attach(offsetof(oskalight_params, samples_1), oska_integer{11});
    shader->attach(offsetof(oskalight_params, samples_2), oska_integer{12});
    shader->attach(offsetof(oskalight_params, samples_3), oska_integer{13});
    shader->attach(offsetof(oskalight_params, samples_4), oska_integer{14});
    shader->attach(offsetof(oskalight_params, samples_5), oska_integer{15});
    shader->attach(offsetof(oskalight_params, extra_value), oska_integer{16});
    run();

    oska_light expected = bound_to(object);
    const uint16_t counts[5] = {11, 12, 14, 15, 13};
    std::memcpy(expected.samples, counts, sizeof counts);
    expected.extra = 16;
    EXPECT_TRUE(same(*host.light(light), expected));

    std::vector<std::string> reads_and_edits;
    for (const host::Call &call : host.calls()) {
        if (call.rfind("mi_phen_eval", 0) == 0 || call.rfind("mi_scene_edit", 0) == 0) {
            reads_and_edits.push_back(call);
        }
    }
    const std::string l = std::to_string(light);
    const std::string o = std::to_string(object);
    const std::vector<std::string> expected_calls = {
        "mi_phen_eval(+4)",         "mi_phen_eval(+8)",
        "mi_phen_eval(+12)",        "mi_phen_eval(+16)",
        "mi_phen_eval(+20)",        "mi_scene_edit(" + l + ")",
        "mi_phen_eval(+24)",        "mi_phen_eval(+28)",
        "mi_phen_eval(+32)",        "mi_phen_eval(+36)",
        "mi_phen_eval(+40)",        "mi_phen_eval(+44)",
        "mi_phen_eval(+48)",        "mi_scene_edit_end(" + l + ")",
        "mi_scene_edit(" + o + ")", "mi_scene_edit_end(" + o + ")"};
    EXPECT_EQ(reads_and_edits, expected_calls);
}

// Disabled: enable and instance are read, nothing else.
TEST_F(Oskalight, DisabledReadsOnlyEnableAndInstance) {
    for (std::size_t offset = 4; offset < offsetof(oskalight_params, set_instance_flags);
         offset += 4) {
        shader->attach(offset, oska_integer{0});
    }
    run();
    for (std::size_t offset = 4; offset < offsetof(oskalight_params, set_instance_flags);
         offset += 4) {
        EXPECT_EQ(shader->evaluations(offset), offset <= 8 ? 1 : 0) << "+" << offset;
    }
}

// ---- Init and exit -----------------------------------------------------

TEST_F(Oskalight, InitDeclinesPerInstanceCallsOnlyOnTheShaderWideCall) {
    oska_state &state = host.make_state(*shader);
    for (oska_boolean before : {1, 7}) {
        oska_boolean flag = before;
        lib.oskalight_init(&state, nullptr, &flag);
        EXPECT_EQ(flag, 0);
        flag = before;
        lib.oskalight_init(&state, params, &flag);
        EXPECT_EQ(flag, before);
    }
    lib.oskalight_init(&state, nullptr, nullptr); // no flag to write: no crash
    lib.oskalight_exit(&state, params);
    lib.oskalight_exit(&state, nullptr);
    EXPECT_TRUE(host.calls().empty());
}

// ---- A host that does not behave ---------------------------------------

// No record to write through: each element is still closed, the call goes
// on, and each refusal is reported.
TEST_F(Oskalight, RefusedEditsAreReportedAndClosed) {
    host.refuse_edits(true);
    params->override_samples = 1;
    run();
    EXPECT_EQ(log(), (std::vector<std::string>{"warning: -> light cannot be edited",
                                               "info: oskalight->objname:: cube",
                                               "info: oskalight->objtype:: 10",
                                               "warning: -> instance cannot be edited"}));
    EXPECT_EQ(edits(),
              (std::vector<std::string>{open(light), end(light), open(object), end(object)}));
    EXPECT_TRUE(same(*host.light(light), sentinel_light()));
    EXPECT_EQ(flags_of(host.instance(object)), kBefore);
}

// An attached lights array whose shader gives no storage holds no element:
// nothing is read through it, whatever the start index says.
TEST_F(Oskalight, AttachedArrayWithoutStorageFindsNoLight) {
    shader->attach_null(kElementSlot);
    params->lights_start = 1000;
    run();
    EXPECT_EQ(log(), (std::vector<std::string>{"warning: -> no light found",
                                               "info: oskalight->objname:: cube",
                                               "info: oskalight->objtype:: 10"}));
    EXPECT_TRUE(same(*host.light(light), sentinel_light()));
    EXPECT_EQ(flags_of(host.instance(object)), kSet);
}

TEST_F(Oskalight, UnnamedInstanceShowsAPlaceholder) {
    host.set_name(object, nullptr);
    run();
    EXPECT_EQ(host.texts(Level::info), (std::vector<std::string>{"oskalight->objname:: (unnamed)",
                                                                 "oskalight->objtype:: 10"}));
}

// A name is text, never a format: it reaches the host as it is.
TEST_F(Oskalight, NameWithPercentReachesTheHostVerbatim) {
    for (const char *name : {"50%", "%s%n", "%d %% %x"}) {
        SCOPED_TRACE(name);
        fresh();
        host.set_name(object, name);
        run();
        EXPECT_EQ(host.texts(Level::info).front(), std::string("oskalight->objname:: ") + name);
    }
}

// A name longer than a message is cut to the message buffer.
TEST_F(Oskalight, LongNameIsCutToTheMessageBuffer) {
    std::string name(5000, 'n');
    name[0] = 'N';
    host.set_name(object, name.c_str());
    run();
    const std::string prefix = "oskalight->objname:: ";
    const std::vector<std::string> infos = host.texts(Level::info);
    ASSERT_EQ(infos.size(), 2u);
    EXPECT_EQ(infos[0].size(), 1023u);
    EXPECT_EQ(infos[0], prefix + name.substr(0, 1023 - prefix.size()));
    EXPECT_EQ(infos[1], "oskalight->objtype:: 10");
    EXPECT_EQ(flags_of(host.instance(object)), kSet);
}

} // namespace
} // namespace oska::test
