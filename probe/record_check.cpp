// Field-by-field checks of a parameter record against the probe scene.
#include "record_check.h"

#include "host_link.h"

#include <cstdio>
#include <cstring>

namespace oska::probe {

namespace {

int32_t word_at(const void *address) {
    int32_t word;
    std::memcpy(&word, address, sizeof word);
    return word;
}

int32_t bits_of(float value) {
    int32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

int width_of(int type) { return type == OSKA_PARAM_TYPE_COLOR ? 16 : 4; }

// The bytes a field's probe value has in the record. Booleans and tags have
// no single right pattern: nullptr.
bool expected_bytes(const FieldValue &field, unsigned char bytes[16]) {
    switch (field.type) {
    case OSKA_PARAM_TYPE_COLOR:
        std::memcpy(bytes, field.numbers, 16);
        return true;
    case OSKA_PARAM_TYPE_SCALAR:
        std::memcpy(bytes, field.numbers, 4);
        return true;
    case OSKA_PARAM_TYPE_INTEGER:
        std::memcpy(bytes, &field.integer, 4);
        return true;
    case OSKA_PARAM_TYPE_BOOLEAN:
    case OSKA_PARAM_TYPE_TAG:
        break;
    }
    return false;
}

// The probe field (of either record) whose value begins with the word
// `word`; nullptr when none does.
const char *owner_of(int32_t word) {
    auto search = [word](const FieldValue *fields, int count) -> const char * {
        for (int i = 0; i < count; ++i) {
            unsigned char bytes[16];
            if (expected_bytes(fields[i], bytes) && word_at(bytes) == word) {
                return fields[i].name;
            }
        }
        return nullptr;
    };
    const char *owner = search(kColorFields.data(), kColorFieldCount);
    return owner != nullptr ? owner : search(kLightFields.data(), kLightFieldCount);
}

bool matches(const FieldValue &field, const void *value) {
    unsigned char bytes[16];
    if (expected_bytes(field, bytes)) {
        return std::memcmp(bytes, value, std::size_t(width_of(field.type))) == 0;
    }
    const int32_t word = word_at(value);
    if (field.type == OSKA_PARAM_TYPE_BOOLEAN) {
        return (word != 0) == (field.integer != 0);
    }
    // A tag: an element the host names as the probe scene does.
    if (word == 0) {
        return false;
    }
    if (!has(host_mi_api_tag_lookup)) {
        return true; // that function's own line says what is missing
    }
    const char *name = tag_name(oska_tag(word));
    return name != nullptr && std::strcmp(name, field.name_of_tag) == 0;
}

// " (found at +N instead)" when the field's value lies elsewhere in the
// record, " (not found in the record)" when it does not.
void where_found(const FieldValue &field, const unsigned char *record, int record_size, char *text,
                 int size) {
    unsigned char bytes[16];
    if (!expected_bytes(field, bytes)) {
        text[0] = '\0';
        return;
    }
    const int width = width_of(field.type);
    for (int at = 0; at + width <= record_size; at += 4) {
        if (at != field.offset && std::memcmp(record + at, bytes, std::size_t(width)) == 0) {
            std::snprintf(text, std::size_t(size), "; its value is at +%d, %+d bytes off", at,
                          at - field.offset);
            return;
        }
    }
    std::snprintf(text, std::size_t(size), "; its value is nowhere in the record");
}

// The attachment offset of the state's shader; one too large to be the
// distance to a word beside the record is taken as 0, so that the probe
// reads nothing far away (the attachment check names it).
int32_t attachment_offset(const oska_state *state) {
    constexpr int32_t kFarthest = 1 << 20;
    const int32_t offset =
        state != nullptr && state->function != nullptr ? state->function->attach_offset : 0;
    return offset >= -kFarthest && offset <= kFarthest ? offset : 0;
}

} // namespace

void describe(int type, const void *value, char *text, int size) {
    const auto n = std::size_t(size);
    switch (type) {
    case OSKA_PARAM_TYPE_COLOR: {
        float c[4];
        std::memcpy(c, value, sizeof c);
        std::snprintf(text, n, "(%g, %g, %g, %g)", double(c[0]), double(c[1]), double(c[2]),
                      double(c[3]));
        return;
    }
    case OSKA_PARAM_TYPE_SCALAR: {
        float s;
        std::memcpy(&s, value, sizeof s);
        std::snprintf(text, n, "%g", double(s));
        return;
    }
    case OSKA_PARAM_TYPE_BOOLEAN:
        std::snprintf(text, n, "%s", word_at(value) != 0 ? "true" : "false");
        return;
    case OSKA_PARAM_TYPE_INTEGER:
        std::snprintf(text, n, "%d", int(word_at(value)));
        return;
    case OSKA_PARAM_TYPE_TAG: {
        const auto tag = oska_tag(word_at(value));
        const char *name = tag != 0 ? tag_name(tag) : nullptr;
        std::snprintf(text, n, "tag %u (%s)", unsigned(tag), name != nullptr ? name : "no name");
        return;
    }
    }
}

const void *parameter_value(oska_state *state, void *parameter, bool *attached) {
    *attached = false;
    const int32_t offset = attachment_offset(state);
    if (offset == 0 || word_at(static_cast<unsigned char *>(parameter) + offset) == 0) {
        return parameter;
    }
    *attached = true;
    return phen_eval(state, parameter);
}

void check_fields(const FieldValue *fields, int count, CheckId first, oska_state *state,
                  unsigned char *record, int record_size) {
    if (record == nullptr) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        const FieldValue &field = fields[i];
        const auto check = CheckId(first + i);
        bool attached = false;
        // A parameter read in place by its shader is checked in place.
        const bool in_place = (field.flags & OSKA_PARAM_IN_PLACE) != 0;
        const void *value = in_place ? record + field.offset
                                     : parameter_value(state, record + field.offset, &attached);
        if (attached && !has(host_mi_phen_eval)) {
            not_exercised(check, "attached, and it needs mi_phen_eval, which the host module "
                                 "does not export");
            continue;
        }
        if (value == nullptr) {
            fail(check, "attached, and mi_phen_eval answered no address");
            continue;
        }
        char seen[96];
        describe(field.type, value, seen, sizeof seen);
        if (matches(field, value)) {
            if (outcome(check) == Outcome::not_run) {
                pass(check, "%s at +%d%s", seen, field.offset, attached ? " (attached)" : "");
            }
            continue;
        }
        char wanted[96];
        unsigned char bytes[16];
        if (expected_bytes(field, bytes)) {
            describe(field.type, bytes, wanted, sizeof wanted);
        } else if (field.type == OSKA_PARAM_TYPE_BOOLEAN) {
            std::snprintf(wanted, sizeof wanted, "%s", field.integer != 0 ? "true" : "false");
        } else {
            std::snprintf(wanted, sizeof wanted, "a tag of %s", field.name_of_tag);
        }
        if (attached) {
            fail(check, "+%d is attached: mi_phen_eval's answer is %s, expected %s", field.offset,
                 seen, wanted);
            continue;
        }
        const char *owner = owner_of(word_at(value));
        char found[96];
        where_found(field, record, record_size, found, sizeof found);
        fail(check, "+%d holds %s%s%s%s, expected %s%s", field.offset, seen,
             owner != nullptr ? " (the value of " : "", owner != nullptr ? owner : "",
             owner != nullptr ? ")" : "", wanted, found);
    }
}

void check_attached_parameter(oska_state *state, unsigned char *record) {
    const int32_t given =
        state != nullptr && state->function != nullptr ? state->function->attach_offset : 0;
    if (given != attachment_offset(state)) {
        fail(check_attachment, "the attachment offset is %d: no record is that large", int(given));
        return;
    }
    const int32_t offset = given;
    if (offset == 0) {
        not_exercised(check_attachment, "the attachment offset is 0: no parameter attached");
        return;
    }
    bool wanted_attached = false;
    for (const FieldValue &field : kColorFields) {
        const int32_t word = word_at(record + field.offset + offset);
        if (word == 0) {
            continue;
        }
        if (field.offset != kAttachedOffset) {
            fail(check_attachment,
                 "%s is reported attached (word at +%d reads %d), but only %s is attached in "
                 "the probe scene",
                 field.name, field.offset + int(offset), int(word), kAttachedField);
            return;
        }
        wanted_attached = true;
    }
    if (!wanted_attached) {
        not_exercised(check_attachment,
                      "attachment offset %d; no parameter is attached (the probe scene attaches "
                      "%s where the host can)",
                      int(offset), kAttachedField);
        return;
    }
    const void *value = phen_eval(state, record + kAttachedOffset);
    if (value == nullptr) {
        fail(check_attachment, "%s is attached, but mi_phen_eval answered no address",
             kAttachedField);
        return;
    }
    float answered;
    std::memcpy(&answered, value, sizeof answered);
    if (bits_of(answered) != bits_of(kAttachedValue)) {
        fail(check_attachment, "mi_phen_eval answered %g for %s, expected %g", double(answered),
             kAttachedField, double(kAttachedValue));
        return;
    }
    pass(check_attachment,
         "attachment offset %d: %s attached, mi_phen_eval answers %g; every other parameter in "
         "place",
         int(offset), kAttachedField, double(answered));
}

} // namespace oska::probe
