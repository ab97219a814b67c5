// Looks the host's functions up by name in the module the host hands over,
// and calls them only when found.
#include "host_link.h"

#include "report.h"

#include <atomic>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace oska::probe {

namespace {

// The label of the probe's allocations, as the host's allocator records it.
constexpr const char *kSourceName = "oska_probe";

// Written when the handle arrives, before any shader call; read by every
// call, from any thread.
std::atomic<void *> g_functions[kFunctionCount];

void *find(void *module, const char *name) {
    if (module == nullptr) {
        return nullptr;
    }
#if defined(_WIN32)
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
#else
    return dlsym(module, name);
#endif
}

template <class Fn> Fn entry(int index) {
    return reinterpret_cast<Fn>(g_functions[index].load(std::memory_order_acquire));
}

} // namespace

void link_host(void *module) {
    reset_report();
    for (int i = 0; i < kFunctionCount; ++i) {
        void *found = find(module, kHostFunctionNames[i]);
        g_functions[i].store(found, std::memory_order_release);
        const CheckId check = CheckId(check_functions + i);
        if (module == nullptr) {
            fail(check, "no module handle was given");
        } else if (found == nullptr) {
            fail(check, "%s is not exported by the host module", kHostFunctionNames[i]);
        } else {
            pass(check, "found");
        }
    }
    mark_unmet_needs();
}

void *host_function(int index) {
    return index >= 0 && index < kFunctionCount ? g_functions[index].load(std::memory_order_acquire)
                                                : nullptr;
}

const char *host_function_name(int index) {
    return index >= 0 && index < kFunctionCount ? kHostFunctionNames[index] : "";
}

bool has(HostFunction function) { return host_function(function) != nullptr; }

void host_info(const char *text) {
    if (auto fn = entry<mi_info_fn>(host_mi_info)) {
        fn("%s", text);
    }
}

void host_warning(const char *text) {
    if (auto fn = entry<mi_warning_fn>(host_mi_warning)) {
        fn("%s", text);
    }
}

void host_error(const char *text) {
    if (auto fn = entry<mi_error_fn>(host_mi_error)) {
        fn("%s", text);
    }
}

oska_boolean query(int request, oska_state *state, oska_tag tag, void *result) {
    auto fn = entry<mi_query_fn>(host_mi_query);
    return fn != nullptr ? fn(request, state, tag, result) : 0;
}

void *phen_eval(oska_state *state, void *param) {
    auto fn = entry<mi_phen_eval_fn>(host_mi_phen_eval);
    return fn != nullptr ? fn(state, param) : nullptr;
}

void *allocate(int line, int size) {
    auto fn = entry<mi_mem_int_allocate_fn>(host_mi_mem_int_allocate);
    return fn != nullptr ? fn(kSourceName, line, size) : nullptr;
}

void release(int line, void *block) {
    if (auto fn = entry<mi_mem_int_release_fn>(host_mi_mem_int_release)) {
        fn(kSourceName, line, block);
    }
}

int db_type(oska_tag tag) {
    auto fn = entry<mi_db_type_fn>(host_mi_db_type);
    return fn != nullptr ? fn(tag) : 0;
}

const char *tag_name(oska_tag tag) {
    auto fn = entry<mi_api_tag_lookup_fn>(host_mi_api_tag_lookup);
    return fn != nullptr ? fn(tag) : nullptr;
}

void *scene_edit(oska_tag tag) {
    auto fn = entry<mi_scene_edit_fn>(host_mi_scene_edit);
    return fn != nullptr ? fn(tag) : nullptr;
}

void scene_edit_end(oska_tag tag) {
    if (auto fn = entry<mi_scene_edit_end_fn>(host_mi_scene_edit_end)) {
        fn(tag);
    }
}

} // namespace oska::probe
