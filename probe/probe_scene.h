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

namespace oska::probe {

enum class FieldType { color, scalar, boolean, integer, tag };

// One parameter of a record: its name, offset, type and probe value. A tag
// is named: `name_of_tag` is the host's name of the element it must tag.
struct FieldValue {
    const char *name;
    int offset;
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

// The parameter the host attaches to another shader, when it can, and the
// value that shader yields through mi_phen_eval.
constexpr const char *kAttachedField = "value";
constexpr int kAttachedOffset = 92;
constexpr float kAttachedValue = 0.59375f;

// The colour every probe evaluation returns: the base colour at its
// intensity, so that a probe render is a picture of the scene's light.
constexpr oska_color kProbeColor = {0.8125f * 1.5f, 0.5625f * 1.5f, 0.3125f * 1.5f, 1.5f};

#define OSKA_PROBE_COLOR(r, g, b, a) FieldType::color, {r, g, b, a}, 0, nullptr
#define OSKA_PROBE_SCALAR(v) FieldType::scalar, {v, 0, 0, 0}, 0, nullptr
#define OSKA_PROBE_BOOLEAN(v) FieldType::boolean, {0, 0, 0, 0}, v, nullptr
#define OSKA_PROBE_INTEGER(v) FieldType::integer, {0, 0, 0, 0}, v, nullptr
#define OSKA_PROBE_TAG(name) FieldType::tag, {0, 0, 0, 0}, 0, name

constexpr FieldValue kColorFields[] = {
    {"color", 0, OSKA_PROBE_COLOR(0.8125f, 0.5625f, 0.3125f, 1.5f)},
    {"shadows", 16, OSKA_PROBE_BOOLEAN(1)},
    {"shadow_color", 20, OSKA_PROBE_COLOR(0.1875f, 0.4375f, 0.6875f, 0.9375f)},
    {"decay", 36, OSKA_PROBE_INTEGER(7)},
    {"decay_start", 40, OSKA_PROBE_SCALAR(2.75f)},
    {"decay_end", 44, OSKA_PROBE_SCALAR(96.5f)},
    {"texture", 48, OSKA_PROBE_TAG(kTextureName)},
    {"use_texture", 52, OSKA_PROBE_BOOLEAN(0)},
    {"use_alpha", 56, OSKA_PROBE_BOOLEAN(1)},
    {"alpha_scale", 60, OSKA_PROBE_SCALAR(0.40625f)},
    {"burn", 64, OSKA_PROBE_BOOLEAN(0)},
    {"burn_multiplier", 68, OSKA_PROBE_SCALAR(3.25f)},
    {"burn_threshold", 72, OSKA_PROBE_SCALAR(0.15625f)},
    {"burn_power", 76, OSKA_PROBE_SCALAR(5.5f)},
    {"hsv_adjust", 80, OSKA_PROBE_BOOLEAN(1)},
    {"hue", 84, OSKA_PROBE_SCALAR(0.21875f)},
    {"saturation", 88, OSKA_PROBE_SCALAR(-0.34375f)},
    {"value", 92, OSKA_PROBE_SCALAR(kAttachedValue)},
    {"texture_range", 96, OSKA_PROBE_BOOLEAN(0)},
    {"range_gamma", 100, OSKA_PROBE_SCALAR(1.75f)},
    {"tint_shadow", 104, OSKA_PROBE_BOOLEAN(1)},
    {"use_vertex_color", 108, OSKA_PROBE_BOOLEAN(0)},
    {"directional", 112, OSKA_PROBE_BOOLEAN(1)},
    {"cosine", 116, OSKA_PROBE_BOOLEAN(0)},
    {"cutoff", 120, OSKA_PROBE_SCALAR(-0.65625f)},
    {"threshold", 124, OSKA_PROBE_SCALAR(0.03125f)},
    {"max_level", 128, OSKA_PROBE_INTEGER(11)},
    {"vc_color", 132, OSKA_PROBE_BOOLEAN(1)},
    {"vc_color_channel", 136, OSKA_PROBE_INTEGER(13)},
    {"vc_intensity", 140, OSKA_PROBE_BOOLEAN(0)},
    {"vc_intensity_channel", 144, OSKA_PROBE_INTEGER(17)},
    {"vc_range", 148, OSKA_PROBE_BOOLEAN(1)},
    {"vc_range_channel", 152, OSKA_PROBE_INTEGER(19)},
    {"vc_shadow", 156, OSKA_PROBE_BOOLEAN(0)},
    {"vc_shadow_channel", 160, OSKA_PROBE_INTEGER(23)},
};

// oskalight's fixed part, but for the array `lights` (three slots of its
// own, checked on their own): one element, the probe light's instance.
constexpr FieldValue kLightFields[] = {
    {"reserved", 0, OSKA_PROBE_INTEGER(29)},
    {"enable", 4, OSKA_PROBE_BOOLEAN(1)},
    {"instance", 8, OSKA_PROBE_TAG(kLampName)},
    {"override_samples", 24, OSKA_PROBE_BOOLEAN(0)},
    {"samples_1", 28, OSKA_PROBE_INTEGER(31)},
    {"samples_2", 32, OSKA_PROBE_INTEGER(37)},
    {"samples_3", 36, OSKA_PROBE_INTEGER(41)},
    {"samples_4", 40, OSKA_PROBE_INTEGER(43)},
    {"samples_5", 44, OSKA_PROBE_INTEGER(47)},
    {"extra_value", 48, OSKA_PROBE_INTEGER(53)},
    {"set_instance_flags", 52, OSKA_PROBE_BOOLEAN(0)},
};
constexpr int kLightsCount = 1;

#undef OSKA_PROBE_COLOR
#undef OSKA_PROBE_SCALAR
#undef OSKA_PROBE_BOOLEAN
#undef OSKA_PROBE_INTEGER
#undef OSKA_PROBE_TAG

} // namespace oska::probe

#endif
