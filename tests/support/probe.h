// The binding probe as the tests see it: the library loaded by file name and
// its doors to every binding.
#ifndef OSKA_TESTS_PROBE_H
#define OSKA_TESTS_PROBE_H

#include <oska/host_api.h>
#include <oska/standin/library.h>

#include <gtest/gtest.h>

#include <string>

namespace oska::test {

struct Probe {
    // Loads the probe. While no other Probe holds it, the load is fresh: no
    // module handle yet and every slot unresolved.
    Probe() {
        if (!module.load(host::built_file_path(OSKA_PROBE_FILE))) {
            ADD_FAILURE() << "cannot load the probe: " << module.error;
            return;
        }
        set_module = find<int(OSKA_CALL *)(void *)>("probe_set_module");
#define OSKA_PROBE_FIND_PLAIN(name) name = find<name##_fn>("probe_" #name);
#define OSKA_PROBE_FIND_QUERY(name)
#define OSKA_PROBE_FIND_MESSAGE(name)
#define OSKA_PROBE_FIND(kind, result, name, params, args) OSKA_PROBE_FIND_##kind(name)
        OSKA_HOST_FUNCTIONS(OSKA_PROBE_FIND)
#undef OSKA_PROBE_FIND
        query = find<decltype(query)>("probe_mi_query");
        query5 = find<decltype(query5)>("probe_mi_query5");
        message = find<decltype(message)>("probe_message");
        param_eval = find<decltype(param_eval)>("probe_param_eval");
    }

    host::Module module;
    int(OSKA_CALL *set_module)(void *module) = nullptr;
#define OSKA_PROBE_MEMBER_PLAIN(name) name##_fn name = nullptr;
#define OSKA_PROBE_MEMBER_QUERY(name)
#define OSKA_PROBE_MEMBER_MESSAGE(name)
#define OSKA_PROBE_MEMBER(kind, result, name, params, args) OSKA_PROBE_MEMBER_##kind(name)
    OSKA_HOST_FUNCTIONS(OSKA_PROBE_MEMBER)
#undef OSKA_PROBE_MEMBER
    oska_boolean(OSKA_CALL *query)(int request, oska_state *state, oska_tag tag,
                                   void *result) = nullptr;
    oska_boolean(OSKA_CALL *query5)(int request, oska_state *state, oska_tag tag, void *result,
                                    void *fifth) = nullptr;
    // level: 0 mi_error, 1 mi_warning, 2 mi_info
    void(OSKA_CALL *message)(int level, const char *format, const char *text) = nullptr;
    const void *(OSKA_CALL *param_eval)(oska_state *state, const void *param) = nullptr;

  private:
    template <class Fn> Fn find(const char *name) {
        Fn fn = module.function<Fn>(name);
        if (fn == nullptr) {
            ADD_FAILURE() << "the probe does not export " << name;
        }
        return fn;
    }
};

// What the code under test writes on the standard error stream while an
// instance lives. The system's own stream is redirected, so text written by
// a library with a C runtime of its own is captured too.
class StderrCapture {
  public:
    StderrCapture() { testing::internal::CaptureStderr(); }
    ~StderrCapture() {
        if (!taken_) {
            testing::internal::GetCapturedStderr();
        }
    }
    std::string text() {
        taken_ = true;
        return testing::internal::GetCapturedStderr();
    }

  private:
    bool taken_ = false;
};

} // namespace oska::test

#endif
