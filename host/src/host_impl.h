// The host core's inner state, shared by its set-up API (host.cpp), the
// services of the mi_ functions (serve.h) and the testing host.
//
// Locking: `mutex` guards the allocator. The scene, the shader instances, the
// states and the hooks are written only during set-up and read without a
// lock while the library runs.
#ifndef OSKA_HOST_HOST_IMPL_H
#define OSKA_HOST_HOST_IMPL_H

#include <oska/host/host.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

// A released block is kept until reset(); under AddressSanitizer any read
// of it is reported.
#if defined(__SANITIZE_ADDRESS__)
#define OSKA_HOST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) // clang's way of saying it
#define OSKA_HOST_ASAN 1
#endif
#endif
#if defined(OSKA_HOST_ASAN)
#include <sanitizer/asan_interface.h>
#define OSKA_HOST_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define OSKA_HOST_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define OSKA_HOST_POISON(address, size) ((void)(address), (void)(size))
#define OSKA_HOST_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace oska::host {

// Every byte of a new block holds this value, so that a field the library
// reads without having written it shows as garbage rather than as zero.
constexpr unsigned char kFreshBlockByte = 0xA5;

// Every byte of a released block holds this value until reset() frees it.
constexpr unsigned char kReleasedBlockByte = 0xDD;

struct Host::Impl {
    // One element of the scene database; its tag is its index + 1.
    struct Element {
        int type = 0;
        bool has_name = false;
        std::string name;
        oska_light light{};       // type OSKA_TYPE_LIGHT
        float exponent = 2.0f;    // type OSKA_TYPE_LIGHT
        oska_instance instance{}; // type OSKA_TYPE_INSTANCE
        float emit_divisor = 1.0f;
        bool is_texture = false;
        Image image;
    };

    // Element of `tag`, nullptr for 0 and unknown tags. No lock: the scene is
    // built during set-up.
    Element *element(oska_tag tag);
    const Element *element(oska_tag tag) const;

    // The shader instance whose function record the state points to; nullptr
    // when the state or its function is not one of this host's. Asked at
    // every sample, so it is written here to be inlined.
    ShaderInstance *shader_of(const oska_state *state) const {
        if (state == nullptr || state->function == nullptr) {
            return nullptr;
        }
        // The key is the shader's place in the list, plus one; the function
        // record must match too, so a stale or foreign key finds nothing.
        const std::uintptr_t index = reinterpret_cast<std::uintptr_t>(state->host_data2) - 1;
        if (index >= shaders.size() || &shaders[index]->function != state->function) {
            return nullptr;
        }
        return shaders[index].get();
    }

    void clear();

    mutable std::mutex mutex;

    // Scene and shaders (set-up only).
    std::deque<Element> elements;
    std::vector<std::unique_ptr<ShaderInstance>> shaders; // the instances stay in place
    std::deque<oska_state> states;
    std::unordered_set<const oska_state *> made_states;

    // Allocator (under the lock).
    std::map<void *, Block> blocks;         // live
    std::map<void *, std::size_t> released; // with sizes; freed at reset(), never reused before
    long allocations = 0;
    long releases = 0;
    std::vector<std::string> allocator_errors;

    // Hooks (set-up only).
    MessageSink message_sink;
    oska_boolean shadow_result = 1;
    oska_color shadow_transmission{1.0f, 1.0f, 1.0f, 1.0f};
    ShadowTracer tracer;
    TextureLookup texture_lookup;
};

Host::Impl &impl_of(Host &host);

} // namespace oska::host

#endif
