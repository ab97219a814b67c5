// The process-wide host of a program that links the core alone.
#include <oska/host/host.h>

namespace oska::host {

// Never destroyed: the library may call into the host while the process
// shuts down, after static objects have gone.
Host &host() {
    static Host *const instance = new Host;
    return *instance;
}

} // namespace oska::host
