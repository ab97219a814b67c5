// The library's own entry points: the module handle, the version answers and
// the load hook.
#include "binding/binding.h"

#if defined(_WIN32)
#include <windows.h>
#endif

extern "C" {

// Drops every resolved host function, so each is looked up again in the new
// module at its next call.
OSKA_LIBRARY_API int OSKA_CALL miSetModuleHandle(void *module) {
    oska::bind_module(module);
    return 0;
}

OSKA_LIBRARY_API int OSKA_CALL oskacolor_version(void) { return 1; }

OSKA_LIBRARY_API int OSKA_CALL oskalight_version(void) { return oskacolor_version(); }

#if defined(_WIN32)
// Nothing to set up or tear down: the library opens nothing and its tables
// start zeroed.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif

} // extern "C"
