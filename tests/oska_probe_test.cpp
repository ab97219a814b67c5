// The probe library in place of the shader library, on the testing host
// with the probe scene: every check passes on the host as it is, and with
// each host fault switched on the report names that fault and nothing else.
#include "probe_scene.h"

#include <oska/host/library.h>
#include <oska/host/testing.h>
#include <oska/host_api.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace oska::test {
namespace {

namespace fs = std::filesystem;
using host::Level;
using host::Testing;
using ::testing::HasSubstr;

constexpr int kObjectType = 1; // what an object instance places: neither light nor instance

host::Library &probe() {
    static host::Library *loaded = [] {
        auto *lib = new host::Library;
        if (!lib->load(host::built_file_path(OSKA_PROBE_LIBRARY))) {
            ADD_FAILURE() << "cannot load the probe: " << lib->error;
        }
        return lib;
    }();
    return *loaded;
}

// This process's id: two runs of the suite on one machine must not share a
// report folder, or one's clean-up removes the other's reports.
long process_id() {
#if defined(_WIN32)
    return long(_getpid());
#else
    return long(getpid());
#endif
}

void set_report_folder(const std::string &folder) {
#if defined(_WIN32)
    _putenv(("OSKA_PROBE_REPORT_DIR=" + folder).c_str());
#else
    setenv("OSKA_PROBE_REPORT_DIR", folder.c_str(), 1);
#endif
}

// The file of the host module that lacks `function` and forwards the rest.
std::string partial_host(const char *function) {
    return std::string(OSKA_PARTIAL_HOST_PREFIX) + function + OSKA_PARTIAL_HOST_SUFFIX;
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The group named by a report line "oska_probe-> FAIL group: check: ...".
std::string group_of(const std::string &line) {
    const std::string marker = "-> FAIL ";
    const std::size_t at = line.find(marker);
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t from = at + marker.size();
    return line.substr(from, line.find(':', from) - from);
}

// How the testing host renders the probe scene, where it is no fault of
// the host's (HostFaults holds those).
struct Scene {
    double eye_distance = 1.5;                     // the eye ray's; light rays are further
    double light_distance = 2.5;                   // the first light ray's
    float attached_answer = probe::kAttachedValue; // mi_phen_eval's for `value`
    bool instances_end_after_shader = false;
    bool without_vectors = false;                 // sample states with no vector list
    bool attachment_words_at_record_size = false; // on the element past the record
    int silenced_request = 0;                     // a query the host answers with nothing
    int32_t lights_start = -1; // where the lights element goes; -1: just past the record
};

// What the testing host is set to do: its faults, the one function its module
// lacks (empty: none) and how it renders the probe scene.
struct HostSetup {
    Testing::HostFaults faults;
    const char *without = "";
    Scene scene;
};

HostSetup faulty(const Testing::HostFaults &faults) { return {faults, "", Scene()}; }
HostSetup lacking(const char *function) { return {{}, function, Scene()}; }
HostSetup rendered(const Scene &scene) { return {{}, "", scene}; }

// A check's outcome and words of its last line; a null check: not asked.
struct Seen {
    const char *check = nullptr;
    const char *outcome = nullptr;
    const char *said = nullptr;
};

struct FaultCase {
    std::string fault;
    HostSetup setup;
    const char *group; // the group(s) whose checks fail, ", " apart; empty: none
    std::string named; // what the failure lines must say
    Seen seen;
};

// The host's module lacks `function`: the host-function check names it, and
// the check `needs_it` is not exercised, saying `said`.
FaultCase missing(const char *function, const char *needs_it, const char *said) {
    return {std::string("no ") + function,
            lacking(function),
            "host functions",
            std::string(function) + " is not exported",
            {needs_it, "NOT EXERCISED", said}};
}

class ProbeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host.reset();
        ASSERT_NE(lib.miSetModuleHandle, nullptr);
        folder = fs::temp_directory_path() /
                 ("oska_probe_test_" + std::to_string(process_id()) + "_" +
                  std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(folder);
        fs::create_directories(folder);
        set_report_folder(folder.string());
    }
    void TearDown() override {
        host.release_leaks();
        fs::remove_all(folder);
    }

    // Writes the probe scene's value of each field into `shader`'s record.
    void write_fields(host::ShaderInstance &shader, const probe::FieldValue *fields, int count) {
        for (int i = 0; i < count; ++i) {
            const probe::FieldValue &field = fields[i];
            switch (field.type) {
            case OSKA_PARAM_TYPE_COLOR:
                host.write_param(shader, std::size_t(field.offset), field.numbers, 16);
                break;
            case OSKA_PARAM_TYPE_SCALAR:
                host.write_param(shader, std::size_t(field.offset), field.numbers, 4);
                break;
            case OSKA_PARAM_TYPE_BOOLEAN:
            case OSKA_PARAM_TYPE_INTEGER:
                host.write_param(shader, std::size_t(field.offset), &field.integer, 4);
                break;
            case OSKA_PARAM_TYPE_TAG: {
                const oska_tag tag =
                    std::strcmp(field.name_of_tag, probe::kTextureName) == 0 ? texture : lamp;
                host.write_param(shader, std::size_t(field.offset), &tag, 4);
                break;
            }
            }
        }
    }

    // The probe scene, then the host's calls: oskalight binds the light,
    // oskacolor serves it from three threads, everything ends.
    void render_probe_scene(const Scene &scene = Scene()) {
        texture = host.add_texture(host::Image{}, probe::kTextureName);
        lamp = host.add_instance(host.add_element(kObjectType, probe::kLampName), probe::kLampName);
        host::LightDesc desc;
        desc.area_kind = 0;
        desc.exponent = probe::kLightExponent;
        desc.name = probe::kLightName;
        light = host.add_light(desc);
        light_instance = host.add_instance(light, probe::kLightName, probe::kEmitDivisor);
        const Testing::HostFaults faults = host.faults();
        if (scene.silenced_request != 0) {
            host.silence_query(scene.silenced_request, true);
        }
        if (!faults.light_bound_after_init) {
            bind_light(scene);
        }
        host::ShaderInstance &shader = init_color(scene, faults);
        if (faults.light_bound_after_init) {
            bind_light(scene);
        }
        evaluate(scene, shader);

        // 3. Instances end before their shaders.
        auto *params = shader.params<oskacolor_params>();
        if (scene.instances_end_after_shader) {
            lib.oskacolor_exit(color_state, nullptr);
            lib.oskacolor_exit(color_state, params);
        } else {
            lib.oskacolor_exit(color_state, params);
            lib.oskacolor_exit(color_state, nullptr);
        }
        lib.oskalight_exit(bind_state, nullptr);
    }

    // 1. oskalight: the array's one element after the fixed part.
    void bind_light(const Scene &scene) {
        oska_boolean wanted = 1;
        host::ShaderInstance &binder = host.add_shader("oskalight", sizeof(oskalight_params), 4);
        if (scene.attachment_words_at_record_size) {
            binder.function.attach_offset = int32_t(sizeof(oskalight_params));
        }
        bind_state = &host.make_state(binder);
        lib.oskalight_init(bind_state, nullptr, &wanted);
        EXPECT_EQ(wanted, 0);
        write_fields(binder, probe::kLightFields.data(), int(std::size(probe::kLightFields)));
        const int32_t start = scene.lights_start >= 0
                                  ? scene.lights_start
                                  : int32_t((sizeof(oskalight_params) - 20) / 4);
        const int32_t lights[3] = {start, probe::kLightsCount, 0};
        host.write_param(binder, 12, lights, sizeof lights);
        host.write_param(binder, std::size_t(20 + 4 * start), &light_instance, 4);
        int32_t ignored = 0;
        EXPECT_EQ(lib.oskalight(&ignored, bind_state, binder.params<oskalight_params>()), 1);
    }

    // 2. oskacolor, with one parameter attached: its shader-wide and its
    // instance's init.
    host::ShaderInstance &init_color(const Scene &scene, const Testing::HostFaults &faults) {
        oska_boolean wanted = 0;
        host::ShaderInstance &shader = host.add_shader("oskacolor", sizeof(oskacolor_params));
        carried = faults.state_carries_light ? light : light_instance;
        color_state = &host.make_state(shader, carried);
        lib.oskacolor_init(color_state, nullptr, &wanted);
        EXPECT_EQ(wanted, 1);
        write_fields(shader, probe::kColorFields.data(), int(std::size(probe::kColorFields)));
        shader.attach(std::size_t(probe::kAttachedOffset), scene.attached_answer);
        lib.oskacolor_init(color_state, shader.params<oskacolor_params>(), &wanted);
        return shader;
    }

    // Evaluations: an eye ray and two light rays, each on a thread of its own.
    void evaluate(const Scene &scene, host::ShaderInstance &shader) {
        static const oska_vector vectors[1] = {{0.25f, 0.75f, 0.0f}};
        std::vector<oska_state *> states;
        for (int i = 0; i < 3; ++i) {
            oska_state &state = host.make_state(shader, carried);
            state.ray_kind = i == 0 ? OSKA_RAY_EYE : OSKA_RAY_LIGHT;
            state.distance = i == 0 ? scene.eye_distance : scene.light_distance + (i - 1);
            state.emission_dot = -0.5f;
            state.orientation = 1;
            state.vectors = scene.without_vectors ? nullptr : vectors;
            state.vector_count = scene.without_vectors ? 0 : 1;
            states.push_back(&state);
        }
        auto *params = shader.params<oskacolor_params>();
        std::atomic<int> wrong_answers{0};
        std::vector<std::thread> threads;
        for (oska_state *state : states) {
            threads.emplace_back([this, state, params, &wrong_answers] {
                for (int i = 0; i < 50; ++i) {
                    oska_color result{};
                    if (lib.oskacolor(&result, state, params) != 1 ||
                        std::memcmp(&result, &probe::kProbeColor, sizeof result) != 0) {
                        ++wrong_answers;
                    }
                }
            });
        }
        for (std::thread &thread : threads) {
            thread.join();
        }
        EXPECT_EQ(wrong_answers.load(), 0) << "the probe colour is its answer";
    }

    // The outcome word of the last line the probe sent for `check` (e.g.
    // "PASS", "FAIL", "NOT EXERCISED", "INFO"), and what it saw after the
    // colon; empty when it sent none.
    std::pair<std::string, std::string> last_line(const std::string &check) const {
        std::pair<std::string, std::string> found;
        for (const host::Message &message : host.messages()) {
            const std::string &text = message.text;
            const std::size_t named = text.find(": " + check + ": ");
            const std::size_t arrow = text.find("-> ");
            if (named == std::string::npos || arrow == std::string::npos) {
                continue;
            }
            const std::string head = text.substr(arrow + 3, named - arrow - 3);
            for (const char *word : {"NOT EXERCISED", "PASS", "FAIL", "INFO"}) {
                if (head.compare(0, std::strlen(word), word) == 0) {
                    found.first = word;
                }
            }
            found.second = text.substr(named + check.size() + 4);
        }
        return found;
    }

    // Binds the probe to the host `setup` describes and renders the probe
    // scene on it.
    void render_on(const HostSetup &setup);
    void expect_report(const FaultCase &c);

    std::vector<std::string> failures() const {
        std::vector<std::string> lines;
        for (const std::string &text : host.texts(Level::error)) {
            if (text.find("-> verdict:") == std::string::npos) {
                lines.push_back(text);
            }
        }
        return lines;
    }

    host::Library &lib = probe();
    Testing &host = host::testing();
    fs::path folder;
    oska_tag texture = 0;
    oska_tag lamp = 0;
    oska_tag light = 0;
    oska_tag light_instance = 0;
    oska_tag carried = 0; // the light instance the oskacolor states carry
    oska_state *bind_state = nullptr;
    oska_state *color_state = nullptr;
};

std::vector<FaultCase> earlier_fault_cases() {
    Testing::HostFaults moved;
    moved.moved_field = 84; // hue, written over the boolean before it
    moved.moved_by = -4;
    auto overlong = [](int request) {
        Testing::HostFaults f;
        f.overlong_query = request;
        return f;
    };
    Testing::HostFaults slot;
    slot.slot_not_kept = true;
    Testing::HostFaults edit;
    edit.edit_invalidated_early = true;
    return {
        {"none", {}, "", "", {}},
        {"a field moved", faulty(moved), "oskacolor record", "hue: +84 holds 0", {}},
        {"a settings slot not kept", faulty(slot), "settings slot", "kept from init to exit", {}},
        {"request 7 writes 8 bytes", faulty(overlong(7)), "queries", "request 7", {}},
        {"request 24 writes 8 bytes", faulty(overlong(24)), "queries", "request 24", {}},
        {"request 25 writes a double",
         faulty(overlong(25)),
         "queries",
         "request 25 (distance exponent): light",
         {}},
        {"request 125 writes a double", faulty(overlong(125)), "queries", "request 125", {}},
        {"a missing function", lacking("mi_luminance"), "host functions", "mi_luminance", {}},
        {"an edited record invalidated early",
         faulty(edit),
         "scene edits",
         "changed before mi_scene_edit_end",
         {}},
    };
}

std::vector<FaultCase> missing_function_cases() {
    return {
        missing("mi_query", "request 125 (emit divisor)", "it needs mi_query"),
        missing("mi_db_type", "request 7 (light of an instance)", "it needs mi_db_type"),
        missing("mi_api_tag_lookup", "lights: element", "it needs mi_api_tag_lookup"),
        missing("mi_phen_eval", "value", "attached, and it needs mi_phen_eval"),
        missing("mi_scene_edit", "light bound before instance init", "it needs mi_scene_edit"),
    };
}

std::vector<FaultCase> state_and_order_cases() {
    Testing::HostFaults late;
    late.light_bound_after_init = true;
    Testing::HostFaults renamed;
    renamed.light_name = "probeLight";
    Testing::HostFaults carries_light;
    carries_light.state_carries_light = true;
    Scene eye_at_zero;
    eye_at_zero.eye_distance = 0;
    Scene light_at_zero;
    light_at_zero.light_distance = 0;
    Scene silent;
    silent.silenced_request = OSKA_QUERY_EMIT_DIVISOR;
    return {
        {"the light bound after the instances' init",
         faulty(late),
         "lifecycle",
         "light 4 has area kind 0 at oskacolor_init: oskalight must make it an object light "
         "(area kind 5) before any instance's oskacolor_init",
         {"request 24 (area kind)", "PASS", "area kind 0"}},
        {"the light named another way",
         faulty(renamed),
         "oskalight record",
         "lights: element: element 5 (probe_light) is an instance of light 4 named probeLight, "
         "expected a light named probe_light",
         {"light record", "PASS", "writable until mi_scene_edit_end"}},
        {"the light's tag as the state's light instance",
         faulty(carries_light),
         "shading state",
         "light instance: state->light_instance is 4 (probe_light), an element of type 4 (a "
         "light), not an instance",
         {"request 7 (light of an instance)", "NOT EXERCISED",
          "state->light_instance, which is not the light's instance"}},
        {"eye rays at distance 0",
         rendered(eye_at_zero),
         "",
         "",
         {"distance", "PASS", "positive and finite on light rays"}},
        {"a light ray at distance 0",
         rendered(light_at_zero),
         "shading state",
         "distance: distance 0 on a light ray",
         {}},
        {"request 125 answers nothing",
         rendered(silent),
         "queries",
         // the whole line: no value read from where the host wrote none
         "request 125 (emit divisor): light instance 5: wrote nothing\n",
         {"request 125 (emit divisor)", "FAIL", "wrote nothing"}},
    };
}

std::vector<FaultCase> wording_and_layout_cases() {
    Scene half;
    half.attached_answer = 0.5f;
    Scene ended_late;
    ended_late.instances_end_after_shader = true;
    Scene no_vectors;
    no_vectors.without_vectors = true;
    Scene collision;
    collision.attachment_words_at_record_size = true;
    Scene on_a_parameter;
    on_a_parameter.lights_start = 1;
    return {
        {"an attached value answered wrong",
         rendered(half),
         "oskacolor record, attachment",
         "value: +92 is attached: mi_phen_eval's answer is 0.5, expected 0.59375",
         {}},
        {"an instance ended after its shader",
         rendered(ended_late),
         "lifecycle",
         "instances ended: 1 instance not ended by oskacolor_exit before the shader's exit",
         {"instances ended", "FAIL", "1 instance ended after the shader's exit"}},
        {"no vector list",
         rendered(no_vectors),
         "shading state",
         "the vector list has 0 entries",
         {"emission dot product", "NOT EXERCISED", "the sample state lacks"}},
        {"attachment words on the element past the record",
         rendered(collision),
         "oskalight record",
         "the element at +56 lies on the attachment word of reserved (+0 + attachment offset 56)",
         {"lights: elements apart from attachment words", "FAIL",
          "the attachment words go past the last element"}},
        {"the element on a parameter of the record",
         rendered(on_a_parameter),
         "oskalight record",
         "the element at +24 lies on override_samples, a parameter of the record",
         {"lights: elements apart from attachment words", "FAIL", "override_samples"}},
        {"no fault: the thread count informs",
         {},
         "",
         "",
         {"concurrent evaluations", "INFO", "up to "}},
    };
}

TEST_F(ProbeTest, ReportNamesEachPlantedHostFaultAndNothingElse) {
    std::vector<FaultCase> cases = earlier_fault_cases();
    for (auto more : {missing_function_cases, state_and_order_cases, wording_and_layout_cases}) {
        const std::vector<FaultCase> rows = more();
        cases.insert(cases.end(), rows.begin(), rows.end());
    }
    for (const FaultCase &c : cases) {
        SCOPED_TRACE(c.fault);
        render_on(c.setup);
        expect_report(c);
    }
}

// The report's rows, in order, as a host writer's tools read them: a check
// renamed, moved, dropped or listed twice shows here. Each parameter of a
// record but an array has a row of its own, in the table's order.
#define OSKA_PROBE_RECORD_ROW(shader, name, TYPE, ...) OSKA_PROBE_RECORD_ROW_##TYPE(shader, name)
#define OSKA_PROBE_RECORD_ROW_COLOR(shader, name) #shader " record: " #name "\n"
#define OSKA_PROBE_RECORD_ROW_SCALAR OSKA_PROBE_RECORD_ROW_COLOR
#define OSKA_PROBE_RECORD_ROW_BOOLEAN OSKA_PROBE_RECORD_ROW_COLOR
#define OSKA_PROBE_RECORD_ROW_INTEGER OSKA_PROBE_RECORD_ROW_COLOR
#define OSKA_PROBE_RECORD_ROW_TAG OSKA_PROBE_RECORD_ROW_COLOR
#define OSKA_PROBE_RECORD_ROW_TAG_ARRAY(shader, name)
#define OSKA_PROBE_ROW_OF_oskacolor(...) OSKA_PROBE_RECORD_ROW(oskacolor, __VA_ARGS__)
#define OSKA_PROBE_ROW_OF_oskalight(...) OSKA_PROBE_RECORD_ROW(oskalight, __VA_ARGS__)
#define OSKA_PROBE_RECORD_ROWS(shader, list) list(OSKA_PROBE_ROW_OF_##shader)
constexpr char kReportRows[] = R"(host functions: mi_scene_edit
host functions: mi_scene_edit_end
host functions: mi_trace_shadow
host functions: mi_phen_eval
host functions: mi_mem_int_allocate
host functions: mi_mem_int_release
host functions: mi_luminance
host functions: mi_query
host functions: mi_lookup_color_texture
host functions: mi_error
host functions: mi_warning
host functions: mi_info
host functions: mi_db_type
host functions: mi_api_tag_lookup
)" OSKA_PROBE_RECORD_ROWS(oskacolor, OSKACOLOR_PARAMS) R"(attachment: attached parameter
)" OSKA_PROBE_RECORD_ROWS(oskalight, OSKALIGHT_PARAMS) R"(oskalight record: lights: start
oskalight record: lights: count
oskalight record: lights: element
oskalight record: lights: elements apart from attachment words
settings slot: present
settings slot: distinct per instance
settings slot: kept from init to exit
queries: request 7 (light of an instance)
queries: request 24 (area kind)
queries: request 25 (distance exponent)
queries: request 125 (emit divisor)
queries: request 51 (settings slot)
shading state: ray kinds
shading state: light instance
shading state: distance
shading state: sample state
shading state: emission dot product
shading state: parent levels
allocator: block alignment
allocator: blocks distinct
scene edits: light record
scene edits: instance record
scene edits: edit kept
lifecycle: light bound before instance init
lifecycle: instances ended
threads: concurrent evaluations
)";

