/* The shader library with a light shader that answers badly now and then:
 * every seventh answer it gives a colour whose channels are not finite (in
 * turn NaN, +inf and -inf), the rest of the time the real library's answer.
 * Every other export is the real library's own, so that a host renders with
 * it as with the real one. */
#define OSKA_BUILDING_LIBRARY
#include <oska/host_api.h>

#include <dlfcn.h>
#include <math.h>
#include <stdatomic.h>
#include <stddef.h>
#include <string.h>

#define SPOILED_EVERY 7

/* (The host's first call, miSetModuleHandle, comes before any other and from
 * one thread: it opens the real library.) */
static void *real_function(const char *name) {
    static void *real;
    if (real == NULL) {
        real = dlopen(OSKA_REAL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    }
    return real != NULL ? dlsym(real, name) : NULL;
}

/* `real_NAME`: the real library's NAME, as a function of its own type. */
#define FORWARD(name)                                                                              \
    name##_fn real_##name = NULL;                                                                  \
    do {                                                                                           \
        void *found = real_function(#name);                                                        \
        memcpy(&real_##name, &found, sizeof found);                                                \
    } while (0)

int OSKA_CALL miSetModuleHandle(void *module) {
    FORWARD(miSetModuleHandle);
    return real_miSetModuleHandle != NULL ? real_miSetModuleHandle(module) : 1;
}

int OSKA_CALL oskacolor_version(void) {
    FORWARD(oskacolor_version);
    return real_oskacolor_version();
}

oska_boolean OSKA_CALL oskacolor(oska_color *result, oska_state *state, oskacolor_params *params) {
    static atomic_long calls;
    FORWARD(oskacolor);
    const oska_boolean accepted = real_oskacolor(result, state, params);
    const long call = atomic_fetch_add(&calls, 1) + 1;
    if (call % SPOILED_EVERY == 0) {
        const float spoiled[3] = {NAN, INFINITY, -INFINITY};
        result->g = spoiled[(call / SPOILED_EVERY) % 3];
    }
    return accepted;
}

/* A shader's init and exit, the real library's own. */
#define FORWARD_INIT_EXIT(shader)                                                                  \
    void OSKA_CALL shader##_init(oska_state *state, shader##_params *params,                       \
                                 oska_boolean *init_req) {                                         \
        FORWARD(shader##_init);                                                                    \
        real_##shader##_init(state, params, init_req);                                             \
    }                                                                                              \
    void OSKA_CALL shader##_exit(oska_state *state, shader##_params *params) {                     \
        FORWARD(shader##_exit);                                                                    \
        real_##shader##_exit(state, params);                                                       \
    }
FORWARD_INIT_EXIT(oskacolor)
FORWARD_INIT_EXIT(oskalight)

int OSKA_CALL oskalight_version(void) {
    FORWARD(oskalight_version);
    return real_oskalight_version();
}

oska_boolean OSKA_CALL oskalight(void *result, oska_state *state, oskalight_params *params) {
    FORWARD(oskalight);
    return real_oskalight(result, state, params);
}
