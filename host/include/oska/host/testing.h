// The testing host: the host core with what oska's tests need to see and to
// break. It logs and counts every mi_ call, keeps the messages, checks the
// scene-edit protocol, and switches faults on: silenced queries, failed
// allocations and lookups, refused edits, and the faults of a host's own
// side of the interface.
//
// Its shared library is a module in front of the core: it exports the
// fourteen mi_ functions itself, each of which observes the call, shows the
// faults switched on, and forwards to the core for the process-wide
// testing() host. Thread safety as for the core, except that the log, the
// messages, the counts and the edit checks take a lock.
#ifndef OSKA_HOST_TESTING_H
#define OSKA_HOST_TESTING_H

#include <oska/host/host.h>

#include <memory>
#include <string>
#include <vector>

namespace oska::host {

// One mi_ call as the host saw it, e.g. "mi_query(51, 0)",
// "mi_mem_int_allocate(oskacolor, 70, 100)", "mi_phen_eval(+36)" (offset of
// the parameter in its record), "mi_scene_edit(3)", "mi_error(text)".
using Call = std::string;

class OSKA_HOST_CXX_API Testing : public Host {
  public:
    Testing();
    ~Testing();

    // Forgets everything the core forgets, and the messages, log, counts,
    // edit records and fault settings.
    void reset();

    // ---- Messages and the call log.
    std::vector<Message> messages() const;
    std::vector<std::string> texts(Level level) const;
    void set_logging(bool on); // on after reset()
    std::vector<Call> calls() const;
    void clear_calls();
    // Calls of an mi_ function since reset() or clear_calls(), logged or not.
    long count(const char *function) const;

    // ---- Failures: the next `count` allocations return null; every texture
    // lookup fails; mi_scene_edit returns null; a query writes nothing.
    void fail_allocations(int count);
    void fail_texture_lookups(bool on);
    void refuse_edits(bool on);
    void silence_query(int request, bool on);

    // ---- Scene edits.
    struct Edit {
        bool open; // true: mi_scene_edit, false: mi_scene_edit_end
        oska_tag tag;
    };
    std::vector<Edit> edits() const;
    // Protocol faults seen, per thread: an element opened while another is
    // open, an end for an element not open, a record written after its edit
    // ended. The end of an edit that returned null (refused, or not a light
    // or instance) is expected, not a fault. Empty when the library behaved.
    std::vector<std::string> edit_errors() const;
    bool edit_open() const; // an element is open now, in any thread

    // ---- Extra words of requests 15 and 127, as received.
    std::vector<void *> fifth_words() const;

    // ==== Host faults ========================================================
    // Faults of a host's own side of the interface, switched on by tests of
    // tools that must name them.
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
        // A light named the host's own way: mi_api_tag_lookup answers
        // `light_name` for every light (its instances keep their names).
        std::string light_name;
        // Faults of the order and content of the host's calls, which the
        // testing host does not make itself: a test's scene runner reads
        // them (faults()) and makes its calls so.
        // A light bound late: oskalight runs after the instances'
        // oskacolor_init, so the light is no object light at their init.
        bool light_bound_after_init = false;
        // The light for its instance: the states of the light's shader carry
        // the light's tag as their light instance.
        bool state_carries_light = false;
    };
    // All off after reset().
    void set_faults(const HostFaults &faults);
    HostFaults faults() const;
    // Writes a parameter of `size` bytes at `offset` of the instance's record,
    // as the host fills the record from its declarations.
    void write_param(ShaderInstance &shader, std::size_t offset, const void *value,
                     std::size_t size);
    // ==== End of host faults =================================================

    struct Watch; // what it has seen and is set to do, seen only by its own code

  private:
    // For its mi_ functions (testing_exports.cpp).
    friend Watch &watch_of(Testing &testing);

    std::unique_ptr<Watch> watch_;
};

// The process-wide testing host: the one its mi_ functions serve.
OSKA_HOST_CXX_API Testing &testing();

} // namespace oska::host

#endif
