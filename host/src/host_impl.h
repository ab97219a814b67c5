// The stand-in host's inner state, shared by its set-up API (host.cpp) and
// the mi_ functions that serve the library (mi_exports.cpp).
//
// Locking: `mutex` guards the log, the messages, the allocator, the scene
// edits and the extra query words. The scene, the shader instances, the
// states, the hooks and the fault settings are written only during set-up
// and read without a lock while the library runs.
#ifndef OSKA_STANDIN_HOST_IMPL_H
#define OSKA_STANDIN_HOST_IMPL_H

#include <oska/standin/host.h>

#include <array>
#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// A released block is kept until reset(); under AddressSanitizer any read
// of it is reported.
#if defined(__SANITIZE_ADDRESS__)
#define OSKA_STANDIN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) // clang's way of saying it
#define OSKA_STANDIN_ASAN 1
#endif
#endif
#if defined(OSKA_STANDIN_ASAN)
#include <sanitizer/asan_interface.h>
#define OSKA_STANDIN_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define OSKA_STANDIN_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define OSKA_STANDIN_POISON(address, size) ((void)(address), (void)(size))
#define OSKA_STANDIN_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace oska::host {

// The mi_ functions, in the order of the host interface's list.
enum HostFunction : int {
#define OSKA_STANDIN_FUNCTION_ENUM(kind, result, name, params, args) fn_##name,
    OSKA_HOST_FUNCTIONS(OSKA_STANDIN_FUNCTION_ENUM)
#undef OSKA_STANDIN_FUNCTION_ENUM
        host_function_count
};

constexpr const char *kFunctionNames[host_function_count] = {
#define OSKA_STANDIN_FUNCTION_NAME(kind, result, name, params, args) #name,
    OSKA_HOST_FUNCTIONS(OSKA_STANDIN_FUNCTION_NAME)
#undef OSKA_STANDIN_FUNCTION_NAME
};

// Every byte of a new block holds this value, so that a field the library
// reads without having written it shows as garbage rather than as zero.
constexpr unsigned char kFreshBlockByte = 0xA5;

using HostFaults = Host::HostFaults;

struct Host::Impl {
    // One element of the scene database; its tag is its index + 1.
    struct Element {
        int type = 0;
        bool has_name = false;
        std::string name;
        oska_light light{};       // type OSKA_TYPE_LIGHT
        LightDesc desc;           // type OSKA_TYPE_LIGHT; desc.name points into `name`
        oska_instance instance{}; // type OSKA_TYPE_INSTANCE
        float emit_divisor = 1.0f;
        bool is_texture = false;
        Image image;
    };

    // What one thread has open for editing. A refused edit is remembered so
    // that its matching end is not taken for a protocol fault.
    struct OpenEdit {
        oska_tag open = 0;
        oska_tag refused = 0;
    };

    Impl();

    // Element of `tag`, nullptr for 0 and unknown tags. No lock: the scene is
    // built during set-up.
    Element *element(oska_tag tag);
    const Element *element(oska_tag tag) const;

    // The shader instance whose function record the state points to; nullptr
    // when the state or its function is not one of this host's.
    ShaderInstance *shader_of(const oska_state *state) const;

    // Counts a call (always) and logs it (when logging is on). Each thread
    // counts in a shard of its own, on cache lines of its own, so threads
    // that call the host for every sample do not contend for one counter.
    void count(HostFunction function) {
        counts[counter_shard()][function].fetch_add(1, std::memory_order_relaxed);
    }
    long total(HostFunction function) const;
    void clear_counts();
    bool logging_on() const { return logging.load(std::memory_order_relaxed); }
    void log(std::string call);

    // A copy of a state from make_state() still links to the original as its
    // sample and parent; when sample or parent fields were set on the copy,
    // the library never sees them: say so once, on standard error.
    void check_state(const oska_state *state);

    void clear();

    mutable std::mutex mutex;

    // Scene and shaders (set-up only).
    std::deque<Element> elements;
    std::deque<std::unique_ptr<ShaderInstance>> shaders;
    std::unordered_map<const oska_function *, ShaderInstance *> shader_by_function;
    std::deque<oska_state> states;
    std::unordered_set<const oska_state *> made_states;
    std::atomic<bool> copied_state_reported{false};

    // Allocator (under the lock).
    std::map<void *, Block> blocks;         // live
    std::map<void *, std::size_t> released; // with sizes; freed at reset(), never reused before
    long allocations = 0;
    long releases = 0;
    int failing_allocations = 0;
    std::vector<std::string> allocator_errors;

    // Messages and the call log (under the lock).
    std::vector<Message> messages;
    std::vector<Call> calls;
    std::atomic<bool> logging{true};
    static constexpr int kCounterShards = 16;
    struct alignas(64) CounterShard : std::array<std::atomic<long>, host_function_count> {};
    static int counter_shard();
    std::array<CounterShard, kCounterShards> counts{};

    // Shadows and textures (set-up only).
    oska_boolean shadow_result = 1;
    oska_color shadow_transmission{1.0f, 1.0f, 1.0f, 1.0f};
    ShadowTracer tracer;
    TextureLookup texture_lookup;
    bool fail_texture_lookups = false;

    // Scene edits (under the lock).
    std::vector<Edit> edits;
    std::vector<std::string> edit_errors;
    std::map<std::thread::id, OpenEdit> open_edits;
    // Each record as mi_scene_edit_end closed it, by tag: a difference found
    // later (at the next edit, or when the faults are read) is a write to a
    // closed record.
    std::map<oska_tag, std::vector<unsigned char>> closed_records;
    // The bytes of the light or instance record of `tag`; empty for others.
    std::vector<unsigned char> record_bytes(oska_tag tag) const;
    // "N: written after mi_scene_edit_end closed it" when the record of
    // `tag` no longer holds what it held then; empty otherwise.
    std::string closed_record_fault(oska_tag tag) const;
    bool refuse_edits = false;

    // Queries (silenced: set-up only; fifth words: under the lock).
    std::unordered_set<int> silenced;
    std::vector<void *> fifth_words;

    // ==== Host faults: the switches (set-up only) and what they keep
    // (under the lock).
    HostFaults faults;
    std::unordered_set<const ShaderInstance *> slot_answered; // first request 51 made
    void *spare_slot = nullptr;                               // the slot of no instance
    unsigned char *invalidate_next = nullptr;                 // record an edit must lose
    std::size_t invalidate_size = 0;
    // The record of an open edit, overwritten when the fault says so.
    void invalidate_edited_record();
    // ==== End of host faults
};

} // namespace oska::host

#endif
