// The table of checks and the host functions each one needs.
#include "needs.h"

#include "host_link.h"

namespace oska::probe {

namespace {

constexpr int kMostNeeds = 4;

struct Needs {
    CheckId check;
    const char *functions[kMostNeeds];
};

// Requests 7 and 24 to 125 ask about the light that request 7 answers and
// mi_db_type confirms; the lights array's element is found the same way and
// named through mi_api_tag_lookup; the settings slot is checked through the
// block stored in it; the probe's record of live instances is made at init
// from the slot and the block; binding the light takes both edit functions.
constexpr Needs kNeeds[] = {
    {check_attachment, {"mi_phen_eval"}},
    {check_lights_element, {"mi_query", "mi_db_type", "mi_api_tag_lookup"}},
    {check_slot_present, {"mi_query"}},
    {check_slot_distinct, {"mi_query", "mi_mem_int_allocate"}},
    {check_slot_kept, {"mi_query", "mi_mem_int_allocate"}},
    {check_query_instance_light, {"mi_query", "mi_db_type"}},
    {check_query_area, {"mi_query", "mi_db_type"}},
    {check_query_exponent, {"mi_query", "mi_db_type"}},
    {check_query_emit_divisor, {"mi_query"}},
    {check_query_slot_size, {"mi_query"}},
    {check_light_instance, {"mi_db_type"}},
    {check_block_alignment, {"mi_query", "mi_mem_int_allocate"}},
    {check_block_distinct, {"mi_query", "mi_mem_int_allocate"}},
    {check_edit_light, {"mi_scene_edit", "mi_scene_edit_end", "mi_query", "mi_db_type"}},
    {check_edit_instance, {"mi_scene_edit", "mi_scene_edit_end", "mi_query", "mi_db_type"}},
    {check_edit_kept, {"mi_scene_edit", "mi_scene_edit_end", "mi_query", "mi_db_type"}},
    {check_light_order, {"mi_query", "mi_db_type", "mi_scene_edit", "mi_scene_edit_end"}},
    {check_instances_ended, {"mi_query", "mi_mem_int_allocate"}},
};

// A field that holds a tag is checked by the name of the element it tags.
bool is_tag_field(CheckId check) {
    if (check >= check_color_fields && check < check_color_fields + kColorFieldCount) {
        return kColorFields[check - check_color_fields].type == FieldType::tag;
    }
    if (check >= check_light_fields && check < check_light_fields + kLightFieldCount) {
        return kLightFields[check - check_light_fields].type == FieldType::tag;
    }
    return false;
}

} // namespace

const char *unmet_need(CheckId check) {
    if (is_tag_field(check) && !has("mi_api_tag_lookup")) {
        return "mi_api_tag_lookup";
    }
    for (const Needs &needs : kNeeds) {
        if (needs.check != check) {
            continue;
        }
        for (const char *function : needs.functions) {
            if (function != nullptr && !has(function)) {
                return function;
            }
        }
    }
    return nullptr;
}

} // namespace oska::probe
