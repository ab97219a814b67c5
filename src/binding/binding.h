// Host function table and the rule by which shader parameters are read.
//
// Every host function the library calls has a binding of the same name,
// generated from OSKA_HOST_FUNCTIONS in the public header: it finds the host's
// entry point by name in the module given to miSetModuleHandle at its first
// call, keeps it in its slot, and forwards the call. A function the host does
// not export is reported on standard error and the binding returns a zero
// result without calling anything.
#ifndef OSKA_BINDING_H
#define OSKA_BINDING_H

#include <oska/host_api.h>

namespace oska {

// One slot per bound host function, in list order.
enum HostSlot : int {
#define OSKA_SLOT_ENUM(kind, result, name, params, args) slot_##name,
    OSKA_HOST_FUNCTIONS(OSKA_SLOT_ENUM)
#undef OSKA_SLOT_ENUM
        host_slot_count
};

// Clears every slot and remembers the module in which to look functions up.
void bind_module(void *module);

// The entry point of a host function, resolved on first use; null when the
// host does not export it.
void *host_function(HostSlot slot);

// Address at which the parameter at `param` is read for this call: in place,
// or, when the parameter is attached to another shader, what mi_phen_eval
// gives; null when the attached shader gives no value.
const void *param_address(oska_state *state, const void *param);

// The same, never null: a parameter whose attached shader gives no value
// reads as zero (for every type, colours included).
const void *param_eval(oska_state *state, const void *param);

// Reads a parameter of the call's record, applying param_eval afresh.
template <class T> inline T read_param(oska_state *state, const T &param) {
    return *static_cast<const T *>(param_eval(state, &param));
}

} // namespace oska

#endif
