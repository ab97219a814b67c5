// Reading a parameter the way the shader library reads it, and checking a
// whole record against the probe scene's values.
#ifndef OSKA_PROBE_RECORD_CHECK_H
#define OSKA_PROBE_RECORD_CHECK_H

#include "probe_scene.h"
#include "report.h"

#include <oska/host_api.h>

namespace oska::probe {

// The address of the parameter's value: in place, or what mi_phen_eval
// answers when the parameter's attachment word says it is attached.
// `attached` tells which; nullptr when the host answered no address.
const void *parameter_value(oska_state *state, void *parameter, bool *attached);

// Checks each field of `fields` (its line in the report is `first` plus
// its index) at its offset in `record`, `record_size` bytes long. A value
// that is wrong is looked for elsewhere in the record, and the report says
// where it was found and whose value stood in its place.
void check_fields(const FieldValue *fields, int count, CheckId first, oska_state *state,
                  unsigned char *record, int record_size);

// The attachment check of the oskacolor record: only the probe scene's
// attached parameter may be attached, and mi_phen_eval must answer its value.
void check_attached_parameter(oska_state *state, unsigned char *record);

// A short text for a value of `type`, an OSKA_PARAM_TYPE_ code (e.g. "0.21875", "7", "true",
// "tag 3 (probe_lamp)").
void describe(int type, const void *value, char *text, int size);

} // namespace oska::probe

#endif
