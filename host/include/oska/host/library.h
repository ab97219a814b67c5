// Loads the oska shader library by file name, as a host does, and finds its
// nine exports.
#ifndef OSKA_HOST_LIBRARY_H
#define OSKA_HOST_LIBRARY_H

#include <oska/host/host.h>
#include <oska/host_api.h>

#include <string>

namespace oska::host {

struct OSKA_HOST_CXX_API Library {
    void *module = nullptr;
    std::string error; // why loading failed; empty when loaded

    // One pointer for each export, named after it.
#define OSKA_LIBRARY_ENTRY(result, name, params) name##_fn name = nullptr;
    OSKA_EXPORTED_FUNCTIONS(OSKA_LIBRARY_ENTRY)
#undef OSKA_LIBRARY_ENTRY

    // Loads `path` and resolves all nine exports; false (with `error` set)
    // when the file cannot be loaded or an export is missing.
    bool load(const std::string &path);
    void unload();
    // The resolved export `name` (for example a shader's "_init", found by
    // the shader's name); nullptr when not loaded or not one of the nine.
    void *entry(const std::string &name) const;
    template <class Fn> Fn entry(const std::string &name) const {
        return reinterpret_cast<Fn>(entry(name));
    }
    ~Library() { unload(); }
    Library() = default;
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;
};

// Where the library that this build made lies (tests load this one).
OSKA_HOST_CXX_API std::string built_library_path();

// A file of this build that lies beside the testing host (the module holding
// this code): other libraries the tests load.
OSKA_HOST_CXX_API std::string built_file_path(const std::string &file_name);

// Any shared library, loaded by path as Library loads the shader library,
// with its exports found by name.
struct OSKA_HOST_CXX_API Module {
    void *handle = nullptr;
    std::string error; // why loading failed; empty when loaded

    bool load(const std::string &path);
    // The export `name`; nullptr when not loaded or not exported.
    void *symbol(const char *name) const;
    template <class Fn> Fn function(const char *name) const {
        return reinterpret_cast<Fn>(symbol(name));
    }
    void unload();
    ~Module() { unload(); }
    Module() = default;
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;
};

} // namespace oska::host

#endif
