#include "message_probe.h"

#include "binding/binding.h"

extern "C" {

OSKA_EXPORT void oska_probe_bind(void *module) { oska::bind_module(module); }

OSKA_EXPORT oska_probe_message_fn oska_probe_message(int level) {
    switch (level) {
    case 0:
        return &mi_error;
    case 1:
        return &mi_warning;
    default:
        return &mi_info;
    }
}
}
