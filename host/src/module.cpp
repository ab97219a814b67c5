// Module handles and paths from a code address.
#include "module.h"

#include <oska/host/host.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <climits>
#endif

namespace oska::host::detail {

#if defined(_WIN32)

void *module_handle_of(const void *address) {
    HMODULE module = nullptr;
    const DWORD flags =
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (!GetModuleHandleExA(flags, static_cast<LPCSTR>(address), &module)) {
        return nullptr;
    }
    return module;
}

std::string module_path_of(const void *address) {
    auto module = static_cast<HMODULE>(module_handle_of(address));
    if (module == nullptr) {
        return {};
    }
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD length = GetModuleFileNameA(module, path.data(), DWORD(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2); // cut: try a larger buffer
    }
}

#else

namespace {

// The loader's record of the object holding `address`: its l_name is empty
// for the program itself.
const link_map *object_of(const void *address) {
    Dl_info info;
    void *map = nullptr;
    if (dladdr1(address, &info, &map, RTLD_DL_LINKMAP) == 0) {
        return nullptr;
    }
    return static_cast<const link_map *>(map);
}

bool is_program(const link_map *object) {
    return object->l_name == nullptr || object->l_name[0] == '\0';
}

} // namespace

void *module_handle_of(const void *address) {
    const link_map *object = object_of(address);
    if (object == nullptr) {
        return nullptr;
    }
    // The program's handle searches the program and what it loaded at start;
    // a shared object's handle is found by its name, without loading anything.
    if (is_program(object)) {
        return dlopen(nullptr, RTLD_NOW);
    }
    return dlopen(object->l_name, RTLD_NOW | RTLD_NOLOAD);
}

std::string module_path_of(const void *address) {
    const link_map *object = object_of(address);
    if (object == nullptr) {
        return {};
    }
    if (!is_program(object)) {
        return object->l_name;
    }
    // The loader does not record the program's own path.
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return {};
    }
    return std::string(path, std::size_t(length));
}

#endif

} // namespace oska::host::detail

namespace oska::host {

// The module holding mi_query holds all fourteen: the core's own, or the
// testing host's.
void *module_handle() {
    return detail::module_handle_of(reinterpret_cast<const void *>(&mi_query));
}

} // namespace oska::host
