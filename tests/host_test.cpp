// The testing host's own checks, on which the shader tests rely to see a
// library fault: allocator records, the scene-edit protocol, texture
// lookups, silenced queries and the module that holds the mi_ functions.
// The mi_ functions are called directly, as the library would call them.
#include "support/oska_test.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace oska::test {
namespace {

class TestingHost : public ::testing::Test {
  protected:
    void SetUp() override { host.reset(); }
    void TearDown() override { host.release_leaks(); }
    host::Testing &host = host::testing();
};

TEST_F(TestingHost, AllocatorRecordsWhatALibraryGetsWrong) {
    void *block = mi_mem_int_allocate("oskacolor", 70, 100);
    ASSERT_NE(block, nullptr);
    // A fresh block is not zeroed: a field left unwritten shows.
    EXPECT_EQ(static_cast<unsigned char *>(block)[99], 0xA5);
    ASSERT_EQ(host.leaks().size(), 1u);
    EXPECT_EQ(host.leaks()[0].file, "oskacolor");
    EXPECT_EQ(host.leaks()[0].line, 70);
    EXPECT_EQ(host.leaks()[0].size, 100);

    int stranger = 0;
    mi_mem_int_release("oskacolor", 190, block);
    mi_mem_int_release("oskacolor", 190, block);
    mi_mem_int_release("oskacolor", 190, &stranger);
    mi_mem_int_release("oskacolor", 190, nullptr); // accepted, like free(nullptr)
    EXPECT_EQ(host.allocator_errors(),
              (std::vector<std::string>{"mi_mem_int_release(oskacolor, 190): block released twice",
                                        "mi_mem_int_release(oskacolor, 190): unknown block"}));
    EXPECT_EQ(host.allocations(), 1);
    EXPECT_EQ(host.releases(), 1);
    EXPECT_TRUE(host.leaks().empty());

    host.fail_allocations(2);
    EXPECT_EQ(mi_mem_int_allocate("oskacolor", 70, 8), nullptr);
    EXPECT_EQ(mi_mem_int_allocate("oskacolor", 70, 8), nullptr);
    EXPECT_NE(mi_mem_int_allocate("oskacolor", 70, 8), nullptr);
    EXPECT_EQ(host.leaks().size(), 1u);
}

// A record is written only between mi_scene_edit and mi_scene_edit_end: a
// write after the end is a fault, whether the record is opened again or not.
TEST_F(TestingHost, WriteToAClosedRecordIsAFault) {
    const struct {
        const char *name;
        bool instance;     // edit the instance, else the light
        bool write_open;   // write while open
        bool write_closed; // write after the end
        bool reopen;       // open and end it once more afterwards
        bool fault;
    } cases[] = {
        {"instance written while open", true, true, false, true, false},
        {"instance flags written after the end", true, false, true, false, true},
        {"instance written after the end, then reopened", true, false, true, true, true},
        {"light written while open", false, true, false, false, false},
        {"light written after the end", false, true, true, false, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        host.reset();
        const oska_tag light = host.add_light();
        const oska_tag tag = c.instance ? host.add_instance(light) : light;
        auto write = [&](unsigned char *record, unsigned char value) {
            record[c.instance ? offsetof(oska_instance, flags) + 3 : offsetof(oska_light, extra)] =
                value;
        };
        auto *record = static_cast<unsigned char *>(mi_scene_edit(tag));
        if (record == nullptr) {
            ADD_FAILURE() << "the record cannot be edited";
            continue;
        }
        if (c.write_open) {
            write(record, 0x11);
        }
        mi_scene_edit_end(tag);
        if (c.write_closed) {
            write(record, 0x22);
        }
        if (c.reopen) {
            EXPECT_EQ(mi_scene_edit(tag), record);
            mi_scene_edit_end(tag);
        }
        const std::vector<std::string> faults = host.edit_errors();
        EXPECT_EQ(faults.size(), c.fault ? 1u : 0u);
        if (c.fault && !faults.empty()) {
            EXPECT_EQ(faults[0],
                      std::to_string(tag) + ": written after mi_scene_edit_end closed it");
        }
    }
}

// One element open at a time per thread; a refused edit may be ended.
TEST_F(TestingHost, SceneEditProtocolFaultsAreRecorded) {
    const oska_tag light = host.add_light();
    const oska_tag instance = host.add_instance(light);
    EXPECT_EQ(mi_scene_edit(light), host.light(light));
    EXPECT_TRUE(host.edit_open());
    EXPECT_EQ(mi_scene_edit(instance), host.instance(instance)); // light still open
    mi_scene_edit_end(light);                                    // not the open one
    mi_scene_edit_end(instance);
    EXPECT_FALSE(host.edit_open());
    mi_scene_edit_end(instance); // nothing open
    const std::string l = std::to_string(light), i = std::to_string(instance);
    EXPECT_EQ(host.edit_errors(),
              (std::vector<std::string>{"mi_scene_edit(" + i + ") while " + l + " is open",
                                        "mi_scene_edit_end(" + l + ") while " + i + " is open",
                                        "mi_scene_edit_end(" + i + ") with nothing open"}));

    host.reset();
    const oska_tag other = host.add_element(7);
    const oska_tag lamp = host.add_light();
    EXPECT_EQ(mi_scene_edit(other), nullptr); // neither a light nor an instance
    mi_scene_edit_end(other);
    host.refuse_edits(true);
    EXPECT_EQ(mi_scene_edit(lamp), nullptr);
    mi_scene_edit_end(lamp);
    // Each thread keeps its own open element.
    host.refuse_edits(false);
    std::thread worker([&] {
        mi_scene_edit(lamp);
        mi_scene_edit_end(lamp);
    });
    mi_scene_edit(lamp);
    worker.join();
    mi_scene_edit_end(lamp);
    EXPECT_TRUE(host.edit_errors().empty()) << host.edit_errors().front();
    EXPECT_EQ(host.edits().size(), 8u);
}

TEST_F(TestingHost, TextureLookupTakesTheNearestTexel) {
    host::Image image;
    image.width = 2;
    image.height = 2;
    image.texels = {{1, 0, 0, 1}, {2, 0, 0, 1}, {3, 0, 0, 1}, {4, 0, 0, 1}};
    const oska_tag texture = host.add_texture(image);
    struct Case {
        oska_vector coord;
        oska_boolean found;
        float red;
    };
    const Case cases[] = {
        {{0.25f, 0.25f, 0}, 1, 1}, {{0.75f, 0.25f, 0}, 1, 2}, {{0.25f, 0.75f, 0}, 1, 3},
        {{1.0f, 1.0f, 0}, 1, 4},   {{-3.0f, 9.0f, 0}, 1, 3},  {{NAN, 0.5f, 0}, 0, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.coord.x) + ", " + std::to_string(c.coord.y));
        oska_color texel{-1, -1, -1, -1};
        oska_vector coord = c.coord;
        EXPECT_EQ(mi_lookup_color_texture(&texel, nullptr, texture, &coord), c.found);
        EXPECT_EQ(texel.r, c.red);
    }
    oska_color texel{-1, -1, -1, -1};
    oska_vector centre{0.5f, 0.5f, 0};
    EXPECT_EQ(mi_lookup_color_texture(&texel, nullptr, texture + 1, &centre), 0);
    host.fail_texture_lookups(true);
    EXPECT_EQ(mi_lookup_color_texture(&texel, nullptr, texture, &centre), 0);
    EXPECT_EQ(texel.r, -1.0f);
}

// A query about the wrong kind of element, or a silenced one, writes nothing.
TEST_F(TestingHost, QueriesWriteOnlyWhatTheyKnow) {
    const oska_tag light = host.add_light({3, 1.5f, "l"});
    const oska_tag instance = host.add_instance(light, "i", 2.0f);
    int32_t word = -7;
    EXPECT_EQ(mi_query(OSKA_QUERY_LIGHT_AREA, nullptr, instance, &word), 0);
    EXPECT_EQ(mi_query(OSKA_QUERY_INSTANCE_LIGHT, nullptr, light, &word), 0);
    EXPECT_EQ(mi_query(OSKA_QUERY_SETTINGS_SLOT, nullptr, 0, &word), 0);
    EXPECT_EQ(word, -7);
    EXPECT_EQ(mi_query(OSKA_QUERY_LIGHT_AREA, nullptr, light, &word), 1);
    EXPECT_EQ(word, 3);
    host.silence_query(OSKA_QUERY_LIGHT_AREA, true);
    word = -7;
    EXPECT_EQ(mi_query(OSKA_QUERY_LIGHT_AREA, nullptr, light, &word), 0);
    EXPECT_EQ(word, -7);

    host.set_logging(false);
    mi_query(OSKA_QUERY_LIGHT_AREA, nullptr, light, &word);
    EXPECT_EQ(host.calls().size(), 5u); // the last one counted, not logged
    EXPECT_EQ(host.count("mi_query"), 6);
}

// The fault switches, each shown on its own.
enum class Fault {
    none,
    silenced_query,
    overlong_query,
    slot_not_kept,
    failing_allocation,
    failing_lookups,
    light_named,
    refused_edits,
    edit_invalidated_early,
};

void switch_on(host::Testing &host, Fault fault) {
    host::Testing::HostFaults faults;
    switch (fault) {
    case Fault::none:
        return;
    case Fault::silenced_query:
        host.silence_query(OSKA_QUERY_LIGHT_AREA, true);
        return;
    case Fault::failing_allocation:
        host.fail_allocations(1);
        return;
    case Fault::failing_lookups:
        host.fail_texture_lookups(true);
        return;
    case Fault::refused_edits:
        host.refuse_edits(true);
        return;
    case Fault::overlong_query:
        faults.overlong_query = OSKA_QUERY_LIGHT_EXPONENT;
        break;
    case Fault::slot_not_kept:
        faults.slot_not_kept = true;
        break;
    case Fault::light_named:
        faults.light_name = "lamp";
        break;
    case Fault::edit_invalidated_early:
        faults.edit_invalidated_early = true;
        break;
    }
    host.set_faults(faults);
}

std::string name_of(oska_tag tag) {
    const char *name = mi_api_tag_lookup(tag);
    return name != nullptr ? name : "(none)";
}

// What the testing host answers, through its exported functions, to one call
// of each function a fault switch changes, on a scene of its own: each answer
// by what it is about.
using Answers = std::map<std::string, std::string>;

Answers answers(host::Testing &host) {
    const oska_tag light = host.add_light({OSKA_AREA_OBJECT, 1.5f, "l"});
    const oska_tag instance = host.add_instance(light, "i");
    const oska_tag texture = host.add_texture({1, 1, {{0.5f, 0, 0, 1}}});
    host::ShaderInstance &shader = host.add_shader("s", 8);
    oska_state &state = host.make_state(shader, instance);
    Answers seen;

    int32_t area = -7;
    const oska_boolean answered = mi_query(OSKA_QUERY_LIGHT_AREA, &state, light, &area);
    seen["area"] = std::to_string(answered) + " " + std::to_string(area);
    unsigned char exponent[8];
    std::memset(exponent, 0xEE, sizeof exponent);
    mi_query(OSKA_QUERY_LIGHT_EXPONENT, &state, light, exponent);
    double wide = 0;
    float narrow = 0;
    std::memcpy(&wide, exponent, sizeof wide);
    std::memcpy(&narrow, exponent, sizeof narrow);
    seen["exponent"] =
        exponent[4] == 0xEE ? std::to_string(narrow) : "8 bytes " + std::to_string(wide);
    void *first = nullptr;
    void *second = nullptr;
    mi_query(OSKA_QUERY_SETTINGS_SLOT, &state, 0, &first);
    mi_query(OSKA_QUERY_SETTINGS_SLOT, &state, 0, &second);
    seen["slot"] = first == &shader.settings && second == first ? "kept" : "lost";
    void *block = mi_mem_int_allocate("t", 1, 4);
    seen["allocation"] = block != nullptr ? "made" : "refused";
    mi_mem_int_release("t", 1, block);
    oska_color texel{-1, -1, -1, -1};
    oska_vector centre{0.5f, 0.5f, 0};
    seen["texture"] = std::to_string(mi_lookup_color_texture(&texel, &state, texture, &centre));
    seen["names"] = name_of(light) + "/" + name_of(instance);
    seen["edit"] = mi_scene_edit(light) != nullptr ? "open" : "refused";
    mi_db_type(light); // reads the scene while the record is open
    seen["record"] = std::to_string(host.light(light)->area_kind);
    mi_scene_edit_end(light);
    return seen;
}

// A fault switch changes only the answer it is named for, and reset() switches
// it off again.
TEST_F(TestingHost, EachFaultSwitchChangesItsOwnAnswerUntilReset) {
    const Answers plain = {{"area", "1 5"},        {"exponent", "1.500000"}, {"slot", "kept"},
                           {"allocation", "made"}, {"texture", "1"},         {"names", "l/i"},
                           {"edit", "open"},       {"record", "5"}};
    struct Row {
        const char *name;
        Fault fault;
        const char *answer; // the one that changes
        const char *changed;
    };
    const Row rows[] = {
        {"none", Fault::none, "area", "1 5"},
        {"silenced query", Fault::silenced_query, "area", "0 -7"},
        {"overlong query", Fault::overlong_query, "exponent", "8 bytes 1.500000"},
        {"slot not kept", Fault::slot_not_kept, "slot", "lost"},
        {"failing allocation", Fault::failing_allocation, "allocation", "refused"},
        {"failing lookups", Fault::failing_lookups, "texture", "0"},
        {"light named", Fault::light_named, "names", "lamp/i"},
        {"refused edits", Fault::refused_edits, "edit", "refused"},
        {"edit invalidated early", Fault::edit_invalidated_early, "record", "-572662307"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Answers expected = plain;
        expected[row.answer] = row.changed;
        host.reset();
        switch_on(host, row.fault);
        EXPECT_EQ(answers(host), expected);
        host.reset();
        EXPECT_EQ(answers(host), plain);
    }
}

// The module given to the library exports the functions that serve this
// host, and the library lies beside it.
TEST_F(TestingHost, ModuleHandleExportsTheHostFunctions) {
    void *module = host::module_handle();
    ASSERT_NE(module, nullptr);
#if defined(_WIN32)
    auto find = [&](const char *name) {
        return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
    };
#else
    auto find = [&](const char *name) { return dlsym(module, name); };
#endif
    const oska_tag light = host.add_light();
    auto db_type = reinterpret_cast<mi_db_type_fn>(find("mi_db_type"));
    ASSERT_NE(db_type, nullptr);
    EXPECT_EQ(db_type(light), OSKA_TYPE_LIGHT);
    EXPECT_EQ(host.calls(), std::vector<std::string>{"mi_db_type(" + std::to_string(light) + ")"});
    host::Library library;
    EXPECT_TRUE(library.load(host::built_library_path())) << library.error;
}

} // namespace
} // namespace oska::test
