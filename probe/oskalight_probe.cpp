// The probe's oskalight: checks the record of the scene-editing call, then
// binds the light to the instance as oskalight does (area kind, emitting
// instance; sample counts and flag bytes when asked), checking that each
// record it opens is there and stays writable until its edit ends.
#include "host_link.h"
#include "record_check.h"
#include "report.h"
#include "shaders.h"

#include <cstdint>
#include <cstring>

namespace oska::probe {

namespace {

// The array's start index, count and element slot, one word apiece.
constexpr int kLightsStartOffset = kLightRows[kLightsRow].offset;
constexpr int kLightsCountOffset = kLightsStartOffset + 4;
constexpr int kLightsSlotOffset = kLightsStartOffset + 8;
// A start index beyond this is taken for garbage, not for an array.
constexpr int32_t kMostElements = 1 << 20;

// A host's answer, read from room enough for a host that writes more than
// the value: request 7's own line in the report says whether it does.
int32_t ask_word(int request, oska_state *state, oska_tag tag) {
    uint32_t room[4] = {};
    query(request, state, tag, room);
    int32_t word;
    std::memcpy(&word, room, sizeof word);
    return word;
}

int32_t read_word(oska_state *state, unsigned char *record, int offset) {
    bool attached = false;
    const void *value = parameter_value(state, record + offset, &attached);
    int32_t word = 0;
    if (value != nullptr) {
        std::memcpy(&word, value, sizeof word);
    }
    return word;
}

// The names the host gives the element and its light match the probe
// scene's; the report shows the names the host gave.
void check_element(oska_tag element, oska_tag light) {
    const char *element_name = tag_name(element);
    const char *light_name = tag_name(light);
    const char *element_shown = element_name != nullptr ? element_name : "no name";
    const char *light_shown = light_name != nullptr ? light_name : "no name";
    if (element_name == nullptr || std::strcmp(element_name, kLightName) != 0) {
        fail(check_lights_element, "element %u is named %s, expected %s", unsigned(element),
             element_shown, kLightName);
    } else if (light_name == nullptr || std::strcmp(light_name, kLightName) != 0) {
        fail(check_lights_element,
             "element %u (%s) is an instance of light %u named %s, "
             "expected a light named %s",
             unsigned(element), element_shown, unsigned(light), light_shown, kLightName);
    } else {
        pass(check_lights_element, "instance %u (%s) of light %u (%s)", unsigned(element),
             element_shown, unsigned(light), light_shown);
    }
}

// The parameter of the fixed part at `at` - `attach`: with the attachment
// offset, the one whose attachment word lies at `at`; with 0, the one at
// `at` itself. nullptr when none.
const char *word_owner(int at, int32_t attach) {
    for (const FieldValue &field : kLightFields) {
        if (at == field.offset + attach) {
            return field.name;
        }
    }
    for (int slot = kLightsStartOffset; slot <= kLightsSlotOffset; slot += 4) {
        if (at == slot + attach) {
            return kLightRows[kLightsRow].name;
        }
    }
    return nullptr;
}

// The array's elements, when they lie in the record's storage, share no
// word with a parameter of the fixed part (but for the element slot) nor
// with an attachment word.
void check_layout(const oska_state *state, int32_t start, int32_t count) {
    const int32_t attach =
        state != nullptr && state->function != nullptr ? state->function->attach_offset : 0;
    const int record_size = int(sizeof(oskalight_params));
    for (int32_t i = 0; i < count && i < kMostElements; ++i) {
        const int at = kLightsSlotOffset + 4 * int(start + i);
        if (at != kLightsSlotOffset && at < record_size) {
            const char *owner = word_owner(at, 0);
            fail(check_lights_layout, "the element at +%d lies on %s, a parameter of the record",
                 at, owner != nullptr ? owner : "another parameter");
            return;
        }
        if (attach > 0 && at >= attach && at < attach + record_size) {
            const char *owner = word_owner(at, attach);
            fail(check_lights_layout,
                 "the element at +%d lies on the attachment word of %s (+%d + attachment offset "
                 "%d): with elements past the record, the attachment words go past the last "
                 "element",
                 at, owner != nullptr ? owner : "a parameter", at - int(attach), int(attach));
            return;
        }
    }
    pass(check_lights_layout, "attachment offset %d; %d %s from +%d", int(attach), int(count),
         count == 1 ? "element" : "elements", kLightsSlotOffset + 4 * int(start));
}

// The light instance that the array's element names, checked; 0 when the
// array does not hold an instance of a light.
oska_tag check_lights(oska_state *state, unsigned char *record) {
    const int32_t start = read_word(state, record, kLightsStartOffset);
    const int32_t count = read_word(state, record, kLightsCountOffset);
    if (count != kLightsCount) {
        fail(check_lights_count, "+%d holds %d, expected %d", kLightsCountOffset, int(count),
             kLightsCount);
    } else {
        pass(check_lights_count, "%d at +%d", int(count), kLightsCountOffset);
    }
    if (start < 0 || start > kMostElements) {
        fail(check_lights_start, "+%d holds %d: the element would lie %s the element slot",
             kLightsStartOffset, int(start), start < 0 ? "before" : "far past");
        not_exercised(check_lights_layout, "no element to place");
        return 0;
    }
    pass(check_lights_start, "%d at +%d: the element at +%d", int(start), kLightsStartOffset,
         kLightsSlotOffset + 4 * int(start));
    if (count < 1) {
        not_exercised(check_lights_layout, "no element to place");
        return 0;
    }
    bool attached = false;
    const auto *slot = static_cast<const unsigned char *>(
        parameter_value(state, record + kLightsSlotOffset, &attached));
    if (slot == nullptr) {
        fail(check_lights_element, "attached, and mi_phen_eval answered no address");
        return 0;
    }
    if (attached) {
        not_exercised(check_lights_layout, "the array is attached: its elements lie where "
                                           "mi_phen_eval answers");
    } else {
        check_layout(state, start, count);
    }
    oska_tag element = 0;
    std::memcpy(&element, slot + 4 * std::size_t(start), sizeof element);
    const auto light = oska_tag(ask_word(OSKA_QUERY_INSTANCE_LIGHT, nullptr, element));
    if (element == 0 || light == 0 || db_type(light) != OSKA_TYPE_LIGHT) {
        fail(check_lights_element, "element %u is not an instance of a light", unsigned(element));
        return 0;
    }
    check_element(element, light);
    note_light_instance_in_lights(element);
    return element;
}

// Stores `bytes` in the record `record` of element `tag`, makes a call into
// the host as a shader would between its edits, and checks that the record
// still holds what was stored; then ends the edit.
void edit_and_check(CheckId check, const char *what, oska_tag tag, unsigned char *record,
                    int offset, const void *bytes, int size) {
    std::memcpy(record + offset, bytes, std::size_t(size));
    const int type = db_type(tag); // any host call while the edit is open
    if (std::memcmp(record + offset, bytes, std::size_t(size)) != 0) {
        int32_t now = 0;
        std::memcpy(&now, record + offset, sizeof now);
        fail(check,
             "the %s record of %u changed before mi_scene_edit_end: +%d reads 0x%08x after a "
             "call of mi_db_type",
             what, unsigned(tag), offset, unsigned(now));
    } else {
        pass(check, "record returned and writable until mi_scene_edit_end (type %d)", type);
    }
    scene_edit_end(tag);
}

void bind(oska_state *state, unsigned char *record, oska_tag light_instance, oska_tag instance) {
    const auto light = oska_tag(ask_word(OSKA_QUERY_INSTANCE_LIGHT, nullptr, light_instance));

    // 1. The light: an object light emitting from the instance.
    auto *light_record = static_cast<unsigned char *>(scene_edit(light));
    if (light_record == nullptr) {
        fail(check_edit_light, "mi_scene_edit answered no record for light %u", unsigned(light));
        scene_edit_end(light);
    } else {
        note_light_bound(light);
        oska_light bound;
        std::memcpy(&bound, light_record, sizeof bound);
        bound.area_kind = OSKA_AREA_OBJECT;
        bound.object_instance = instance;
        if (read_word(state, record, 24) != 0) {
            // Sample counts as oskalight stores them: the third parameter
            // goes to the fifth count.
            const int order[5] = {28, 32, 40, 44, 36};
            for (int i = 0; i < 5; ++i) {
                bound.samples[i] = uint16_t(read_word(state, record, order[i]));
            }
            bound.extra = read_word(state, record, 48);
        }
        edit_and_check(check_edit_light, "light", light, light_record, 0, &bound, sizeof bound);

        const int32_t area = ask_word(OSKA_QUERY_LIGHT_AREA, state, light);
        if (area != OSKA_AREA_OBJECT) {
            fail(check_edit_kept, "after the edit, request 24 answers area kind %d for light %u",
                 int(area), unsigned(light));
        } else {
            pass(check_edit_kept, "light %u is an object light after the edit", unsigned(light));
        }
    }

    // 2. The instance: its flag bytes, when asked (read in place).
    auto *instance_record = static_cast<unsigned char *>(scene_edit(instance));
    if (instance_record == nullptr) {
        fail(check_edit_instance, "mi_scene_edit answered no record for instance %u",
             unsigned(instance));
        scene_edit_end(instance);
        return;
    }
    oska_instance edited;
    std::memcpy(&edited, instance_record, sizeof edited);
    int32_t set_flags = 0;
    std::memcpy(&set_flags, record + 52, sizeof set_flags);
    if (set_flags != 0) {
        const unsigned char flags[8] = {1, 4, 4, 4, 3, 16, 16, 16};
        std::memcpy(edited.flags, flags, sizeof flags);
    }
    edit_and_check(check_edit_instance, "instance", instance, instance_record, 0, &edited,
                   sizeof edited);
}

} // namespace

} // namespace oska::probe

