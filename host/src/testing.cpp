// The testing layer: a monitor on the core's mi_ functions that logs, counts,
// checks the edit protocol and switches faults on.
#include <oska/host/testing.h>

#include "host_impl.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

namespace oska::host {

namespace {

// `copy` looks like a copy of the made state `original` whose sample or parent
// fields were then changed: the library reads those from the original.
bool diverged_copy(const oska_state &copy, const oska_state &original, bool as_sample) {
    if (copy.function != original.function || copy.light_instance != original.light_instance) {
        return false; // a state of its own that uses a made state: fine
    }
    if (as_sample) {
        // Bits, not values: a NaN dot product that was left alone matches itself.
        return copy.vectors != original.vectors || copy.vector_count != original.vector_count ||
               // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison,cert-exp42-c,cert-flp37-c)
               std::memcmp(&copy.emission_dot, &original.emission_dot, sizeof(float)) != 0 ||
               copy.orientation != original.orientation;
    }
    return copy.reflection_level != original.reflection_level ||
           copy.refraction_level != original.refraction_level;
}

// The calls after which an edited record may already be invalidated.
bool reads_scene(HostFunction function) {
    switch (function) {
    case fn_mi_query:
    case fn_mi_phen_eval:
    case fn_mi_trace_shadow:
    case fn_mi_lookup_color_texture:
    case fn_mi_luminance:
    case fn_mi_db_type:
    case fn_mi_api_tag_lookup:
        return true;
    default:
        return false;
    }
}

} // namespace

struct Testing::Watch final : Monitor {
    explicit Watch(Host &watched) : host(watched) {}

    // What one thread has open for editing. A refused edit is remembered so
    // that its matching end is not taken for a protocol fault.
    struct OpenEdit {
        oska_tag open = 0;
        oska_tag refused = 0;
    };

    Host &host;
    mutable std::mutex mutex; // all below but the set-up switches

    std::vector<Message> messages;
    std::vector<Call> calls;
    std::atomic<bool> logging{true};
    std::array<std::atomic<long>, host_function_count> counts{};
    std::atomic<bool> copied_state_reported{false};

    // Set-up switches.
    int failing_allocations = 0; // under the lock
    bool fail_texture_lookups = false;
    bool refuse_edits = false;
    std::unordered_set<int> silenced;
    HostFaults faults;

    std::vector<void *> fifth_words;
    std::vector<Edit> edits;
    std::vector<std::string> edit_errors;
    std::map<std::thread::id, OpenEdit> open_edits;
    // Each record as mi_scene_edit_end closed it, by tag: a difference found
    // later (at the next edit, or when the faults are read) is a write to a
    // closed record.
    std::map<oska_tag, std::vector<unsigned char>> closed_records;

    std::unordered_set<const ShaderInstance *> slot_answered; // first request 51 made
    void *spare_slot = nullptr;                               // the slot of no instance
    unsigned char *invalidate_next = nullptr;                 // record an edit must lose
    std::size_t invalidate_size = 0;

    // A copy of `field`, one of the above, taken under the lock.
    template <class T> T copy(const T &field) const {
        std::lock_guard<std::mutex> lock(mutex);
        return field;
    }

    // A copy of a state from make_state() still links to the original as its
    // sample and parent; when sample or parent fields were set on the copy,
    // the library never sees them: say so once, on standard error.
    void check_state(const oska_state *state) {
        const auto &made = host.impl().made_states;
        if (state == nullptr || made.count(state) != 0) {
            return;
        }
        const bool copied =
            (made.count(state->sample) != 0 && diverged_copy(*state, *state->sample, true)) ||
            (made.count(state->parent) != 0 && diverged_copy(*state, *state->parent, false));
        if (copied && !copied_state_reported.exchange(true)) {
            std::fputs("testing host: sample or parent fields were set on a copy of a state from "
                       "make_state(); the library reads them from the original. Bind "
                       "make_state() to a reference.\n",
                       stderr);
        }
    }

