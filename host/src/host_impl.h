// The host core's inner state, shared by its set-up API (host.cpp), the mi_
// functions that serve the library (mi_exports.cpp) and the testing layer
// (testing.cpp).
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

// Every byte of a new block holds this value, so that a field the library
// reads without having written it shows as garbage rather than as zero.
constexpr unsigned char kFreshBlockByte = 0xA5;

// Watches every mi_ call and may change its answer: what the testing layer
// is built on. The core asks it only when one is set, so a host without one
// pays a pointer test per call.
class Monitor {
  public:
    Monitor() = default;
    Monitor(const Monitor &) = delete;
    Monitor &operator=(const Monitor &) = delete;
    virtual ~Monitor() = default;
    // Before `function` is served; `describe` gives the call's text.
    virtual void called(HostFunction function, const oska_state *state,
                        const std::function<std::string()> &describe) = 0;
    // A query about to be answered; `fifth` is the extra word of requests 15
    // and 127. False: the query writes nothing.
    virtual bool answer_query(int request, void *fifth) = 0;
    // The request whose answer is written 8 bytes wide; 0 for none.
    virtual int widened_request() const = 0;
    // Request 51's answer for `shader`; nullptr for its own slot.
    virtual void **settings_slot(ShaderInstance &shader) = 0;
    virtual bool refuse_allocation() = 0;
    virtual bool refuse_texture_lookup() = 0;
    virtual void message(Level level, const std::string &text) = 0;
    // mi_scene_edit of `tag` would give `record` (`size` bytes; nullptr for
    // an element that cannot be edited): the record it gives.
    virtual void *edit(oska_tag tag, void *record, std::size_t size) = 0;
    virtual void edit_end(oska_tag tag) = 0;
    // mi_api_tag_lookup of `tag` would answer `name`: the name it answers.
    virtual const char *name(oska_tag tag, const char *name) = 0;
};

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
    Monitor *monitor = nullptr; // set-up only

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

} // namespace oska::host

#endif
