// The probe's report: one line per check, each passed, failed, or not
// exercised by the host, and lines of information that are no check. A line
// goes to the host's message functions when its outcome is first known or
// changes (mi_info for a pass or information, mi_warning for a check the
// host did not exercise, mi_error for a failure), and the whole
// table goes to oska-probe-report.md and oska-probe-report.json at each
// shader-wide exit. A check that failed once stays failed.
#ifndef OSKA_PROBE_REPORT_H
#define OSKA_PROBE_REPORT_H

#include "probe_scene.h"

#include <cstddef>

namespace oska::probe {

enum class Outcome { not_run, pass, not_exercised, fail, information };

// The checks, by group. Field checks follow their record's table in
// probe_scene.h; function checks the host interface's list.
constexpr int kFunctionCount = 14;
constexpr int kColorFieldCount = int(sizeof kColorFields / sizeof kColorFields[0]);
constexpr int kLightFieldCount = int(sizeof kLightFields / sizeof kLightFields[0]);

enum CheckId : int {
    check_functions = 0,
    check_color_fields = check_functions + kFunctionCount,
    check_attachment = check_color_fields + kColorFieldCount,
    check_light_fields,
    check_lights_start = check_light_fields + kLightFieldCount,
    check_lights_count,
    check_lights_element,
    check_lights_layout,
    check_slot_present,
    check_slot_distinct,
    check_slot_kept,
    check_query_instance_light,
    check_query_area,
    check_query_exponent,
    check_query_emit_divisor,
    check_query_slot_size,
    check_ray_kinds,
    check_light_instance,
    check_distance,
    check_sample_state,
    check_emission_dot,
    check_parent_levels,
    check_block_alignment,
    check_block_distinct,
    check_edit_light,
    check_edit_instance,
    check_edit_kept,
    check_light_order,
    check_instances_ended,
    check_threads, // information, counted apart from the checks
    check_count
};

// Lines that inform and are no check: outside the verdict's counts.
constexpr bool is_information(CheckId check) { return check == check_threads; }

// Forgets every outcome: a new binding starts a new report.
void reset_report();

// Records an outcome of `check`; `format` (printf conventions) says what
// was seen. Formats and reports only when the check's outcome changes, so
// it costs little on the evaluation path.
void pass(CheckId check, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void fail(CheckId check, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void not_exercised(CheckId check, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// A line of information, not a check: not counted in the verdict.
void inform(CheckId check, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Says again what a failed check saw, in other words: for a failure whose
// cause becomes clear only later (an instance ended after its shader).
void restate_failure(CheckId check, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Marks each check that needs a host function the module lacks as not
// exercised, naming the function; nothing recorded for it afterwards
// counts, so the missing function's own line is the only failure it causes.
void mark_unmet_needs();

// `check`'s outcome now.
Outcome outcome(CheckId check);

// Sends the lines recorded before the host could take messages (the
// function lookups, made when the module handle arrives).
void flush_pending_messages();

// Writes both report files and sends the verdict to the host. Returns false
// (after telling the host why) when a file cannot be written.
bool write_report();

// The group and name of a check, as the report shows them.
const char *group_of(CheckId check);
const char *name_of(CheckId check);

} // namespace oska::probe

#endif
