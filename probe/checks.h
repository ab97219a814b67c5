// The probe's checks, in the order the report lists them: one list gives
// each check its id, its group and name as the report shows them, and the
// host functions it needs.
#ifndef OSKA_PROBE_CHECKS_H
#define OSKA_PROBE_CHECKS_H

#include "host_link.h"
#include "probe_scene.h"

#include <iterator>

namespace oska::probe {

constexpr int kColorFieldCount = int(std::size(kColorFields));
constexpr int kLightFieldCount = int(std::size(kLightFields));

// ONE(id, group, name, needs) is a check; EACH(id, group, table) is a check
// per entry of `table` (the host interface's functions, a record's fields),
// named by the entry. `needs` lists the host functions without which the
// check cannot see what it looks for, first the one the report names when
// several are missing:
// - requests 7 and 24 to 125 ask about the light that request 7 answers
//   and mi_db_type confirms; the lights array's element is found the same
//   way and named through mi_api_tag_lookup, as is any field holding a tag;
// - the settings slot is checked through the block stored in it, and the
//   probe's record of live instances is made at init from the slot and the
//   block;
// - binding the light takes both edit functions.
#define OSKA_PROBE_CHECKS(ONE, EACH)                                                               \
    EACH(functions, "host functions", kHostFunctionNames)                                          \
    EACH(color_fields, "oskacolor record", kColorFields)                                           \
    ONE(attachment, "attachment", "attached parameter", (host_mi_phen_eval))                       \
    EACH(light_fields, "oskalight record", kLightFields)                                           \
    ONE(lights_start, "oskalight record", OSKA_PROBE_LIGHTS_NAME ": start", ())                    \
    ONE(lights_count, "oskalight record", OSKA_PROBE_LIGHTS_NAME ": count", ())                    \
    ONE(lights_element, "oskalight record", OSKA_PROBE_LIGHTS_NAME ": element",                    \
        (host_mi_query, host_mi_db_type, host_mi_api_tag_lookup))                                  \
    ONE(lights_layout, "oskalight record",                                                         \
        OSKA_PROBE_LIGHTS_NAME ": elements apart from attachment words", ())                       \
    ONE(slot_present, "settings slot", "present", (host_mi_query))                                 \
    ONE(slot_distinct, "settings slot", "distinct per instance",                                   \
        (host_mi_query, host_mi_mem_int_allocate))                                                 \
    ONE(slot_kept, "settings slot", "kept from init to exit",                                      \
        (host_mi_query, host_mi_mem_int_allocate))                                                 \
    ONE(query_instance_light, "queries", "request 7 (light of an instance)",                       \
        (host_mi_query, host_mi_db_type))                                                          \
    ONE(query_area, "queries", "request 24 (area kind)", (host_mi_query, host_mi_db_type))         \
    ONE(query_exponent, "queries", "request 25 (distance exponent)",                               \
        (host_mi_query, host_mi_db_type))                                                          \
    ONE(query_emit_divisor, "queries", "request 125 (emit divisor)", (host_mi_query))              \
    ONE(query_slot_size, "queries", "request 51 (settings slot)", (host_mi_query))                 \
    ONE(ray_kinds, "shading state", "ray kinds", ())                                               \
    ONE(light_instance, "shading state", "light instance", (host_mi_db_type))                      \
    ONE(distance, "shading state", "distance", ())                                                 \
    ONE(sample_state, "shading state", "sample state", ())                                         \
    ONE(emission_dot, "shading state", "emission dot product", ())                                 \
    ONE(parent_levels, "shading state", "parent levels", ())                                       \
    ONE(block_alignment, "allocator", "block alignment",                                           \
        (host_mi_query, host_mi_mem_int_allocate))                                                 \
    ONE(block_distinct, "allocator", "blocks distinct", (host_mi_query, host_mi_mem_int_allocate)) \
    ONE(edit_light, "scene edits", "light record",                                                 \
        (host_mi_scene_edit, host_mi_scene_edit_end, host_mi_query, host_mi_db_type))              \
    ONE(edit_instance, "scene edits", "instance record",                                           \
        (host_mi_scene_edit, host_mi_scene_edit_end, host_mi_query, host_mi_db_type))              \
    ONE(edit_kept, "scene edits", "edit kept",                                                     \
        (host_mi_scene_edit, host_mi_scene_edit_end, host_mi_query, host_mi_db_type))              \
    ONE(light_order, "lifecycle", "light bound before instance init",                              \
        (host_mi_query, host_mi_db_type, host_mi_scene_edit, host_mi_scene_edit_end))              \
    ONE(instances_ended, "lifecycle", "instances ended",                                           \
        (host_mi_query, host_mi_mem_int_allocate))                                                 \
    ONE(threads, "threads", "concurrent evaluations", ())

// A check's id; each table's entries follow its first id, one apiece.
enum CheckId : int {
#define OSKA_PROBE_ONE_ID(id, group, name, needs) check_##id,
#define OSKA_PROBE_EACH_ID(id, group, table)                                                       \
    check_##id, check_##id##_last = check_##id + int(std::size(table)) - 1,
    OSKA_PROBE_CHECKS(OSKA_PROBE_ONE_ID, OSKA_PROBE_EACH_ID)
#undef OSKA_PROBE_ONE_ID
#undef OSKA_PROBE_EACH_ID
        check_count
};

// Lines that inform and are no check: outside the verdict's counts.
constexpr bool is_information(CheckId check) { return check == check_threads; }

// The host functions a check needs, in the order the report names them.
struct Needs {
    static constexpr int kMost = 4;
    template <class... Functions>
    constexpr explicit Needs(Functions... functions)
        : function{functions...}, count(int(sizeof...(functions))) {}
    HostFunction function[kMost];
    int count;
};

// The group and name of a check, as the report shows them, and what it needs.
const char *group_of(CheckId check);
const char *name_of(CheckId check);
Needs needs_of(CheckId check);

} // namespace oska::probe

#endif
