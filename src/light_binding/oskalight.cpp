// oskalight: turns a light into an object light bound to an object instance,
// by editing both in the host's scene database.
//
// Parameters (oskalight_params), read during the call, never at init:
//   name                type       read               what it does
//   reserved            integer    never
//   enable              boolean    first              false: the call does nothing
//   instance            tag        second             instance whose surface the light
//                                                     emits from; its flag bytes are set
//   lights              array tag  unless disabled    light instances; only the element
//                                                     at the start index is bound
//   override_samples    boolean    light bound        write the counts and extra_value
//   samples_1 .. _5     integer    overriding         sample counts 1, 2, 5, 3, 4 (low
//                                                     16 bits)
//   extra_value         integer    overriding         the light's 32-bit field after the
//                                                     counts
//   set_instance_flags  boolean    instance edited    set the instance flag bytes; read in
//                                                     place, never evaluated when attached
//
// Every call returns 1 and leaves the result alone; what cannot be edited is
// reported with mi_warning, what is edited is named with mi_info.
#include "binding/binding.h"

#include <cstring>

namespace {

using oska::param_address;
using oska::read_param;

constexpr unsigned char kInstanceFlags[8] = {1, 4, 4, 4, 3, 16, 16, 16};

// Shown when the host has no name for the instance, so the message never
// formats a null text.
constexpr const char *kUnnamed = "(unnamed)";

// The light becomes an object light emitting from `instance`.
// Opened and closed here, so it is closed before the instance part opens.
void bind_light(oska_state *state, const oskalight_params *params, oska_tag light,
                oska_tag instance) {
    // Open the light.
    auto *record = static_cast<oska_light *>(mi_scene_edit(light));
    if (record == nullptr) {
        mi_warning("-> light cannot be edited");
    } else {
        // Object light.
        record->area_kind = OSKA_AREA_OBJECT;
        // Sample counts, each stored as soon as it is read; samples_3 is
        // the fifth count.
        if (read_param(state, params->override_samples)) {
            record->samples[0] = static_cast<uint16_t>(read_param(state, params->samples_1));
            record->samples[1] = static_cast<uint16_t>(read_param(state, params->samples_2));
            record->samples[4] = static_cast<uint16_t>(read_param(state, params->samples_3));
            record->samples[2] = static_cast<uint16_t>(read_param(state, params->samples_4));
            record->samples[3] = static_cast<uint16_t>(read_param(state, params->samples_5));
            record->extra = read_param(state, params->extra_value);
        }
        // The emitting object.
        record->object_instance = instance;
    }
    // Close the light, also when the host gave no record.
    mi_scene_edit_end(light);
}

// For a non-zero instance: name it and set its flag bytes.
void tag_instance(const oskalight_params *params, oska_tag instance) {
    // Name the element and its type, whatever it turned out to be.
    const char *name = mi_api_tag_lookup(instance);
    mi_info("oskalight->objname:: %s", name != nullptr ? name : kUnnamed);
    const int type = mi_db_type(instance);
    mi_info("oskalight->objtype:: %d", type);
    if (type != OSKA_TYPE_INSTANCE) {
        return;
    }
    // Opened and closed even when no flag is set.
    auto *record = static_cast<oska_instance *>(mi_scene_edit(instance));
    const oska_boolean set_flags = params->set_instance_flags; // in place, never evaluated
    if (record == nullptr) {
        mi_warning("-> instance cannot be edited");
    } else if (set_flags) {
        std::memcpy(record->flags, kInstanceFlags, sizeof kInstanceFlags);
    }
    mi_scene_edit_end(instance);
}

} // namespace

extern "C" {

OSKA_LIBRARY_API oska_boolean OSKA_CALL oskalight(void *, oska_state *state,
                                                  oskalight_params *params) {
    if (params == nullptr) {
        return 1;
    }
    // Switch and instance.
    const oska_boolean enable = read_param(state, params->enable);
    const oska_tag instance = read_param(state, params->instance);
    if (!enable) {
        return 1;
    }

    // The lights array: start index, count, then its element storage (an
    // attached array's storage is what the attached shader gives). A count
    // below 1 holds no element to read.
    const oska_integer lights_start = read_param(state, params->lights_start);
    const oska_integer lights_count = read_param(state, params->lights_count);
    const auto *lights = static_cast<const oska_tag *>(param_address(state, params->lights));
    if (lights_count < 1) {
        return 1;
    }

    // Its first element, a light instance. An attached array whose shader
    // gives no storage has no element: no light is found.
    const oska_tag light_instance = lights != nullptr ? lights[lights_start] : 0;

    // The light it holds; a host that knows none may write nothing.
    oska_tag light = 0;
    mi_query(OSKA_QUERY_INSTANCE_LIGHT, nullptr, light_instance, &light);

    // The first failing check decides; only a missing instance skips the
    // instance part.
    if (light == 0) {
        mi_warning("-> no light found");
    } else if (mi_db_type(light) != OSKA_TYPE_LIGHT) {
        mi_warning("-> light is not a light");
    } else if (instance == 0) {
        mi_warning("-> no instance found");
        return 1;
    } else if (mi_db_type(instance) != OSKA_TYPE_INSTANCE) {
        mi_warning("-> instance is not an instance");
    } else {
        // Bind the light.
        bind_light(state, params, light, instance);
    }

    // The instance part.
    if (instance != 0) {
        tag_instance(params, instance);
    }

    // The host always hears success.
    return 1;
}

// Only the shader-wide call (no record) answers: no per-instance init wanted.
OSKA_LIBRARY_API void OSKA_CALL oskalight_init(oska_state *, oskalight_params *params,
                                               oska_boolean *init_req) {
    if (params == nullptr && init_req != nullptr) {
        *init_req = 0;
    }
}

// Nothing to release: the shader keeps no state.
OSKA_LIBRARY_API void OSKA_CALL oskalight_exit(oska_state *, oskalight_params *) {}

} // extern "C"
