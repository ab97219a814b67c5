// The library's exported entry points as a host meets them: the module
// handle, the version answers, the shader-wide init and exit calls, and what
// a shader call reports when its host functions cannot be found.
#include "support/diagnostics.h"
#include "support/oska_test.h"
#include "support/probe.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace oska::test {
namespace {

namespace fs = std::filesystem;

long host_calls_counted() {
    long calls = 0;
    for (const char *name : kHostFunctionNames) {
        calls += host::testing().count(name);
    }
    return calls;
}

// A copy of the library under a file name of its own: loaded, it is a module
// of its own that no host has given a handle yet, whatever other tests did
// to the library.
class FreshLibrary {
  public:
    FreshLibrary() {
        static int copies = 0;
        const fs::path original = host::built_library_path();
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path_ = fs::temp_directory_path() /
                (original.stem().string() + "_fresh_" + std::to_string(stamp) + "_" +
                 std::to_string(++copies) + original.extension().string());
        std::error_code error;
        fs::copy_file(original, path_, fs::copy_options::overwrite_existing, error);
        if (error || !lib.load(path_.string())) {
            ADD_FAILURE() << "cannot load a copy of the library at " << path_.string() << ": "
                          << (error ? error.message() : lib.error);
        }
    }
    ~FreshLibrary() {
        lib.unload();
        std::error_code ignored;
        fs::remove(path_, ignored);
    }

    host::Library lib;

  private:
    fs::path path_;
};

// A host with one shader instance of each kind, and a library never bound.
class Entry : public ::testing::Test {
  protected:
    void SetUp() override {
        host.reset();
        ASSERT_NE(fresh.lib.module, nullptr);
        color_shader = &host.add_shader("oskacolor", sizeof(oskacolor_params));
        light_shader = &host.add_shader("oskalight", sizeof(oskalight_params));
    }
    void TearDown() override { host.release_leaks(); }

    host::Testing &host = host::testing();
    FreshLibrary fresh;
    host::Library &lib = fresh.lib;
    host::ShaderInstance *color_shader = nullptr;
    host::ShaderInstance *light_shader = nullptr;
};

TEST_F(Entry, VersionsAnswerOneBeforeAndAfterTheHandle) {
    StderrCapture err;
    EXPECT_EQ(lib.oskacolor_version(), 1);
    EXPECT_EQ(lib.oskalight_version(), 1);
    lib.miSetModuleHandle(host::module_handle());
    EXPECT_EQ(lib.oskacolor_version(), 1);
    EXPECT_EQ(lib.oskalight_version(), 1);
    lib.miSetModuleHandle(nullptr);
    EXPECT_EQ(lib.oskacolor_version(), 1);
    EXPECT_EQ(lib.oskalight_version(), 1);
    EXPECT_EQ(err.text(), ""); // no host function was even looked up
    EXPECT_EQ(host_calls_counted(), 0);
}

TEST_F(Entry, SetModuleHandleAnswersZeroForAnyHandle) {
    void *const handles[] = {nullptr, host::module_handle(), lib.module,
                             reinterpret_cast<void *>(std::uintptr_t(0xFFFFFFF0u)), nullptr};
    StderrCapture err;
    for (void *handle : handles) {
        EXPECT_EQ(lib.miSetModuleHandle(handle), 0) << handle;
    }
    EXPECT_EQ(err.text(), "");
}

// The shader-wide init (no record) answers whether per-instance calls are
// wanted, and calls nothing: the library is not even bound here. A
// per-instance oskalight_init and the exits leave the flag and the host alone.
TEST_F(Entry, ShaderWideInitWritesTheFlagAndCallsNoHostFunction) {
    oska_state &color_state = host.make_state(*color_shader);
    oska_state &light_state = host.make_state(*light_shader);
    auto *light_params = light_shader->params<oskalight_params>();
    StderrCapture err;
    for (oska_boolean before : {0, 1, 7, -1}) {
        SCOPED_TRACE(before);
        oska_boolean flag = before;
        lib.oskacolor_init(&color_state, nullptr, &flag);
        EXPECT_EQ(flag, 1);
        flag = before;
        lib.oskalight_init(&light_state, nullptr, &flag);
        EXPECT_EQ(flag, 0);
        flag = before;
        lib.oskalight_init(&light_state, light_params, &flag);
        EXPECT_EQ(flag, before);
    }
    lib.oskacolor_exit(&color_state, nullptr);
    lib.oskalight_exit(&light_state, nullptr);
    lib.oskalight_exit(&light_state, light_params);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(host_calls_counted(), 0);
}

// oskalight with a light to look up and no instance: on its way it calls
// mi_query, then mi_warning, and nothing else.
class EntryShaderCall : public Entry {
  protected:
    void SetUp() override {
        Entry::SetUp();
        lamp = host.add_instance(host.add_light(), "lamp");
        params = bind_one_light(*light_shader, lamp, 0);
    }
    oska_boolean call() {
        oska_state &state = host.make_state(*light_shader);
        return lib.oskalight(nullptr, &state, params);
    }

    oska_tag lamp = 0;
    oskalight_params *params = nullptr;
};

// Before any handle, each host function the call needs is named, after the
// missing handle, and the call still completes.
TEST_F(EntryShaderCall, BeforeTheHandleEachMissingFunctionIsNamed) {
    StderrCapture err;
    EXPECT_EQ(call(), 1);
    EXPECT_EQ(err.text(), std::string(kNullHandle) +
                              lookup_failure("mi_query", nullptr, kNoModuleError) + kNullHandle +
                              lookup_failure("mi_warning", nullptr, kNoModuleError));
    EXPECT_EQ(host_calls_counted(), 0);
}

// Each handle the host gives is where the next calls look: the host, then
// a module without the functions, then the host again.
TEST_F(EntryShaderCall, EachNewHandleIsWhereTheShadersLookUp) {
    params->instance = host.add_instance(host.add_element(OSKA_TYPE_OTHER), "cube");
    lib.miSetModuleHandle(host::module_handle());
    EXPECT_EQ(call(), 1);
    EXPECT_EQ(host.texts(host::Level::info).size(), 2u);

    lib.miSetModuleHandle(lib.module);
    host.clear_calls();
    {
        StderrCapture err;
        EXPECT_EQ(call(), 1);
        // mi_query finds nothing, so no light: a warning; then the instance,
        // whose type reads as 0, so it is named but not opened.
        std::string expected;
        for (const char *name :
             {"mi_query", "mi_warning", "mi_api_tag_lookup", "mi_info", "mi_db_type", "mi_info"}) {
            expected += lookup_failure(name, lib.module, kNotExportedError);
        }
        EXPECT_EQ(err.text(), expected);
    }
    EXPECT_EQ(host_calls_counted(), 0);

    lib.miSetModuleHandle(host::module_handle());
    StderrCapture err;
    EXPECT_EQ(call(), 1);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(host.texts(host::Level::info).size(), 4u);
    EXPECT_TRUE(host.edit_errors().empty());
}

} // namespace
} // namespace oska::test
