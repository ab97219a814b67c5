// What the testing host sees of each mi_ call, and the faults it shows.
#include "testing_watch.h"

#include <cstdio>
#include <cstring>

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

// ---- Observing ---------------------------------------------------------------

void Testing::Watch::called(HostFunction function, const oska_state *state,
                            const std::function<std::string()> &describe) {
    counts[function].fetch_add(1, std::memory_order_relaxed);
    if (faults.edit_invalidated_early && reads_scene(function)) {
        std::lock_guard<std::mutex> lock(mutex);
        if (invalidate_next != nullptr) {
            std::memset(invalidate_next, kReleasedBlockByte, invalidate_size);
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

// A copy of a state from make_state() still links to the original as its
// sample and parent; when sample or parent fields were set on the copy, the
// library never sees them: say so once, on standard error.
void Testing::Watch::check_state(const oska_state *state) {
    const auto &made = impl_of(host).made_states;
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

void Testing::Watch::message(Level level, const std::string &text) {
    std::lock_guard<std::mutex> lock(mutex);
    messages.push_back({level, text});
}

void Testing::Watch::fifth_word(void *word) {
    std::lock_guard<std::mutex> lock(mutex);
    fifth_words.push_back(word);
}

// The bytes of the light or instance record of `tag`; empty for others.
std::vector<unsigned char> Testing::Watch::record_bytes(oska_tag tag) const {
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

// "N: written after mi_scene_edit_end closed it" when the record of `tag` no
// longer holds what it held then; empty otherwise.
std::string Testing::Watch::closed_record_fault(oska_tag tag) const {
    auto found = closed_records.find(tag);
    if (found == closed_records.end() || record_bytes(tag) == found->second) {
        return "";
    }
    return std::to_string(tag) + ": written after mi_scene_edit_end closed it";
}

// ---- Faults ------------------------------------------------------------------

bool Testing::Watch::refuse_allocation() {
    std::lock_guard<std::mutex> lock(mutex);
    if (failing_allocations > 0) {
        --failing_allocations;
        return true;
    }
    return false;
}

bool Testing::Watch::silenced_query(int request) const {
    return !silenced.empty() && silenced.count(request) != 0;
}

// A slot not kept: after its first answer for an instance, the slot of none.
void **Testing::Watch::settings_slot(const ShaderInstance &shader, void **own) {
    if (!faults.slot_not_kept) {
        return own;
    }
    std::lock_guard<std::mutex> lock(mutex);
    return slot_answered.insert(&shader).second ? own : &spare_slot;
}

const char *Testing::Watch::name(oska_tag tag, const char *given) const {
    if (!faults.light_name.empty() && host.light(tag) != nullptr) {
        return faults.light_name.c_str();
    }
    return given;
}

// One element at a time per thread: opening a second before ending the first
// is a protocol fault.
void *Testing::Watch::edit(oska_tag tag, serve::EditRecord opened) {
    const std::string call = "mi_scene_edit(" + std::to_string(tag) + ")";
    std::lock_guard<std::mutex> lock(mutex);
    edits.push_back({true, tag});
    OpenEdit &mine = open_edits[std::this_thread::get_id()];
    if (mine.open != 0) {
        edit_errors.push_back(call + " while " + std::to_string(mine.open) + " is open");
    }
    if (refuse_edits || opened.record == nullptr) {
        mine.refused = tag; // its end is expected, and harmless
        return nullptr;
    }
    // Opened again: a legitimate writer from here on, but what happened to
    // it while it was closed is a fault.
    if (std::string fault = closed_record_fault(tag); !fault.empty()) {
        edit_errors.push_back(fault);
    }
    closed_records.erase(tag);
    mine.open = tag;
    mine.refused = 0;
    if (faults.edit_invalidated_early) {
        invalidate_next = static_cast<unsigned char *>(opened.record);
        invalidate_size = opened.size;
    }
    return opened.record;
}

void Testing::Watch::edit_end(oska_tag tag) {
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

} // namespace oska::host