    // The bytes of the light or instance record of `tag`; empty for others.
    std::vector<unsigned char> record_bytes(oska_tag tag) const {
        auto bytes_of = [](const auto *record) {
            const auto *bytes = reinterpret_cast<const unsigned char *>(record);
            return std::vector<unsigned char>(bytes, bytes + sizeof *record);
        };
        if (const oska_light *light = host.light(tag)) {
            return bytes_of(light);
        }
        if (const oska_instance *instance = host.instance(tag)) {
            return bytes_of(instance);
        }
        return {};
    }

    // "N: written after mi_scene_edit_end closed it" when the record of
    // `tag` no longer holds what it held then; empty otherwise.
    std::string closed_record_fault(oska_tag tag) const {
        auto found = closed_records.find(tag);
        if (found == closed_records.end() || record_bytes(tag) == found->second) {
            return "";
        }
        return std::to_string(tag) + ": written after mi_scene_edit_end closed it";
    }

    void called(HostFunction function, const oska_state *state,
                const std::function<std::string()> &describe) override {
        counts[function].fetch_add(1, std::memory_order_relaxed);
        if (faults.edit_invalidated_early && reads_scene(function)) {
            std::lock_guard<std::mutex> lock(mutex);
            if (invalidate_next != nullptr) {
                std::memset(invalidate_next, 0xDD, invalidate_size);
                invalidate_next = nullptr;
            }
        }
        if (logging.load(std::memory_order_relaxed)) {
            if (reads_scene(function)) {
                check_state(state);
            }
            std::string call = describe();
            std::lock_guard<std::mutex> lock(mutex);
            calls.push_back(std::move(call));
        }
    }

    bool answer_query(int request, void *fifth) override {
        if (request == OSKA_QUERY_EXTRA_15 || request == OSKA_QUERY_EXTRA_127) {
            std::lock_guard<std::mutex> lock(mutex);
            fifth_words.push_back(fifth);
        }
        return silenced.empty() || silenced.count(request) == 0;
    }

    int widened_request() const override { return faults.overlong_query; }

