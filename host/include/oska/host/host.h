// The host core: what oska-render is built on, and what the testing host
// (oska/host/testing.h) adds its instrumentation to.
//
// It keeps a scene database of tagged elements with editable records, an
// allocator that tracks blocks by source label and line, one settings slot
// per shader instance, attached parameters, and hooks for textures, shadows
// and messages. The core's fourteen mi_ functions of the host interface
// (mi_exports.cpp) serve the process-wide host(); a program that links the
// core alone (oska-render) exports them and is what the library is bound to.
// The testing host (oska/host/testing.h) is a module of its own, in front of
// the core, exporting the fourteen functions itself.
//
// Thread safety: set the scene, shaders and hooks up first; the mi_ functions
// may then be called from many threads at once. Only the allocator takes a
// lock; queries, parameter evaluation, lookups, shadows and luminance read
// the scene without one.
#ifndef OSKA_HOST_HOST_H
#define OSKA_HOST_HOST_H

#include <oska/host_api.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// The testing host is a shared library that carries the core; oska-render
// links the core statically.
#if defined(_WIN32) && defined(OSKA_HOST_SHARED)
#if defined(OSKA_HOST_EXPORTING)
#define OSKA_HOST_CXX_API __declspec(dllexport)
#else
#define OSKA_HOST_CXX_API __declspec(dllimport)
#endif
#elif defined(OSKA_HOST_SHARED)
#define OSKA_HOST_CXX_API __attribute__((visibility("default")))
#else
#define OSKA_HOST_CXX_API
#endif

namespace oska::host {

// The host's luminance weights (mi_luminance): its own, not the library's.
constexpr float kLuminanceRed = 0.299f;
constexpr float kLuminanceGreen = 0.587f;
constexpr float kLuminanceBlue = 0.114f;

enum class Level { error, warning, info };

struct Message {
    Level level;
    std::string text;
};

// A block handed out by mi_mem_int_allocate and not yet released.
struct Block {
    void *address;
    std::string file;
    int line;
    int size;
};

// A light as added to the scene.
struct LightDesc {
    // The record's area kind at creation. Request 24 answers the record's
    // current area kind, so an edit by oskalight is seen at once.
    int32_t area_kind = OSKA_AREA_OBJECT;
    float exponent = 2.0f; // request 25
    const char *name = nullptr;
};

// An in-memory image, looked up by nearest texel at (x, y) in [0,1]^2.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<oska_color> texels; // row-major, row 0 at y = 0
};

// The host's record of one shader instance. Its oska_function is what a
// state's `function` points to; request 51 answers with &settings.
struct OSKA_HOST_CXX_API ShaderInstance {
    ShaderInstance() = default;
    ShaderInstance(const ShaderInstance &) = delete; // the host hands out references
    ShaderInstance &operator=(const ShaderInstance &) = delete;

    oska_function function{}; // must stay the first member
    void *settings = nullptr; // the settings slot
    // What a state for this shader carries in host_data2: the host finds the
    // shader from it at once, without a search (request 51 asks per sample).
    void *state_key = nullptr;

    // Points `state` at this shader: its function record and its key.
    void address(oska_state &state) const {
        state.function = &function;
        state.host_data2 = state_key;
    }
    std::string name;                   // shader name, e.g. "oskacolor"
    std::vector<unsigned char> storage; // parameter record, then attachment words
    std::size_t record_size = 0;
    // Attached parameters by byte offset: the value mi_phen_eval returns and
    // how often it was asked for.
    struct Attached {
        std::vector<unsigned char> value;
        std::atomic<int> evaluations{0};
        bool answer_null = false; // the attached shader yields no value
    };
    std::map<std::size_t, std::unique_ptr<Attached>> attached;
    // What attach() writes into a parameter's attachment word: any value
    // but 0 says "attached", in any of the word's bytes.
    int32_t attach_marker = 1;

    // The parameter record: record_size bytes, then room for array elements.
    void *record() { return storage.data(); }
    template <class T> T *params() { return reinterpret_cast<T *>(storage.data()); }