TEST_F(ProbeTest, ReportListsEachCheckOnceUnderItsGroupInOrder) {
    render_on(HostSetup());
    std::istringstream report(read_file(folder / "oska-probe-report.md"));
    std::string rows;
    for (std::string line; std::getline(report, line);) {
        const std::size_t group_end = line.find(" | ");
        const std::size_t check_end = line.find(" | ", group_end + 3);
        if (line.compare(0, 2, "| ") != 0 || line.compare(0, 8, "| Group ") == 0 ||
            check_end == std::string::npos) {
            continue;
        }
        rows += line.substr(2, group_end - 2) + ": " +
                line.substr(group_end + 3, check_end - group_end - 3) + "\n";
    }
    EXPECT_EQ(rows, kReportRows);
}

void ProbeTest::render_on(const HostSetup &setup) {
    host.reset();
    host.set_faults(setup.faults);
    host::Module partial;
    if (setup.without[0] != '\0') {
        ASSERT_TRUE(partial.load(host::built_file_path(partial_host(setup.without))))
            << partial.error;
        partial.function<void(OSKA_CALL *)(void *)>("oska_partial_host_forward_to")(
            host::module_handle());
        lib.miSetModuleHandle(partial.handle);
    } else {
        lib.miSetModuleHandle(host::module_handle());
    }
    render_probe_scene(setup.scene);
    lib.miSetModuleHandle(host::module_handle()); // before the partial host goes
}