    void **settings_slot(ShaderInstance &shader) override {
        if (!faults.slot_not_kept) {
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(mutex);
        return slot_answered.insert(&shader).second ? nullptr : &spare_slot;
    }

    bool refuse_allocation() override {
        std::lock_guard<std::mutex> lock(mutex);
        if (failing_allocations > 0) {
            --failing_allocations;
            return true;
        }
        return false;
    }

    bool refuse_texture_lookup() override { return fail_texture_lookups; }

    void message(Level level, const std::string &text) override {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back({level, text});
    }

    // One element at a time per thread: opening a second before ending the
    // first is a protocol fault.
    void *edit(oska_tag tag, void *record, std::size_t size) override {
        const std::string call = "mi_scene_edit(" + std::to_string(tag) + ")";
        std::lock_guard<std::mutex> lock(mutex);
        edits.push_back({true, tag});
        OpenEdit &mine = open_edits[std::this_thread::get_id()];
        if (mine.open != 0) {
            edit_errors.push_back(call + " while " + std::to_string(mine.open) + " is open");
        }
        if (refuse_edits || record == nullptr) {
            mine.refused = tag; // its end is expected, and harmless
            return nullptr;
        }
        // Opened again: a legitimate writer from here on, but what happened
        // to it while it was closed is a fault.
        if (std::string fault = closed_record_fault(tag); !fault.empty()) {
            edit_errors.push_back(fault);
        }
        closed_records.erase(tag);
        mine.open = tag;
        mine.refused = 0;
        if (faults.edit_invalidated_early) {
            invalidate_next = static_cast<unsigned char *>(record);
            invalidate_size = size;
        }
        return record;
    }

    const char *name(oska_tag tag, const char *given) override {
        if (!faults.light_name.empty() && host.light(tag) != nullptr) {
            return faults.light_name.c_str();
        }
        return given;
    }

    void edit_end(oska_tag tag) override {
        const std::string call = "mi_scene_edit_end(" + std::to_string(tag) + ")";
        std::lock_guard<std::mutex> lock(mutex);
        edits.push_back({false, tag});
        invalidate_next = nullptr; // ended in time: nothing left to invalidate
        OpenEdit &mine = open_edits[std::this_thread::get_id()];
        if (mine.open != 0 && mine.open == tag) {
            mine.open = 0;
            closed_records[tag] = record_bytes(tag);
        } else if (mine.refused != 0 && mine.refused == tag) {
            mine.refused = 0;
        } else if (mine.open != 0) {
            edit_errors.push_back(call + " while " + std::to_string(mine.open) + " is open");
        } else {
            edit_errors.push_back(call + " with nothing open");
        }
    }
};

Testing::Testing() : watch_(std::make_unique<Watch>(*this)) { impl().monitor = watch_.get(); }

Testing::~Testing() { impl().monitor = nullptr; }

void Testing::reset() {
    Host::reset();
    // A fresh watch forgets every log, count, switch and fault at once (set-up
    // runs while the library makes no call).
    impl().monitor = nullptr;
    watch_ = std::make_unique<Watch>(*this);
    impl().monitor = watch_.get();
}

// ---- Messages and the call log

std::vector<Message> Testing::messages() const { return watch_->copy(watch_->messages); }

std::vector<std::string> Testing::texts(Level level) const {
    std::vector<std::string> texts;
    for (const Message &message : messages()) {
        if (message.level == level) {
            texts.push_back(message.text);
        }
    }
    return texts;
}

void Testing::set_logging(bool on) { watch_->logging = on; }

std::vector<Call> Testing::calls() const { return watch_->copy(watch_->calls); }

void Testing::clear_calls() {
    std::lock_guard<std::mutex> lock(watch_->mutex);
    watch_->calls.clear();
    for (std::atomic<long> &counter : watch_->counts) {
        counter.store(0, std::memory_order_relaxed);
    }
}

long Testing::count(const char *function) const {
    for (int i = 0; i < host_function_count; ++i) {
        if (function != nullptr && std::strcmp(function, kFunctionNames[i]) == 0) {
            return watch_->counts[std::size_t(i)].load(std::memory_order_relaxed);
        }
    }
    return 0;
}

// ---- Failures

void Testing::fail_allocations(int count) {
    std::lock_guard<std::mutex> lock(watch_->mutex);
    watch_->failing_allocations = std::max(count, 0);
}

void Testing::fail_texture_lookups(bool on) { watch_->fail_texture_lookups = on; }

void Testing::refuse_edits(bool on) { watch_->refuse_edits = on; }

void Testing::silence_query(int request, bool on) {
    if (on) {
        watch_->silenced.insert(request);
    } else {
        watch_->silenced.erase(request);
    }
}

// ---- Scene edits and query words

std::vector<Testing::Edit> Testing::edits() const { return watch_->copy(watch_->edits); }

std::vector<std::string> Testing::edit_errors() const {
    std::lock_guard<std::mutex> lock(watch_->mutex);
    std::vector<std::string> errors = watch_->edit_errors;
    for (const auto &entry : watch_->closed_records) {
        if (std::string fault = watch_->closed_record_fault(entry.first); !fault.empty()) {
            errors.push_back(fault);
        }
    }
    return errors;
}

bool Testing::edit_open() const {
    std::lock_guard<std::mutex> lock(watch_->mutex);
    return std::any_of(watch_->open_edits.begin(), watch_->open_edits.end(),
                       [](const auto &entry) { return entry.second.open != 0; });
}

std::vector<void *> Testing::fifth_words() const { return watch_->copy(watch_->fifth_words); }

// ==== Host faults =============================================================

void Testing::set_faults(const HostFaults &faults) {
    std::lock_guard<std::mutex> lock(watch_->mutex);
    watch_->faults = faults;
}

Testing::HostFaults Testing::faults() const { return watch_->copy(watch_->faults); }

void Testing::write_param(ShaderInstance &shader, std::size_t offset, const void *value,
                          std::size_t size) {
    const HostFaults &planted = watch_->faults;
    if (planted.moved_field >= 0 && offset == std::size_t(planted.moved_field)) {
        offset = std::size_t(long(offset) + planted.moved_by);
    }
    if (offset + size <= shader.storage.size()) {
        std::memcpy(shader.storage.data() + offset, value, size);
    }
}

// ==== End of host faults ======================================================

// Never destroyed: the library may call into the host while the process
// shuts down, after static objects have gone.
Testing &testing() {
    static Testing *const instance = new Testing;
    return *instance;
}

Host &host() { return testing(); }

} // namespace oska::host
