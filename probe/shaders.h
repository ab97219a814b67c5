// What the probe's two shaders keep between calls, and how a new binding
// clears it.
#ifndef OSKA_PROBE_SHADERS_H
#define OSKA_PROBE_SHADERS_H

#include <oska/host_api.h>

namespace oska::probe {

// Forgets oskacolor's instances and evaluation statistics, and the light
// instance that oskalight's lights array named.
void reset_color_probe();

// The light instance that oskalight's lights array named, once it was found
// to be an instance of a light: what every oskacolor state must carry as its
// light instance. 0 until then.
void note_light_instance_in_lights(oska_tag tag);
oska_tag light_instance_in_lights();

// The light that oskalight opened and made an object light; 0 until then.
void note_light_bound(oska_tag light);
oska_tag light_bound();

} // namespace oska::probe

#endif
