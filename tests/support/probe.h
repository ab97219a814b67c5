// The binding probe as the tests see it: loaded by file name, with its
// exports found by name.
#ifndef OSKA_TESTS_PROBE_H
#define OSKA_TESTS_PROBE_H

#include "binding_probe.h"

#include <oska/host/library.h>
#include <oska/host_api.h>

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
#define OSKA_PROBE_FIND(name) name = find<decltype(name)>("probe_" #name);
        OSKA_PROBE_FIND(set_module)
#define OSKA_PROBE_FIND_PLAIN(name) OSKA_PROBE_FIND(name)
#define OSKA_PROBE_FIND_QUERY(name)
#define OSKA_PROBE_FIND_MESSAGE(name)
#define OSKA_PROBE_FIND_HOST(kind, result, name, params, args) OSKA_PROBE_FIND_##kind(name)
        OSKA_HOST_FUNCTIONS(OSKA_PROBE_FIND_HOST)
#undef OSKA_PROBE_FIND_HOST
        query = find<decltype(query)>("probe_mi_query");
        query5 = find<decltype(query5)>("probe_mi_query5");
        message_binding = find<decltype(message_binding)>("probe_message");
        OSKA_PROBE_FIND(param_eval)
#undef OSKA_PROBE_FIND
    }

    // A message binding (0 error, 1 warning, 2 info) given a format and one
    // text argument.
    void message(int level, const char *format, const char *text) const {
        message_binding(level)(format, text);
    }

    host::Module module;
    decltype(&probe_set_module) set_module = nullptr;
#define OSKA_PROBE_MEMBER_PLAIN(name) decltype(&probe_##name) name = nullptr;
#define OSKA_PROBE_MEMBER_QUERY(name)
#define OSKA_PROBE_MEMBER_MESSAGE(name)
#define OSKA_PROBE_MEMBER(kind, result, name, params, args) OSKA_PROBE_MEMBER_##kind(name)
    OSKA_HOST_FUNCTIONS(OSKA_PROBE_MEMBER)
#undef OSKA_PROBE_MEMBER
    decltype(&probe_mi_query) query = nullptr;
    decltype(&probe_mi_query5) query5 = nullptr;
    decltype(&probe_message) message_binding = nullptr;
    decltype(&probe_param_eval) param_eval = nullptr;

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
