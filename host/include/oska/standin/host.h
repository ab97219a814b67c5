// The stand-in host: a host core written for oska's tests and for oska-render.
//
// It keeps a scene database of tagged elements with editable records, an
// allocator that tracks blocks by source label and line, the host's messages,
// one settings slot per shader instance, attached parameters, textures, a
// scriptable shadow trace and a log of every call the library makes into it.
// The fourteen mi_ functions of the host interface (mi_exports.cpp) serve the
// process-wide host(); the module that holds them (the stand-in shared
// library, or the oska-render executable) is what the library is bound to.
//
// Thread safety: set the scene, shaders and hooks up first; the mi_ functions
// may then be called from many threads at once (the log, the messages and
// the allocator take a lock; lookups in the scene do not).
#ifndef OSKA_STANDIN_HOST_H
#define OSKA_STANDIN_HOST_H

#include <oska/host_api.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#if defined(_WIN32) && defined(OSKA_STANDIN_SHARED)
#if defined(OSKA_BUILDING_STANDIN)
#define OSKA_STANDIN_API __declspec(dllexport)
#else
#define OSKA_STANDIN_API __declspec(dllimport)
#endif
#elif defined(OSKA_STANDIN_SHARED)
#define OSKA_STANDIN_API __attribute__((visibility("default")))
#else
#define OSKA_STANDIN_API
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

// One mi_ call as the host saw it, e.g. "mi_query(51, 0)",
// "mi_mem_int_allocate(oskacolor, 70, 100)", "mi_phen_eval(+36)" (offset of
// the parameter in its record), "mi_scene_edit(3)", "mi_error(text)".
using Call = std::string;

// A block handed out by mi_mem_int_allocate and not yet released.
struct Block {
    void *address;
    std::string file;
    int line;
    int size;
};

// What the host records about a light beyond its editable record.
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
struct OSKA_STANDIN_API ShaderInstance {
    ShaderInstance() = default;
    ShaderInstance(const ShaderInstance &) = delete; // the host hands out references
    ShaderInstance &operator=(const ShaderInstance &) = delete;

    oska_function function{};           // must stay the first member
    void *settings = nullptr;           // the settings slot
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

class OSKA_STANDIN_API Host {
  public:
    Host();
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // Forgets everything: scene, shader instances, messages, log, counters,
    // hooks and fault settings. Blocks still allocated are kept as leaks until
    // `release_leaks` (so a test can see them).
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
    const LightDesc *light_desc(oska_tag tag) const;
    int type(oska_tag tag) const; // 0 for unknown tags

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
    void release_leaks();             // frees them (after a test looked)
    long allocations() const;         // successful allocations so far
    long releases() const;
    std::vector<std::string> allocator_errors() const; // double or unknown releases
    void fail_allocations(int count);                  // the next `count` allocations return null

    // ---- Messages and the call log.
    std::vector<Message> messages() const;
    std::vector<std::string> texts(Level level) const;
    void set_logging(bool on); // on after reset()
    std::vector<Call> calls() const;
    void clear_calls();
    // Calls of an mi_ function since reset() or clear_calls(), logged or not.
    long count(const char *function) const;

    // ---- Shadows: mi_trace_shadow answers `result` and writes
    // `transmission`, unless a tracer hook is set.
    void set_shadow(oska_boolean result, oska_color transmission);
    using ShadowTracer = std::function<oska_boolean(oska_color *, oska_state *)>;
    void set_shadow_tracer(ShadowTracer tracer);

    // ---- Textures: nearest texel of the image, unless a lookup hook is set;
    // an unknown tag fails. fail_texture_lookups makes every lookup fail.
    using TextureLookup =
        std::function<oska_boolean(oska_color *, oska_state *, oska_tag, const oska_vector *)>;
    void set_texture_lookup(TextureLookup lookup);
    void fail_texture_lookups(bool on);

    // ---- Scene edits.
    struct Edit {
        bool open; // true: mi_scene_edit, false: mi_scene_edit_end
        oska_tag tag;
    };
    std::vector<Edit> edits() const;
    // Protocol faults seen, per thread: an element opened while another is
    // open, an end for an element not open. The end of an edit that returned
    // null (refused, or not a light or instance) is expected, not a fault.
    // Empty when the library behaved.
    std::vector<std::string> edit_errors() const;
    bool edit_open() const;     // an element is open now, in any thread
    void refuse_edits(bool on); // mi_scene_edit returns null

    // ---- Queries that write nothing (fault injection), by request code.
    void silence_query(int request, bool on);

    // ---- Extra words of requests 15 and 127, as received.
    std::vector<void *> fifth_words() const;

    // ==== Host faults ========================================================
    // Faults of a host's own side of the interface, switched on by tests of
    // tools that must name them. This block, write_param() and the
    // HostFaults handling in the mi_ functions belong together.
    struct HostFaults {
        // A field moved: write_param() puts the parameter at record offset
        // `moved_field` `moved_by` bytes away from it.
        long moved_field = -1;
        int moved_by = 0;
        // A settings slot not kept: after its first answer for a shader
        // instance, request 51 answers a slot that no instance owns.
        bool slot_not_kept = false;
        // A query that writes too much: request `overlong_query` (7, 24, 25
        // or 125) writes an 8-byte value (a double for a scalar).
        int overlong_query = 0;
        // An edited record invalidated early: the record mi_scene_edit gave
        // is overwritten with 0xDD, as a freed block is, at the host's next
        // query, parameter evaluation or lookup before its mi_scene_edit_end.
        bool edit_invalidated_early = false;
    };
    // All off after reset().
    void set_faults(const HostFaults &faults);
    // Writes a parameter of `size` bytes at `offset` of the instance's record,
    // as the host fills the record from its declarations.
    void write_param(ShaderInstance &shader, std::size_t offset, const void *value,
                     std::size_t size);
    // ==== End of host faults =================================================

    // Called by the mi_ exports (not by tests).
    struct Impl;
    Impl &impl();

  private:
    std::unique_ptr<Impl> impl_;
};

// The process-wide host the mi_ functions serve.
OSKA_STANDIN_API Host &host();

// Handle of the module that exports the mi_ functions: what the library's
// miSetModuleHandle is given.
OSKA_STANDIN_API void *module_handle();

} // namespace oska::host

#endif
