// The probe's report: one line per check, each passed, failed, or not
// exercised by the host, and lines of information that are no check. A line
// goes to the host's message functions when its outcome is first known or
// changes (mi_info for a pass or information, mi_warning for a check the
// host did not exercise, mi_error for a failure), and the whole
// table goes to oska-probe-report.md and oska-probe-report.json at each
// shader-wide exit. A check that failed once stays failed.
#ifndef OSKA_PROBE_REPORT_H
#define OSKA_PROBE_REPORT_H

#include "checks.h"

#include <cstddef>

// A function whose second and third arguments are a printf format and its
// arguments: the compiler checks each format against its arguments.
#if defined(__GNUC__)
#define OSKA_PROBE_PRINTF_LIKE __attribute__((format(printf, 2, 3)))
#else
#define OSKA_PROBE_PRINTF_LIKE
#endif

namespace oska::probe {

enum class Outcome { not_run, pass, not_exercised, fail, information };

// Forgets every outcome: a new binding starts a new report.
void reset_report();

// Records an outcome of `check`; `format` (printf conventions) says what
// was seen. Formats and reports only when the check's outcome changes, so
// it costs little on the evaluation path.
void pass(CheckId check, const char *format, ...) OSKA_PROBE_PRINTF_LIKE;
void fail(CheckId check, const char *format, ...) OSKA_PROBE_PRINTF_LIKE;
void not_exercised(CheckId check, const char *format, ...) OSKA_PROBE_PRINTF_LIKE;

// A line of information, not a check: not counted in the verdict.
void inform(CheckId check, const char *format, ...) OSKA_PROBE_PRINTF_LIKE;

// Says again what a failed check saw, in other words: for a failure whose
// cause becomes clear only later (an instance ended after its shader).
void restate_failure(CheckId check, const char *format, ...) OSKA_PROBE_PRINTF_LIKE;

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

} // namespace oska::probe

#endif
