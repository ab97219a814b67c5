// Whether the host module has what a check needs.
#include "needs.h"

#include "host_link.h"

namespace oska::probe {

const char *unmet_need(CheckId check) {
    const Needs needs = needs_of(check);
    for (int i = 0; i < needs.count; ++i) {
        if (!has(needs.function[i])) {
            return host_function_name(needs.function[i]);
        }
    }
    return nullptr;
}

} // namespace oska::probe
