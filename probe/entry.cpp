// The probe's binding entry: a new module handle starts a new report.
#include "host_link.h"
#include "shaders.h"

#include <oska/host_api.h>

extern "C" OSKA_LIBRARY_API int OSKA_CALL miSetModuleHandle(void *module) {
    oska::probe::reset_color_probe();
    oska::probe::link_host(module);
    return 0;
}
