// Which host functions each check needs: a check that needs a function the
// host module lacks cannot see what it looks for (a missing function's
// wrapper answers zero), so it is not exercised rather than failed.
#ifndef OSKA_PROBE_NEEDS_H
#define OSKA_PROBE_NEEDS_H

#include "checks.h"

namespace oska::probe {

// The first function `check` needs that the host module lacks; nullptr
// when it has them all.
const char *unmet_need(CheckId check);

} // namespace oska::probe

#endif
