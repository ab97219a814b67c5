// The testing host's own state: what it has seen of the library's calls, and
// the faults it is set to show. Shared by its set-up API (testing.cpp) and
// its mi_ functions (testing_exports.cpp).
//
// Locking: `mutex` guards what was seen; the switches are set during set-up
// and read without it (the count of failing allocations excepted).
#ifndef OSKA_HOST_TESTING_WATCH_H
#define OSKA_HOST_TESTING_WATCH_H

#include <oska/host/testing.h>

#include "serve.h"

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace oska::host {

// The mi_ functions, in the order of the host interface's list.
enum HostFunction : int {
#define OSKA_HOST_FUNCTION_ENUM(kind, result, name, params, args) fn_##name,
    OSKA_HOST_FUNCTIONS(OSKA_HOST_FUNCTION_ENUM)
#undef OSKA_HOST_FUNCTION_ENUM
        host_function_count
};

constexpr const char *kFunctionNames[host_function_count] = {
#define OSKA_HOST_FUNCTION_NAME(kind, result, name, params, args) #name,
    OSKA_HOST_FUNCTIONS(OSKA_HOST_FUNCTION_NAME)
#undef OSKA_HOST_FUNCTION_NAME
};

struct Testing::Watch {
    explicit Watch(Testing &watched) : host(watched) {}

    // What one thread has open for editing. A refused edit is remembered so
    // that its matching end is not taken for a protocol fault.
    struct OpenEdit {
        oska_tag open = 0;
        oska_tag refused = 0;
    };

    Testing &host;
    mutable std::mutex mutex;

    // ---- What was seen.
    std::vector<Message> messages;
    std::vector<Call> calls;
    std::atomic<bool> logging{true};
    std::array<std::atomic<long>, host_function_count> counts{};
    std::atomic<bool> copied_state_reported{false};
    std::vector<void *> fifth_words;
    std::vector<Edit> edits;
    std::vector<std::string> edit_errors;
    std::map<std::thread::id, OpenEdit> open_edits;
    // Each record as mi_scene_edit_end closed it, by tag: a difference found
    // later (at the next edit, or when the faults are read) is a write to a
    // closed record.
    std::map<oska_tag, std::vector<unsigned char>> closed_records;

    // ---- Switches (set-up only).
    int failing_allocations = 0; // under the lock: each refusal counts down
    bool fail_texture_lookups = false;
    bool refuse_edits = false;
    std::unordered_set<int> silenced;
    HostFaults faults;
    // What the faults keep while the library runs (under the lock).
    std::unordered_set<const ShaderInstance *> slot_answered; // first request 51 made
    void *spare_slot = nullptr;                               // the slot of no instance
    unsigned char *invalidate_next = nullptr;                 // record an edit must lose
    std::size_t invalidate_size = 0;

    // A copy of `field`, one of the above, taken under the lock.
    template <class T> T copy(const T &field) const {
        std::lock_guard<std::mutex> lock(mutex);
        return field;
    }

    // ---- Observing. Each mi_ call is counted, and logged with the text
    // `describe` gives while logging is on.
    void called(HostFunction function, const oska_state *state,
                const std::function<std::string()> &describe);
    void check_state(const oska_state *state);
    void message(Level level, const std::string &text);
    void fifth_word(void *word);
    std::vector<unsigned char> record_bytes(oska_tag tag) const;
    std::string closed_record_fault(oska_tag tag) const; // under the lock

    // ---- Faults, and the edit protocol checked.
    bool refuse_allocation();
    bool silenced_query(int request) const;
    // Request 51's answer for `shader`, whose own slot is `own`.
    void **settings_slot(const ShaderInstance &shader, void **own);
    // The name mi_api_tag_lookup answers for `tag`, whose own is `given`.
    const char *name(oska_tag tag, const char *given) const;
    // The record mi_scene_edit gives the library, the core having opened
    // `opened`.
    void *edit(oska_tag tag, serve::EditRecord opened);
    void edit_end(oska_tag tag);
};

Testing::Watch &watch_of(Testing &testing);

} // namespace oska::host

#endif
