// oskacolor: light shader for object lights. (Being filled in.)
#include "binding/binding.h"

extern "C" {

OSKA_LIBRARY_API oska_boolean OSKA_CALL oskacolor(oska_color *, oska_state *, oskacolor_params *) {
    return 1;
}

OSKA_LIBRARY_API void OSKA_CALL oskacolor_init(oska_state *, oskacolor_params *params,
                                               oska_boolean *init_req) {
    if (params == nullptr) {
        *init_req = 1;
    }
}

OSKA_LIBRARY_API void OSKA_CALL oskacolor_exit(oska_state *, oskacolor_params *) {}

} // extern "C"
