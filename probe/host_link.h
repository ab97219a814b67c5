// The probe's link to its host: the host interface's mi_ functions, all
// looked up when the host hands its module handle over, so that the report
// can say at once which of them the module lacks. A function the module
// lacks is never called: its wrapper answers zero.
#ifndef OSKA_PROBE_HOST_LINK_H
#define OSKA_PROBE_HOST_LINK_H

#include <oska/host_api.h>

#include <iterator>

namespace oska::probe {

// The host interface's functions, by their place in its list.
enum HostFunction : int {
#define OSKA_PROBE_FUNCTION_INDEX(kind, result, name, params, args) host_##name,
    OSKA_HOST_FUNCTIONS(OSKA_PROBE_FUNCTION_INDEX)
#undef OSKA_PROBE_FUNCTION_INDEX
};

// Their names, in the same order.
constexpr const char *kHostFunctionNames[] = {
#define OSKA_PROBE_FUNCTION_NAME(kind, result, name, params, args) #name,
    OSKA_HOST_FUNCTIONS(OSKA_PROBE_FUNCTION_NAME)
#undef OSKA_PROBE_FUNCTION_NAME
};
constexpr int kFunctionCount = int(std::size(kHostFunctionNames));

// The host's functions, looked up by name in `module`; each lookup is a
// check of the report.
void link_host(void *module);

// The host's entry point for the function at `index` of the host
// interface's list; nullptr when the module lacks it.
void *host_function(int index);
const char *host_function_name(int index);

// Messages, passed to the host as the argument of "%s". Nothing is sent
// when the module lacks the function.
void host_info(const char *text);
void host_warning(const char *text);
void host_error(const char *text);

// The host functions the probe calls, each answering zero when missing.
oska_boolean query(int request, oska_state *state, oska_tag tag, void *result);
void *phen_eval(oska_state *state, void *param);
void *allocate(int line, int size);
void release(int line, void *block);
int db_type(oska_tag tag);
const char *tag_name(oska_tag tag);
void *scene_edit(oska_tag tag);
void scene_edit_end(oska_tag tag);

// Whether the host has the function, e.g. before relying on an answer that
// a missing function would fake.
bool has(HostFunction function);

} // namespace oska::probe

#endif
