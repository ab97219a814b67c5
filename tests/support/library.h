// The library of this build, loaded by file name as a host loads it, once
// for the whole program: what the tests, benchmarks and fuzz harnesses drive.
#ifndef OSKA_TESTS_LIBRARY_H
#define OSKA_TESTS_LIBRARY_H

#include <oska/host/library.h>

#include <cstdio>
#include <cstdlib>

namespace oska::test {

// A program that cannot load the library has nothing to drive: it says why
// and stops.
inline host::Library &library() {
    static host::Library *loaded = [] {
        auto *lib = new host::Library;
        if (!lib->load(host::built_library_path())) {
            std::fprintf(stderr, "cannot load the library: %s\n", lib->error.c_str());
            std::exit(EXIT_FAILURE);
        }
        return lib;
    }();
    return *loaded;
}

} // namespace oska::test

#endif