using namespace oska::probe;

extern "C" {

OSKA_LIBRARY_API int OSKA_CALL oskalight_version(void) { return 1; }

OSKA_LIBRARY_API void OSKA_CALL oskalight_init(oska_state *, oskalight_params *params,
                                               oska_boolean *init_req) {
    flush_pending_messages();
    if (params == nullptr && init_req != nullptr) {
        *init_req = 0;
    }
}

OSKA_LIBRARY_API oska_boolean OSKA_CALL oskalight(void *, oska_state *state,
                                                  oskalight_params *params) {
    flush_pending_messages();
    if (params == nullptr) {
        return 1;
    }
    auto *record = reinterpret_cast<unsigned char *>(params);
    check_fields(kLightFields.data(), kLightFieldCount, check_light_fields, state, record,
                 int(sizeof(oskalight_params)));
    const oska_tag light_instance = check_lights(state, record);
    const int32_t enable = read_word(state, record, 4);
    const auto instance = oska_tag(read_word(state, record, 8));
    if (enable == 0 || light_instance == 0 || instance == 0 ||
        db_type(instance) != OSKA_TYPE_INSTANCE) {
        not_exercised(check_edit_light, "nothing to bind: the record does not name the probe "
                                        "light and an instance");
        not_exercised(check_edit_instance, "nothing to bind");
        not_exercised(check_edit_kept, "nothing to bind");
        return 1;
    }
    bind(state, record, light_instance, instance);
    return 1;
}

OSKA_LIBRARY_API void OSKA_CALL oskalight_exit(oska_state *, oskalight_params *params) {
    if (params == nullptr) {
        write_report();
    }
}

} // extern "C"
