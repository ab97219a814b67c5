// The probe scene: the value each parameter of the two records must arrive
// with, and what the host's answers about the probe light must be. A host
// that builds this scene (examples/probe.json, docs/probe.md) hands every
// field a value no other field has, so a value found at the wrong offset
// names the field that moved. Booleans can only be true or false: they
// alternate, and are checked for truth alone.
//
// Every number is a short binary fraction, so that it reaches the record
// exactly from a decimal scene file.
#ifndef OSKA_PROBE_SCENE_H
#define OSKA_PROBE_SCENE_H

#include <oska/host_api.h>

#include <iterator>

namespace oska::probe {

enum class FieldType {
    color = OSKA_PARAM_TYPE_COLOR,
    scalar = OSKA_PARAM_TYPE_SCALAR,
    boolean = OSKA_PARAM_TYPE_BOOLEAN,
    integer = OSKA_PARAM_TYPE_INTEGER,
    tag = OSKA_PARAM_TYPE_TAG
};

// One parameter of a record: its name, offset and flags (from the shader's
// parameter table), type and probe value. A tag is named: `name_of_tag` is
// the host's name of the element it must tag.
struct FieldValue {
    const char *name;
    int offset;
    unsigned flags; // OSKA_PARAM_...
    FieldType type;
    float numbers[4]; // colour, scalar
    int32_t integer;  // boolean, integer
    const char *name_of_tag;
};

// Names of the probe scene's elements.
constexpr const char *kLightName = "probe_light";
constexpr const char *kLampName = "probe_lamp";
constexpr const char *kTextureName = "probe_texture";

// What the host answers about the probe light and its instance.
constexpr float kLightExponent = 2.5f; // request 25
constexpr float kEmitDivisor = 1.25f;  // request 125

// The shaders' parameter tables, in record order.
constexpr oska_param_info kColorRows[] = {OSKACOLOR_PARAMS(OSKA_PARAM_INFO)};
constexpr oska_param_info kLightRows[] = {OSKALIGHT_PARAMS(OSKA_PARAM_INFO)};

// The row of `rows` with `flag`; `count` when none has it.
constexpr int row_with(const oska_param_info *rows, int count, unsigned flag) {
    int row = 0;
    while (row < count && (rows[row].flags & flag) == 0) {
        ++row;
    }
    return row;
}

// oskalight's array of light instances: its row, and its name as a string
// literal (stringified from the table's one TAG_ARRAY row), of which the
// report's lines about the array are made.
constexpr int kLightsRow =
    row_with(kLightRows, int(std::size(kLightRows)), OSKA_PARAM_BOUND_LIGHTS);
static_assert(kLightRows[kLightsRow].array == 1);
#define OSKA_PROBE_ARRAY_ROW(name, TYPE, ...) OSKA_PROBE_ARRAY_NAME_##TYPE(name)
#define OSKA_PROBE_ARRAY_NAME_COLOR(name)
#define OSKA_PROBE_ARRAY_NAME_SCALAR(name)
#define OSKA_PROBE_ARRAY_NAME_BOOLEAN(name)
#define OSKA_PROBE_ARRAY_NAME_INTEGER(name)
#define OSKA_PROBE_ARRAY_NAME_TAG(name)
#define OSKA_PROBE_ARRAY_NAME_TAG_ARRAY(name) #name
#define OSKA_PROBE_LIGHTS_NAME OSKALIGHT_PARAMS(OSKA_PROBE_ARRAY_ROW)

// The parameter the host attaches to another shader, when it can (the
// eighteenth of oskacolor, a scalar read at every evaluation), and the value
// that shader yields through mi_phen_eval.
constexpr int kAttachedRow = 17;
constexpr const char *kAttachedField = kColorRows[kAttachedRow].name;
constexpr int kAttachedOffset = kColorRows[kAttachedRow].offset;
constexpr float kAttachedValue = 0.59375f;
static_assert(kColorRows[kAttachedRow].type == OSKA_PARAM_TYPE_SCALAR);

// The colour every probe evaluation returns: the base colour at its
// intensity, so that a probe render is a picture of the scene's light.
constexpr oska_color kProbeColor = {0.8125f * 1.5f, 0.5625f * 1.5f, 0.3125f * 1.5f, 1.5f};

#define OSKA_PROBE_ROW(rows, i) rows[i].name, rows[i].offset, rows[i].flags
#define OSKA_PROBE_COLOR(r, g, b, a) FieldType::color, {r, g, b, a}, 0, nullptr
#define OSKA_PROBE_SCALAR(v) FieldType::scalar, {v, 0, 0, 0}, 0, nullptr
#define OSKA_PROBE_BOOLEAN(v) FieldType::boolean, {0, 0, 0, 0}, v, nullptr
#define OSKA_PROBE_INTEGER(v) FieldType::integer, {0, 0, 0, 0}, v, nullptr
#define OSKA_PROBE_TAG(name) FieldType::tag, {0, 0, 0, 0}, 0, name

constexpr FieldValue kColorFields[] = {
    {OSKA_PROBE_ROW(kColorRows, 0), OSKA_PROBE_COLOR(0.8125f, 0.5625f, 0.3125f, 1.5f)},
    {OSKA_PROBE_ROW(kColorRows, 1), OSKA_PROBE_BOOLEAN(1)},
    {OSKA_PROBE_ROW(kColorRows, 2), OSKA_PROBE_COLOR(0.1875f, 0.4375f, 0.6875f, 0.9375f)},
    {OSKA_PROBE_ROW(kColorRows, 3), OSKA_PROBE_INTEGER(7)},
    {OSKA_PROBE_ROW(kColorRows, 4), OSKA_PROBE_SCALAR(2.75f)},
    {OSKA_PROBE_ROW(kColorRows, 5), OSKA_PROBE_SCALAR(96.5f)},
    {OSKA_PROBE_ROW(kColorRows, 6), OSKA_PROBE_TAG(kTextureName)},
    {OSKA_PROBE_ROW(kColorRows, 7), OSKA_PROBE_BOOLEAN(0)},
    {OSKA_PROBE_ROW(kColorRows, 8), OSKA_PROBE_BOOLEAN(1)},
    {OSKA_PROBE_ROW(kColorRows, 9), OSKA_PROBE_SCALAR(0.40625f)},
    {OSKA_PROBE_ROW(kColorRows, 10), OSKA_PROBE_BOOLEAN(0)},
    {OSKA_PROBE_ROW(kColorRows, 11), OSKA_PROBE_SCALAR(3.25f)},
    {OSKA_PROBE_ROW(kColorRows, 12), OSKA_PROBE_SCALAR(0.15625f)},
    {OSKA_PROBE_ROW(kColorRows, 13), OSKA_PROBE_SCALAR(5.5f)},
    {OSKA_PROBE_ROW(kColorRows, 14), OSKA_PROBE_BOOLEAN(1)},
    {OSKA_PROBE_ROW(kColorRows, 15), OSKA_PROBE_SCALAR(0.21875f)},
    {OSKA_PROBE_ROW(kColorRows, 16), OSKA_PROBE_SCALAR(-0.34375f)},
    {OSKA_PROBE_ROW(kColorRows, 17), OSKA_PROBE_SCALAR(kAttachedValue)},
    {OSKA_PROBE_ROW(kColorRows, 18), OSKA_PROBE_BOOLEAN(0)},
    {OSKA_PROBE_ROW(kColorRows, 19), OSKA_PROBE_SCALAR(1.75f)},
    {OSKA_PROBE_ROW(kColorRows, 20), OSKA_PROBE_BOOLEAN(1)},
    {OSKA_PROBE_ROW(kColorRows, 21), OSKA_PROBE_BOOLEAN(0)},
    {OSKA_PROBE_ROW(kColorRows, 22), OSKA_PROBE_BOOLEAN(1)},
    {OSKA_PROBE_ROW(kColorRows, 23), OSKA_PROBE_BOOLEAN(0)},
    {OSKA_PROBE_ROW(kColorRows, 24), OSKA_PROBE_SCALAR(-0.65625f)},
    {OSKA_PROBE_ROW(kColorRows, 25), OSKA_PROBE_SCALAR(0.03125f)},
    {OSKA_PROBE_ROW(kColorRows, 26), OSKA_PROBE_INTEGER(11)},
    {OSKA_PROBE_ROW(kColorRows, 27), OSKA_PROBE_BOOLEAN(1)},
    {OSKA_PROBE_ROW(kColorRows, 28), OSKA_PROBE_INTEGER(13)},
    {OSKA_PROBE_ROW(kColorRows, 29), OSKA_PROBE_BOOLEAN(0)},
    {OSKA_PROBE_ROW(kColorRows, 30), OSKA_PROBE_INTEGER(17)},
    {OSKA_PROBE_ROW(kColorRows, 31), OSKA_PROBE_BOOLEAN(1)},
    {OSKA_PROBE_ROW(kColorRows, 32), OSKA_PROBE_INTEGER(19)},
    {OSKA_PROBE_ROW(kColorRows, 33), OSKA_PROBE_BOOLEAN(0)},
    {OSKA_PROBE_ROW(kColorRows, 34), OSKA_PROBE_INTEGER(23)},
};

// oskalight's fixed part, but for its array (three slots of its own,
// checked on their own; the fourth row): one element, the probe light's
// instance.
constexpr FieldValue kLightFields[] = {
    {OSKA_PROBE_ROW(kLightRows, 0), OSKA_PROBE_INTEGER(29)},
    {OSKA_PROBE_ROW(kLightRows, 1), OSKA_PROBE_BOOLEAN(1)},
    {OSKA_PROBE_ROW(kLightRows, 2), OSKA_PROBE_TAG(kLampName)},
    {OSKA_PROBE_ROW(kLightRows, 4), OSKA_PROBE_BOOLEAN(0)},
    {OSKA_PROBE_ROW(kLightRows, 5), OSKA_PROBE_INTEGER(31)},
    {OSKA_PROBE_ROW(kLightRows, 6), OSKA_PROBE_INTEGER(37)},
    {OSKA_PROBE_ROW(kLightRows, 7), OSKA_PROBE_INTEGER(41)},
    {OSKA_PROBE_ROW(kLightRows, 8), OSKA_PROBE_INTEGER(43)},
    {OSKA_PROBE_ROW(kLightRows, 9), OSKA_PROBE_INTEGER(47)},
    {OSKA_PROBE_ROW(kLightRows, 10), OSKA_PROBE_INTEGER(53)},
    {OSKA_PROBE_ROW(kLightRows, 11), OSKA_PROBE_BOOLEAN(0)},
};
constexpr int kLightsCount = 1;

// Each field's value has its row's type, and every row but the array's has
// a field, in table order.
constexpr bool same_types(const FieldValue *fields, int count, const oska_param_info *rows,
                          int row_count) {
    int row = 0;
    for (int i = 0; i < count; ++i, ++row) {
        while (row < row_count && rows[row].array) {
            ++row;
        }
        if (row == row_count || rows[row].offset != fields[i].offset ||
            rows[row].type != static_cast<int>(fields[i].type)) {
            return false;
        }
    }
    return row == row_count || (row == row_count - 1 && rows[row].array);
}
static_assert(same_types(kColorFields, int(std::size(kColorFields)), kColorRows,
                         int(std::size(kColorRows))),
              "kColorFields differs from oskacolor's parameter table");
static_assert(same_types(kLightFields, int(std::size(kLightFields)), kLightRows,
                         int(std::size(kLightRows))),
              "kLightFields differs from oskalight's parameter table");

#undef OSKA_PROBE_ROW
#undef OSKA_PROBE_COLOR
#undef OSKA_PROBE_SCALAR
#undef OSKA_PROBE_BOOLEAN
#undef OSKA_PROBE_INTEGER
#undef OSKA_PROBE_TAG

} // namespace oska::probe

#endif
