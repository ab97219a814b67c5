// The testing host's set-up API: its logs, counts, edit checks and fault
// switches (testing_watch.h); its mi_ functions are in testing_exports.cpp.
#include <oska/host/testing.h>

#include "testing_watch.h"

#include <algorithm>
#include <cstring>

namespace oska::host {

Testing::Testing() : watch_(std::make_unique<Watch>(*this)) {}

Testing::~Testing() = default;

Testing::Watch &watch_of(Testing &testing) { return *testing.watch_; }

void Testing::reset() {
    Host::reset();
    // A fresh watch forgets every log, count, switch and fault at once (set-up
    // runs while the library makes no call).
    watch_ = std::make_unique<Watch>(*this);
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

} // namespace oska::host