// The report of the case's host: the failures in its groups alone and
// naming its fault, the check it asks about with its outcome and words.
void ProbeTest::expect_report(const FaultCase &c) {
    const std::string report = read_file(folder / "oska-probe-report.md");
    const std::string json = read_file(folder / "oska-probe-report.json");
    if (c.seen.check != nullptr) {
        const auto [outcome, said] = last_line(c.seen.check);
        EXPECT_EQ(outcome, c.seen.outcome) << c.seen.check << ": " << said;
        EXPECT_THAT(said, HasSubstr(c.seen.said));
    }
    if (c.seen.check == nullptr || std::strcmp(c.seen.outcome, "NOT EXERCISED") != 0) {
        EXPECT_TRUE(host.texts(Level::warning).empty()) << "a check was not exercised";
    }
    EXPECT_THAT(report, ::testing::Not(HasSubstr("NOT RUN")));
    if (c.group[0] == '\0') {
        EXPECT_THAT(failures(), ::testing::IsEmpty());
        EXPECT_THAT(report, HasSubstr("**Verdict:** PASS"));
        EXPECT_THAT(json, HasSubstr("\"failed\": 0,"));
        return;
    }
    std::string all;
    const std::string groups = std::string(", ") + c.group + ", ";
    for (const std::string &line : failures()) {
        EXPECT_THAT(groups, HasSubstr(", " + group_of(line) + ", ")) << line;
        all += line + "\n";
    }
    EXPECT_THAT(all, HasSubstr(c.named));
    EXPECT_THAT(report, HasSubstr("**Verdict:** FAIL"));
    EXPECT_THAT(json, HasSubstr("\"verdict\": \"FAIL"));
}