    // Marks the parameter at `offset` as attached; mi_phen_eval gives `value`.
    void attach(std::size_t offset, const void *value, std::size_t size);
    template <class T> void attach(std::size_t offset, const T &value) {
        attach(offset, &value, sizeof value);
    }
    // Attached, but the attached shader gives a null address.
    void attach_null(std::size_t offset);
    int evaluations(std::size_t offset) const;
};

class OSKA_HOST_CXX_API Host {
  public:
    Host();
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // Forgets the scene, the shader instances and states, the allocator's
    // counts and the hooks. Blocks still allocated are kept as leaks until
    // `release_leaks` (so that they can be reported).
    void reset();

    // ---- Scene database: tags start at 1 and are never reused.
    // Queries about an element of the wrong kind write nothing and answer 0.
    oska_tag add_light(const LightDesc &desc = {});
    // An instance of `item` (a light or an object); emit_divisor answers
    // request 125 for it. Request 7 answers `item` whatever its type, so that
    // a library's type check of the light can be seen to work.
    oska_tag add_instance(oska_tag item, const char *name = nullptr, float emit_divisor = 1.0f);
    oska_tag add_texture(Image image, const char *name = nullptr);
    // An element of any type code (e.g. to test type checks).
    oska_tag add_element(int type, const char *name = nullptr);
    void set_name(oska_tag tag, const char *name); // nullptr: the host has no name
    oska_light *light(oska_tag tag);               // nullptr unless a light
    oska_instance *instance(oska_tag tag);         // nullptr unless an instance
    int type(oska_tag tag) const;                  // 0 for unknown tags

    // ---- Shader instances. `record_size` bytes of parameter record (zeroed)
    // plus `extra` bytes after it (array elements).
    ShaderInstance &add_shader(const char *name, std::size_t record_size, std::size_t extra = 0);
    // A state for calling `shader`: ray kind light, the given light instance,
    // and its own sample and parent state. The host owns it (it lives until
    // reset()), so its sample and parent links stay valid: keep a reference,
    // `oska_state &state = host.make_state(shader);`. A copy still links to
    // the original, so sample and parent fields set on a copy are not seen.
    oska_state &make_state(ShaderInstance &shader, oska_tag light_instance = 0);

    // ---- Allocator. A new block's bytes are 0xA5, not zero. Releasing null
    // does nothing, as free() does; an unknown block, or one released before,
    // is recorded in allocator_errors() and left alone. Released blocks stay
    // reserved (0xDD, and poisoned under AddressSanitizer) until reset(), so
    // their addresses never come back to hide a second release.
    std::vector<Block> leaks() const; // blocks not released
    void release_leaks();             // frees them (after a caller looked)
    long allocations() const;         // successful allocations so far
    long releases() const;
    std::vector<std::string> allocator_errors() const; // double or unknown releases

    // ---- Messages: mi_error, mi_warning and mi_info hand their formatted
    // text to the sink, from whichever thread called them; none by default.
    using MessageSink = std::function<void(Level, const std::string &)>;
    void set_message_sink(MessageSink sink);

    // ---- Shadows: mi_trace_shadow answers `result` and writes
    // `transmission`, unless a tracer hook is set.
    void set_shadow(oska_boolean result, oska_color transmission);
    using ShadowTracer = std::function<oska_boolean(oska_color *, oska_state *)>;
    void set_shadow_tracer(ShadowTracer tracer);

    // ---- Textures: nearest texel of the image, unless a lookup hook is set;
    // an unknown tag fails.
    using TextureLookup =
        std::function<oska_boolean(oska_color *, oska_state *, oska_tag, const oska_vector *)>;
    void set_texture_lookup(TextureLookup lookup);

    struct Impl; // the inner state, seen only by the host's own code

  private:
    // For the mi_ functions and the testing host (host_impl.h).
    friend Impl &impl_of(Host &host);
    Impl &impl();

    std::unique_ptr<Impl> impl_;
};

// The process-wide host the core's own mi_ functions serve, in a program
// that links the core alone. A program bound to the testing host has
// testing() instead.
Host &host();

// Handle of the module that exports the mi_ functions: what the library's
// miSetModuleHandle is given.
OSKA_HOST_CXX_API void *module_handle();

} // namespace oska::host

#endif
