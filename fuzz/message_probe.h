// The binding layer built on its own: reaches the message bindings, which the
// shader library keeps internal, so a harness can drive them directly.
#ifndef OSKA_FUZZ_MESSAGE_PROBE_H
#define OSKA_FUZZ_MESSAGE_PROBE_H

#include <oska/host_api.h>

extern "C" {

// What mi_error, mi_warning and mi_info are: printf conventions.
typedef void(OSKA_CALL *oska_probe_message_fn)(const char *format, ...);

// Clears the probe's host function table and binds it to `module`, as
// miSetModuleHandle does for the library.
OSKA_EXPORT void oska_probe_bind(void *module);

// The probe's message binding: 0 mi_error, 1 mi_warning, anything else mi_info.
OSKA_EXPORT oska_probe_message_fn oska_probe_message(int level);
}

#endif