// Whichever function the host module lacks, its own line is the one
// failure: every check that needs it is not exercised, none left not run.
TEST_F(ProbeTest, MissingFunctionFailsItsOwnLineAlone) {
    static const char *const functions[] = {
#define OSKA_PROBE_TEST_NAME(kind, result, name, params, args) #name,
        OSKA_HOST_FUNCTIONS(OSKA_PROBE_TEST_NAME)
#undef OSKA_PROBE_TEST_NAME
    };
    for (const char *function : functions) {
        SCOPED_TRACE(function);
        render_on(lacking(function));

        const std::string json = read_file(folder / "oska-probe-report.json");
        EXPECT_THAT(json, HasSubstr("\"failed\": 1,"));
        EXPECT_THAT(json, HasSubstr("\"not_run\": 0"));
        for (const std::string &line : failures()) {
            EXPECT_THAT(line, HasSubstr(std::string(function) + " is not exported")) << line;
        }
    }
}

TEST_F(ProbeTest, ReportThatCannotBeWrittenIsAnErrorAndLeavesNoTemporary) {
    struct Case {
        const char *what;
        std::string folder;     // the report folder
        const char *in_the_way; // a folder where the report goes; nullptr: none
        const char *said;
    };
    const Case cases[] = {
        {"a missing folder", (folder / "missing").string(), nullptr, "cannot create"},
        {"a folder in the way", folder.string(), "oska-probe-report.md", "not a regular file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        host.reset();
        set_report_folder(c.folder);
        if (c.in_the_way != nullptr) {
            fs::create_directories(folder / c.in_the_way);
        }
        lib.miSetModuleHandle(host::module_handle());
        oska_boolean wanted = 0;
        lib.oskalight_init(nullptr, nullptr, &wanted);
        lib.oskalight_exit(nullptr, nullptr);
        std::string errors;
        for (const std::string &text : host.texts(Level::error)) {
            errors += text + "\n";
        }
        EXPECT_THAT(errors, HasSubstr("the report was not written"));
        EXPECT_THAT(errors, HasSubstr(c.said));
        for (const auto &entry : fs::directory_iterator(folder)) {
            EXPECT_NE(entry.path().extension(), ".tmp") << "left behind: " << entry.path();
        }
    }
}

} // namespace
} // namespace oska::test
