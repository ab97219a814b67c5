// What the probe's two shaders keep between calls, and how a new binding
// clears it.
#ifndef OSKA_PROBE_SHADERS_H
#define OSKA_PROBE_SHADERS_H

namespace oska::probe {

// Forgets oskacolor's instances and evaluation statistics.
void reset_color_probe();

} // namespace oska::probe

#endif
