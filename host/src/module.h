// Which module (shared library or program) holds a piece of code, on Linux
// and on Windows.
#ifndef OSKA_HOST_MODULE_H
#define OSKA_HOST_MODULE_H

#include <string>

namespace oska::host::detail {

// Handle of the module holding `address`: what dlsym / GetProcAddress take.
// For code linked into the program itself, the program's handle. nullptr
// when the system does not know the address.
void *module_handle_of(const void *address);

// Full path of the module holding `address`; empty when unknown.
std::string module_path_of(const void *address);

} // namespace oska::host::detail

#endif
