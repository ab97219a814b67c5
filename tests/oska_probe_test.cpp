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
            case probe::FieldType::color:
                host.write_param(shader, std::size_t(field.offset), field.numbers, 16);
                break;
            case probe::FieldType::scalar:
                host.write_param(shader, std::size_t(field.offset), field.numbers, 4);
                break;
            case probe::FieldType::boolean:
            case probe::FieldType::integer:
                host.write_param(shader, std::size_t(field.offset), &field.integer, 4);
                break;
            case probe::FieldType::tag: {
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
    void render_probe_scene() {
        texture = host.add_texture(host::Image{}, probe::kTextureName);
        lamp = host.add_instance(host.add_element(kObjectType, probe::kLampName), probe::kLampName);
        host::LightDesc desc;
        desc.area_kind = 0;
        desc.exponent = probe::kLightExponent;
        desc.name = probe::kLightName;
        const oska_tag light = host.add_light(desc);
        const oska_tag light_instance =
            host.add_instance(light, probe::kLightName, probe::kEmitDivisor);

        // 1. oskalight: the array's one element after the fixed part.
        oska_boolean wanted = 1;
        host::ShaderInstance &binder = host.add_shader("oskalight", sizeof(oskalight_params), 4);
        oska_state &bind_state = host.make_state(binder);
        lib.oskalight_init(&bind_state, nullptr, &wanted);
        EXPECT_EQ(wanted, 0);
        write_fields(binder, probe::kLightFields, int(std::size(probe::kLightFields)));
        const int32_t lights[3] = {int32_t((sizeof(oskalight_params) - 20) / 4),
                                   probe::kLightsCount, 0};
        host.write_param(binder, 12, lights, sizeof lights);
        host.write_param(binder, sizeof(oskalight_params), &light_instance, 4);
        int32_t ignored = 0;
        EXPECT_EQ(lib.oskalight(&ignored, &bind_state, binder.params<oskalight_params>()), 1);

        // 2. oskacolor, with one parameter attached.
        host::ShaderInstance &shader = host.add_shader("oskacolor", sizeof(oskacolor_params));
        oska_state &init_state = host.make_state(shader, light_instance);
        lib.oskacolor_init(&init_state, nullptr, &wanted);
        EXPECT_EQ(wanted, 1);
        write_fields(shader, probe::kColorFields, int(std::size(probe::kColorFields)));
        shader.attach(std::size_t(probe::kAttachedOffset), probe::kAttachedValue);
        auto *params = shader.params<oskacolor_params>();
        lib.oskacolor_init(&init_state, params, &wanted);

        const oska_vector vectors[1] = {{0.25f, 0.75f, 0.0f}};
        std::vector<oska_state *> states;
        for (int i = 0; i < 3; ++i) {
            oska_state &state = host.make_state(shader, light_instance);
            state.ray_kind = i == 0 ? OSKA_RAY_EYE : OSKA_RAY_LIGHT;
            state.distance = 1.5 + i;
            state.emission_dot = -0.5f;
            state.orientation = 1;
            state.vectors = vectors;
            state.vector_count = 1;
            states.push_back(&state);
        }
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

        // 3. Instances end before their shaders.
        lib.oskacolor_exit(&init_state, params);
        lib.oskacolor_exit(&init_state, nullptr);
        lib.oskalight_exit(&bind_state, nullptr);
    }

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
};

TEST_F(ProbeTest, ReportNamesEachPlantedHostFaultAndNothingElse) {
    struct Case {
        const char *fault;
        Testing::HostFaults faults;
        bool without_luminance; // the host module lacks mi_luminance
        const char *group;      // the group whose checks fail; empty: none
        const char *named;      // what the failure lines must say
    };
    auto moved = [] {
        Testing::HostFaults f;
        f.moved_field = 84; // hue, written over the boolean before it
        f.moved_by = -4;
        return f;
    };
    auto overlong = [](int request) {
        Testing::HostFaults f;
        f.overlong_query = request;
        return f;
    };
    Testing::HostFaults slot;
    slot.slot_not_kept = true;
    Testing::HostFaults edit;
    edit.edit_invalidated_early = true;
    const Case cases[] = {
        {"none", {}, false, "", ""},
        {"a field moved", moved(), false, "oskacolor record", "hue: +84 holds 0"},
        {"a settings slot not kept", slot, false, "settings slot", "kept from init to exit"},
        {"request 7 writes 8 bytes", overlong(7), false, "queries", "request 7"},
        {"request 24 writes 8 bytes", overlong(24), false, "queries", "request 24"},
        {"request 25 writes a double", overlong(25), false, "queries",
         "request 25 (distance exponent): light"},
        {"request 125 writes a double", overlong(125), false, "queries", "request 125"},
        {"a missing function", {}, true, "host functions", "mi_luminance"},
        {"an edited record invalidated early", edit, false, "scene edits",
         "changed before mi_scene_edit_end"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fault);
        host.reset();
        host.set_faults(c.faults);
        host::Module partial;
        if (c.without_luminance) {
            ASSERT_TRUE(partial.load(host::built_file_path(OSKA_PROBE_PARTIAL_HOST)))
                << partial.error;
            partial.function<void(OSKA_CALL *)(void *)>("oska_partial_host_forward_to")(
                host::module_handle());
            lib.miSetModuleHandle(partial.handle);
        } else {
            lib.miSetModuleHandle(host::module_handle());
        }
        render_probe_scene();
        lib.miSetModuleHandle(host::module_handle()); // before the partial host goes

        const std::string report = read_file(folder / "oska-probe-report.md");
        const std::string json = read_file(folder / "oska-probe-report.json");
        EXPECT_TRUE(host.texts(Level::warning).empty()) << "a check was not exercised";
        EXPECT_THAT(report, ::testing::Not(HasSubstr("NOT RUN")));
        if (c.group[0] == '\0') {
            EXPECT_THAT(failures(), ::testing::IsEmpty());
            EXPECT_THAT(report, HasSubstr("**Verdict:** PASS"));
            EXPECT_THAT(json, HasSubstr("\"failed\": 0,"));
            continue;
        }
        std::string all;
        for (const std::string &line : failures()) {
            EXPECT_EQ(group_of(line), c.group) << line;
            all += line + "\n";
        }
        EXPECT_THAT(all, HasSubstr(c.named));
        EXPECT_THAT(report, HasSubstr("**Verdict:** FAIL"));
        EXPECT_THAT(json, HasSubstr("\"verdict\": \"FAIL"));
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
