// The probe's questions to the host about the light of an oskacolor
// instance (requests 7, 24, 25, 125) and about its settings slot (request
// 51), each answer guarded against writes past the value.
#ifndef OSKA_PROBE_LIGHT_QUERIES_H
#define OSKA_PROBE_LIGHT_QUERIES_H

#include <oska/host_api.h>

namespace oska::probe {

// The state's light instance: the tag of the probe light's instance, the
// one oskalight's lights array names. False when it is not, so that the
// answers about it are not blamed on the host's queries.
bool check_state_light_instance(const oska_state *state);

// Requests 7, 24, 25 and 125 about the state's light instance and its light,
// each answer checked; those that cannot be asked are reported not exercised.
void check_queries(oska_state *state);

// Request 51, guarded: the slot's address, or nullptr with the failure
// reported.
void **ask_slot(oska_state *state);

} // namespace oska::probe

#endif
