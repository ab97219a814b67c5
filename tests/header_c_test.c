/* The public header as a C11 translation unit: it compiles as C, and its
 * layout checks hold there too. The function list is usable from C. */
#include <oska/host_api.h>

#define OSKA_C_NAME(kind, result, name, params, args) #name,
const char *const oska_c_host_function_names[] = {OSKA_HOST_FUNCTIONS(OSKA_C_NAME)};
#undef OSKA_C_NAME
