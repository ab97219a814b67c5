// Loading the shader library by file name and finding its exports.
#include <oska/host/library.h>

#include "module.h"

#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#if !defined(OSKA_LIBRARY_FILE)
#error "OSKA_LIBRARY_FILE names the library file this build makes"
#endif

namespace oska::host {

namespace {

#if defined(_WIN32)
void *open_module(const std::string &path, std::string &error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    }
    return module;
}
void *find_symbol(void *module, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}
void close_module(void *module) { FreeLibrary(static_cast<HMODULE>(module)); }
#else
void *open_module(const std::string &path, std::string &error) {
    // Local: the library's own symbols must not satisfy anyone else's lookups.
    void *module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char *text = dlerror();
        error = text != nullptr ? text : "cannot load " + path;
    }
    return module;
}
void *find_symbol(void *module, const char *name) { return dlsym(module, name); }
void close_module(void *module) { dlclose(module); }
#endif

template <class Fn> bool find(void *module, const char *name, Fn &slot, std::string &error) {
    slot = reinterpret_cast<Fn>(find_symbol(module, name));
    if (slot == nullptr && error.empty()) {
        error = std::string("the library does not export ") + name;
    }
    return slot != nullptr;
}

} // namespace

bool Library::load(const std::string &path) {
    unload(); // and no error
    module = open_module(path, error);
    if (module == nullptr) {
        return false;
    }
    bool all = true;
#define OSKA_LIBRARY_FIND(result, name, params) all &= find(module, #name, name, error);
    OSKA_EXPORTED_FUNCTIONS(OSKA_LIBRARY_FIND)
#undef OSKA_LIBRARY_FIND
    if (!all) {
        const std::string why = error;
        unload();
        error = why;
        return false;
    }
    return true;
}

void Library::unload() {
    if (module != nullptr) {
        close_module(module);
    }
    module = nullptr;
    error.clear();
#define OSKA_LIBRARY_CLEAR(result, name, params) name = nullptr;
    OSKA_EXPORTED_FUNCTIONS(OSKA_LIBRARY_CLEAR)
#undef OSKA_LIBRARY_CLEAR
}

void *Library::entry(const std::string &name) const {
#define OSKA_LIBRARY_ENTRY_NAMED(result, entry_name, params)                                       \
    if (name == #entry_name) {                                                                     \
        return reinterpret_cast<void *>(entry_name);                                               \
    }
    OSKA_EXPORTED_FUNCTIONS(OSKA_LIBRARY_ENTRY_NAMED)
#undef OSKA_LIBRARY_ENTRY_NAMED
    return nullptr;
}

std::string built_file_path(const std::string &file_name) {
    const std::string self =
        detail::module_path_of(reinterpret_cast<const void *>(&built_file_path));
    // Its folder, with the separator; nothing when it has none (npos + 1 is 0).
    return self.substr(0, self.find_last_of("/\\") + 1) + file_name;
}

std::string built_library_path() { return built_file_path(OSKA_LIBRARY_FILE); }

bool Module::load(const std::string &path) {
    unload();
    handle = open_module(path, error);
    return handle != nullptr;
}

void *Module::symbol(const char *name) const {
    return handle != nullptr && name != nullptr ? find_symbol(handle, name) : nullptr;
}

void Module::unload() {
    if (handle != nullptr) {
        close_module(handle);
    }
    handle = nullptr;
    error.clear();
}

} // namespace oska::host
