// What the binding reports about host functions, as the tests expect it.
#ifndef OSKA_TESTS_DIAGNOSTICS_H
#define OSKA_TESTS_DIAGNOSTICS_H

#include <oska/host_api.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace oska::test {

// The host functions the library binds, in the order of their slots.
constexpr const char *kHostFunctionNames[] = {
#define OSKA_TEST_NAME(kind, result, name, params, args) #name,
    OSKA_HOST_FUNCTIONS(OSKA_TEST_NAME)
#undef OSKA_TEST_NAME
};

// The line on standard error for a lookup made before any module handle.
constexpr const char *kNullHandle = "DYNLOAD: dl_handle null\n";

// The error numbers of a failed lookup, as Windows gives them.
constexpr int kNoModuleError = 6;      // no module handle yet
constexpr int kNotExportedError = 127; // the module lacks the name

// The line on standard error for a host function the module lacks.
inline std::string lookup_failure(const char *name, void *module, int error) {
    char line[256];
    std::snprintf(line, sizeof line, "dlsym failed on \"%s\" (handle: %08x error: %d)\n", name,
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(module)), error);
    return line;
}

} // namespace oska::test

#endif
