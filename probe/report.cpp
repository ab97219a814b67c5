// The report table, its messages to the host and its two files.
#include "report.h"

#include "host_link.h"
#include "needs.h"
#include "report_file.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace oska::probe {

namespace {

constexpr std::size_t kDetailSize = 256;

struct Line {
    std::atomic<int> outcome{int(Outcome::not_run)};
    bool pending = false; // reported before the host could take messages
    char detail[kDetailSize] = {};
};

Line g_lines[check_count];
std::mutex g_mutex; // guards the details, the pending marks and the file writes
std::atomic<bool> g_host_ready{false};

const char *outcome_word(Outcome outcome) {
    switch (outcome) {
    case Outcome::pass:
        return "PASS";
    case Outcome::fail:
        return "FAIL";
    case Outcome::not_exercised:
        return "NOT EXERCISED";
    case Outcome::information:
        return "INFO";
    case Outcome::not_run:
        break;
    }
    return "NOT RUN";
}

std::string message_text(CheckId check, Outcome outcome, const char *detail) {
    return std::string("oska_probe-> ") + outcome_word(outcome) + " " + group_of(check) + ": " +
           name_of(check) + ": " + detail;
}

void send(CheckId check, Outcome outcome, const char *detail) {
    const std::string text = message_text(check, outcome, detail);
    switch (outcome) {
    case Outcome::fail:
        host_error(text.c_str());
        break;
    case Outcome::not_exercised:
        host_warning(text.c_str());
        break;
    default:
        host_info(text.c_str());
        break;
    }
}

// A failure replaces anything; a pass or "not exercised" only "not run":
// what was seen once stays seen. Information replaces what it said before.
bool replaces(Outcome now, Outcome next) {
    if (next == Outcome::information) {
        return true;
    }
    if (now == next) {
        return false;
    }
    if (next == Outcome::fail) {
        return true;
    }
    return next != Outcome::not_run && now == Outcome::not_run;
}

// How a new outcome is taken: as any outcome is, or in place of the
// outcome there (a restated failure, a check found unexercisable).
enum class Taking { when_it_replaces, always };

void record(CheckId check, Outcome next, Taking taking, const char *format, va_list args) {
    if (check < 0 || check >= check_count) {
        return;
    }
    Line &line = g_lines[check];
    if (taking == Taking::when_it_replaces &&
        !replaces(Outcome(line.outcome.load(std::memory_order_acquire)), next)) {
        return; // the fast path of every evaluation
    }
    if (taking == Taking::when_it_replaces && unmet_need(check) != nullptr) {
        return; // not exercised: the missing function's line says why
    }
    char detail[kDetailSize];
    std::vsnprintf(detail, sizeof detail, format, args);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (taking == Taking::when_it_replaces &&
            !replaces(Outcome(line.outcome.load(std::memory_order_relaxed)), next)) {
            return;
        }
        if (next == Outcome::information && std::strcmp(line.detail, detail) == 0) {
            return; // said already
        }
        std::memcpy(line.detail, detail, sizeof detail);
        line.outcome.store(int(next), std::memory_order_release);
        if (!g_host_ready.load(std::memory_order_relaxed)) {
            line.pending = true;
            return;
        }
    }
    send(check, next, detail);
}

// ---- Files

// Printable in a table cell: no line breaks, no column bars.
std::string markdown_cell(const char *text) {
    std::string cell;
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c == '|') {
            cell += "\\|";
        } else if (*c == '\n' || *c == '\r' || *c == '\t') {
            cell += ' ';
        } else {
            cell += *c;
        }
    }
    return cell;
}

// A JSON string; bytes outside printable ASCII (a host's names may hold
// anything) are escaped one by one, so the file is valid whatever they are.
std::string json_string(const char *text) {
    std::string out = "\"";
    for (const char *c = text; *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += char(byte);
        } else if (byte < 0x20 || byte >= 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(byte));
            out += escaped;
        } else {
            out += char(byte);
        }
    }
    return out + "\"";
}

struct Tally {
    int passed = 0;
    int failed = 0;
    int not_exercised = 0;
    int not_run = 0;
};

Tally tally() {
    int of[int(Outcome::information) + 1] = {}; // lines by outcome
    for (int i = 0; i < check_count; ++i) {
        if (!is_information(CheckId(i))) {
            ++of[g_lines[i].outcome.load(std::memory_order_acquire)];
        }
    }
    Tally t;
    t.passed = of[int(Outcome::pass)];
    t.failed = of[int(Outcome::fail)];
    t.not_exercised = of[int(Outcome::not_exercised)];
    t.not_run = of[int(Outcome::not_run)];
    return t;
}

std::string verdict(const Tally &t) {
    const int checks = t.passed + t.failed + t.not_exercised + t.not_run;
    char text[256];
    if (t.failed > 0) {
        std::snprintf(text, sizeof text,
                      "FAIL: %d of %d checks failed (%d passed, %d not exercised, %d not run)",
                      t.failed, checks, t.passed, t.not_exercised, t.not_run);
    } else if (t.not_run > 0) {
        std::snprintf(text, sizeof text,
                      "INCOMPLETE: %d of %d checks did not run (%d passed, %d not exercised); "
                      "render the whole probe scene",
                      t.not_run, checks, t.passed, t.not_exercised);
    } else {
        std::snprintf(text, sizeof text, "PASS: %d of %d checks passed (%d not exercised)",
                      t.passed, checks, t.not_exercised);
    }
    return text;
}

