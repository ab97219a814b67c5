// oskalight: binds a light to an object instance. (Being filled in.)
#include "binding/binding.h"

extern "C" {

OSKA_LIBRARY_API oska_boolean OSKA_CALL oskalight(void *, oska_state *, oskalight_params *) {
    return 1;
}

OSKA_LIBRARY_API void OSKA_CALL oskalight_init(oska_state *, oskalight_params *params,
                                               oska_boolean *init_req) {
    if (params == nullptr) {
        *init_req = 0;
    }
}

OSKA_LIBRARY_API void OSKA_CALL oskalight_exit(oska_state *, oskalight_params *) {}

} // extern "C"
