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

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace oska::probe {

// One parameter of a record: its name, offset and flags (from the shader's
// parameter table), type and probe value. A tag is named: `name_of_tag` is
// the host's name of the element it must tag.
struct FieldValue {
    const char *name;
    int offset;
    unsigned flags;   // OSKA_PARAM_...
    int type;         // OSKA_PARAM_TYPE_...
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

// The row of `rows` with `role` (OSKA_ROLE_...); `count` when none has it.
constexpr int row_with(const oska_param_info *rows, int count, int role) {
    int row = 0;
    while (row < count && rows[row].role != role) {
        ++row;
    }
    return row;
}

// oskalight's array of light instances: its row, and its name as a string
// literal (stringified from the table's one TAG_ARRAY row), of which the
// report's lines about the array are made.
constexpr int kLightsRow = row_with(kLightRows, int(std::size(kLightRows)), OSKA_ROLE_BOUND_LIGHTS);
static_assert(kLightRows[kLightsRow].array == 1);
#define OSKA_PROBE_ARRAY_ROW(name, TYPE, ...) OSKA_PROBE_ARRAY_NAME_##TYPE(name)
#define OSKA_PROBE_ARRAY_NAME_COLOR(name)
#define OSKA_PROBE_ARRAY_NAME_SCALAR(name)
#define OSKA_PROBE_ARRAY_NAME_BOOLEAN(name)
#define OSKA_PROBE_ARRAY_NAME_INTEGER(name)
#define OSKA_PROBE_ARRAY_NAME_TAG(name)
#define OSKA_PROBE_ARRAY_NAME_TAG_ARRAY(name) #name
#define OSKA_PROBE_LIGHTS_NAME OSKALIGHT_PARAMS(OSKA_PROBE_ARRAY_ROW)

// The parameter the host attaches to another shader, when it can (the HSV
// value factor of oskacolor, a scalar read at every evaluation), and the
// value that shader yields through mi_phen_eval.
constexpr int kAttachedRow = row_with(kColorRows, int(std::size(kColorRows)), OSKA_ROLE_VALUE);
constexpr const char *kAttachedField = kColorRows[kAttachedRow].name;
constexpr int kAttachedOffset = kColorRows[kAttachedRow].offset;
constexpr float kAttachedValue = 0.59375f;
static_assert(kColorRows[kAttachedRow].type == OSKA_PARAM_TYPE_SCALAR);

// The colour every probe evaluation returns: the base colour at its
// intensity, so that a probe render is a picture of the scene's light.
constexpr oska_color kProbeColor = {0.8125f * 1.5f, 0.5625f * 1.5f, 0.3125f * 1.5f, 1.5f};

// The probe values of a record, a list per type, each in table order: the
// table's rows take them in turn, so that a row's type is said once. A list
// may hold more values than the table has rows of its type: a parameter
// added at the end of a record takes the next one, and the values of the
// others stay as they are.
template <std::size_t Colors, std::size_t Scalars, std::size_t Integers, std::size_t Booleans,
          std::size_t Tags>
struct ProbeValues {
    std::array<oska_color, Colors> colors;
    std::array<float, Scalars> scalars;
    std::array<int32_t, Integers> integers;
    std::array<int32_t, Booleans> booleans;
    std::array<const char *, Tags> tags; // names of the elements to tag
};

// The fields of every row but the array's.
template <std::size_t R> constexpr std::size_t field_count(const oska_param_info (&rows)[R]) {
    std::size_t count = 0;
    for (const oska_param_info &row : rows) {
        count += row.array ? 0 : 1;
    }
    return count;
}

// Whether the lists hold a value for each row of their type.
template <std::size_t R, std::size_t C, std::size_t S, std::size_t I, std::size_t B, std::size_t T>
constexpr bool fits(const oska_param_info (&rows)[R], const ProbeValues<C, S, I, B, T> &) {
    std::size_t rows_of[5] = {}; // by OSKA_PARAM_TYPE_
    for (const oska_param_info &row : rows) {
        rows_of[row.type] += row.array ? 0 : 1;
    }
    return rows_of[OSKA_PARAM_TYPE_COLOR] <= C && rows_of[OSKA_PARAM_TYPE_SCALAR] <= S &&
           rows_of[OSKA_PARAM_TYPE_INTEGER] <= I && rows_of[OSKA_PARAM_TYPE_BOOLEAN] <= B &&
           rows_of[OSKA_PARAM_TYPE_TAG] <= T;
}

// The rows of a table but its array's, in order, each with its value.
template <std::size_t N, std::size_t R, std::size_t C, std::size_t S, std::size_t I, std::size_t B,
          std::size_t T>
constexpr std::array<FieldValue, N> fields_of(const oska_param_info (&rows)[R],
                                              const ProbeValues<C, S, I, B, T> &values) {
    std::array<FieldValue, N> fields{};
    std::size_t taken[5] = {}; // of each list, by OSKA_PARAM_TYPE_
    std::size_t field = 0;
    for (const oska_param_info &row : rows) {
        if (row.array) {
            continue;
        }
        FieldValue &f = fields[field++];
        f = {row.name, row.offset, row.flags, row.type, {}, 0, nullptr};
        std::size_t &next = taken[row.type];
        switch (row.type) {
        case OSKA_PARAM_TYPE_COLOR: {
            const oska_color &c = values.colors[next++];
            f.numbers[0] = c.r;
            f.numbers[1] = c.g;
            f.numbers[2] = c.b;
            f.numbers[3] = c.a;
            break;
        }
        case OSKA_PARAM_TYPE_SCALAR:
            f.numbers[0] = values.scalars[next++];
            break;
        case OSKA_PARAM_TYPE_INTEGER:
            f.integer = values.integers[next++];
            break;
        case OSKA_PARAM_TYPE_BOOLEAN:
            f.integer = values.booleans[next++];
            break;
        default:
            f.name_of_tag = values.tags[next++];
            break;
        }
    }
    return fields;
}

// Booleans alternate; integers are primes, in turn through both records
// (oskacolor's spare ones after oskalight's). The last values of each list
// are spares for parameters to come.
constexpr ProbeValues<3, 16, 10, 18, 1> kColorValues = {
    {{{0.8125f, 0.5625f, 0.3125f, 1.5f},
      {0.1875f, 0.4375f, 0.6875f, 0.9375f},
      {0.28125f, 0.53125f, 0.78125f, 1.03125f}}},
    {2.75f, 96.5f, 0.40625f, 3.25f, 0.15625f, 5.5f, 0.21875f, -0.34375f, kAttachedValue, 1.75f,
     -0.65625f, 0.03125f, 0.46875f, -1.875f, 6.125f, 0.09375f},
    {7, 11, 13, 17, 19, 23, 59, 61, 67, 71},
    {1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0},
    {kTextureName}};
static_assert(fits(kColorRows, kColorValues), "a value for each of oskacolor's parameters");
constexpr auto kColorFields = fields_of<field_count(kColorRows)>(kColorRows, kColorValues);

// oskalight's fixed part, but for its array (three slots of its own,
// checked on their own): one element, the probe light's instance.
constexpr ProbeValues<0, 0, 10, 5, 1> kLightValues = {
    {}, {}, {29, 31, 37, 41, 43, 47, 53, 73, 79, 83}, {1, 0, 0, 1, 0}, {kLampName}};
static_assert(fits(kLightRows, kLightValues), "a value for each of oskalight's parameters");
constexpr auto kLightFields = fields_of<field_count(kLightRows)>(kLightRows, kLightValues);
constexpr int kLightsCount = 1;

} // namespace oska::probe

#endif