std::string markdown(const std::string &verdict_line) {
    std::string md = "# oska-probe report\n\n**Verdict:** " + verdict_line +
                     "\n\n| Group | Check | Result | What the probe saw |\n|---|---|---|---|\n";
    for (int i = 0; i < check_count; ++i) {
        const Line &line = g_lines[i];
        md += std::string("| ") + group_of(CheckId(i)) + " | " + name_of(CheckId(i)) + " | " +
              outcome_word(Outcome(line.outcome.load())) + " | " + markdown_cell(line.detail) +
              " |\n";
    }
    return md;
}

std::string json(const std::string &verdict_line, const Tally &t) {
    std::string js = "{\n  \"verdict\": " + json_string(verdict_line.c_str()) +
                     ",\n  \"passed\": " + std::to_string(t.passed) +
                     ",\n  \"failed\": " + std::to_string(t.failed) +
                     ",\n  \"not_exercised\": " + std::to_string(t.not_exercised) +
                     ",\n  \"not_run\": " + std::to_string(t.not_run) + ",\n  \"checks\": [\n";
    for (int i = 0; i < check_count; ++i) {
        const Line &line = g_lines[i];
        js += "    {\"group\": " + json_string(group_of(CheckId(i))) +
              ", \"check\": " + json_string(name_of(CheckId(i))) +
              ", \"result\": " + json_string(outcome_word(Outcome(line.outcome.load()))) +
              ", \"detail\": " + json_string(line.detail) + "}" +
              (i + 1 < check_count ? ",\n" : "\n");
    }
    return js + "  ]\n}\n";
}

std::string report_folder() {
    const char *folder = std::getenv("OSKA_PROBE_REPORT_DIR");
    if (folder == nullptr || folder[0] == '\0') {
        return ".";
    }
    return folder;
}

} // namespace

// ---- Recording

void reset_report() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_host_ready.store(false);
    for (Line &line : g_lines) {
        line.outcome.store(int(Outcome::not_run));
        line.pending = false;
        line.detail[0] = '\0';
    }
}

// Defines `name`, which records its check as `kind` when `condition` holds,
// with the text that `format` makes of the arguments. printf conventions
// let the compiler check each format against its arguments.
// NOLINTBEGIN(cert-dcl50-cpp)
#define OSKA_PROBE_RECORDER(name, kind, taking, condition)                                         \
    void name(CheckId check, const char *format, ...) {                                            \
        if (!(condition)) {                                                                        \
            return;                                                                                \
        }                                                                                          \
        va_list args;                                                                              \
        va_start(args, format);                                                                    \
        record(check, kind, taking, format, args);                                                 \
        va_end(args);                                                                              \
    }

OSKA_PROBE_RECORDER(pass, Outcome::pass, Taking::when_it_replaces, true)
OSKA_PROBE_RECORDER(fail, Outcome::fail, Taking::when_it_replaces, true)
OSKA_PROBE_RECORDER(not_exercised, Outcome::not_exercised, Taking::when_it_replaces, true)
OSKA_PROBE_RECORDER(inform, Outcome::information, Taking::when_it_replaces, true)
OSKA_PROBE_RECORDER(restate_failure, Outcome::fail, Taking::always, outcome(check) == Outcome::fail)

namespace {

void mark_not_exercised(CheckId check, const char *format, ...) OSKA_PROBE_PRINTF_LIKE;
OSKA_PROBE_RECORDER(mark_not_exercised, Outcome::not_exercised, Taking::always, true)

#undef OSKA_PROBE_RECORDER
// NOLINTEND(cert-dcl50-cpp)

} // namespace

void mark_unmet_needs() {
    for (int i = 0; i < check_count; ++i) {
        if (const char *missing = unmet_need(CheckId(i))) {
            mark_not_exercised(CheckId(i), "it needs %s, which the host module does not export",
                               missing);
        }
    }
}

Outcome outcome(CheckId check) {
    return check >= 0 && check < check_count
               ? Outcome(g_lines[check].outcome.load(std::memory_order_acquire))
               : Outcome::not_run;
}

void flush_pending_messages() {
    if (g_host_ready.load(std::memory_order_acquire)) {
        return;
    }
    struct Pending {
        Outcome outcome;
        char detail[kDetailSize];
    };
    static Pending pending[check_count];
    bool any[check_count] = {};
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_host_ready.load(std::memory_order_relaxed)) {
            return;
        }
        for (int i = 0; i < check_count; ++i) {
            if (g_lines[i].pending) {
                g_lines[i].pending = false;
                any[i] = true;
                pending[i].outcome = Outcome(g_lines[i].outcome.load());
                std::memcpy(pending[i].detail, g_lines[i].detail, kDetailSize);
            }
        }
        g_host_ready.store(true, std::memory_order_release);
    }
    for (int i = 0; i < check_count; ++i) {
        if (any[i]) {
            send(CheckId(i), pending[i].outcome, pending[i].detail);
        }
    }
}

bool write_report() {
    flush_pending_messages();
    std::string why;
    std::string verdict_line;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        const Tally t = tally();
        verdict_line = verdict(t);
        const std::string folder = report_folder();
        why = write_report_file(folder, "oska-probe-report.md", markdown(verdict_line));
        if (why.empty()) {
            why = write_report_file(folder, "oska-probe-report.json", json(verdict_line, t));
        }
    }
    const std::string line = "oska_probe-> verdict: " + verdict_line;
    if (verdict_line.compare(0, 4, "PASS") == 0) {
        host_info(line.c_str());
    } else {
        host_error(line.c_str());
    }
    if (!why.empty()) {
        // Whatever stands in the folder is an older run's: say so, for a
        // reader who finds it there.
        host_error(("oska_probe-> the report was not written: " + why + "; any report already in " +
                    report_folder() + " is an earlier run's")
                       .c_str());
        return false;
    }
    return true;
}

} // namespace oska::probe
