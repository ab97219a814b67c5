// The probe's questions to the host about the light of an oskacolor
// instance and about its settings slot: each answer lands between guard
// words, so that a host writing more than the value's size is seen.
#include "light_queries.h"

#include "host_link.h"
#include "probe_scene.h"
#include "report.h"
#include "shaders.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace oska::probe {

namespace {

// The result word(s) between guard words.
constexpr uint32_t kGuard = 0xC0DEFACEu;
constexpr uint32_t kUnwritten = 0x5A5A5A5Au;

struct Guarded {
    uint32_t before[2] = {kGuard, kGuard};
    uint32_t value[2] = {kUnwritten, kUnwritten}; // room for a pointer
    uint32_t after[2] = {kGuard, kGuard};
    // What the host did wrong, if anything; empty when it wrote `size` bytes
    // and no more.
    char problem[96] = "";
    bool written = false; // the value's first word holds the host's answer

    float scalar() const {
        float answered = 0;
        std::memcpy(&answered, value, sizeof answered);
        return answered;
    }
};

// Asks `request` with a guarded result of `size` bytes; the words past the
// value count as guards too.
void ask(int request, oska_state *state, oska_tag tag, Guarded &answer, unsigned size) {
    query(request, state, tag, answer.value);
    const unsigned words = size / 4;
    for (unsigned i = 0; i < words; ++i) {
        answer.written |= answer.value[i] != kUnwritten;
    }
    char *problem = answer.problem;
    const std::size_t room = sizeof answer.problem;
    for (unsigned i = words; i < 2; ++i) {
        if (answer.value[i] != kUnwritten) {
            std::snprintf(problem, room, "wrote past its %u-byte value (at +%u)", size, 4 * i);
            return;
        }
    }
    if (answer.after[0] != kGuard || answer.after[1] != kGuard) {
        std::snprintf(problem, room, "wrote past its %u-byte value (more than 8 bytes)", size);
    } else if (answer.before[0] != kGuard || answer.before[1] != kGuard) {
        std::snprintf(problem, room, "wrote before the result address");
    } else if (!answer.written) {
        std::snprintf(problem, room, "wrote nothing");
    }
}

// A scalar answer about `what` `tag`, which must be `expected`; the value
// is shown only when the host wrote one.
void check_scalar(CheckId check, const Guarded &answer, float expected, const char *what,
                  oska_tag tag) {
    const float answered = answer.scalar();
    if (answer.problem[0] != '\0' && answer.written) {
        fail(check, "%s %u: %s; the scalar reads %g", what, unsigned(tag), answer.problem,
             double(answered));
    } else if (answer.problem[0] != '\0') {
        fail(check, "%s %u: %s", what, unsigned(tag), answer.problem);
    } else if (answered != expected) {
        fail(check, "answered %g, expected %g", double(answered), double(expected));
    } else {
        pass(check, "%g, 4 bytes", double(answered));
    }
}

// Request 7 for the state's light instance: the light, or 0 when its answer
// is unusable.
oska_tag check_instance_light(oska_state *state) {
    const oska_tag light_instance = state->light_instance;
    Guarded light;
    ask(OSKA_QUERY_INSTANCE_LIGHT, state, light_instance, light, 4);
    oska_tag light_tag = 0;
    std::memcpy(&light_tag, light.value, sizeof light_tag);
    const int type = light.written ? db_type(light_tag) : 0;
    if (light.problem[0] != '\0') {
        // A value written too wide still begins with the tag.
        fail(check_query_instance_light, "light instance %u: %s", unsigned(light_instance),
             light.problem);
        return type == OSKA_TYPE_LIGHT ? light_tag : 0;
    }
    if (type != OSKA_TYPE_LIGHT) {
        fail(check_query_instance_light,
             "light instance %u: answered %u, whose type is %d, not "
             "a light",
             unsigned(light_instance), unsigned(light_tag), type);
        return 0;
    }
    pass(check_query_instance_light, "light instance %u holds light %u", unsigned(light_instance),
         unsigned(light_tag));
    return light_tag;
}

// Requests 24 and 25 about the light; request 24's answer also tells
// whether oskalight made it an object light before this instance's init.
void check_light_queries(oska_state *state, oska_tag light_tag) {
    Guarded area;
    ask(OSKA_QUERY_LIGHT_AREA, state, light_tag, area, 4);
    const auto kind = int32_t(area.value[0]);
    if (area.problem[0] != '\0') {
        fail(check_query_area, "light %u: %s", unsigned(light_tag), area.problem);
    } else {
        pass(check_query_area, "area kind %d, 4 bytes", int(kind));
    }
    if (light_bound() == light_tag) {
        // Whether the edit held is the scene edits' check.
        pass(check_light_order, "oskalight bound light %u before oskacolor_init",
             unsigned(light_tag));
    } else if (!area.written) {
        not_exercised(check_light_order, "request 24 answered nothing about light %u",
                      unsigned(light_tag));
    } else if (kind != OSKA_AREA_OBJECT) {
        fail(check_light_order,
             "light %u has area kind %d at oskacolor_init: oskalight must make it an object "
             "light (area kind %d) before any instance's oskacolor_init",
             unsigned(light_tag), int(kind), int(OSKA_AREA_OBJECT));
    } else {
        pass(check_light_order, "light %u is an object light at oskacolor_init",
             unsigned(light_tag));
    }

    Guarded exponent;
    ask(OSKA_QUERY_LIGHT_EXPONENT, state, light_tag, exponent, 4);
    check_scalar(check_query_exponent, exponent, kLightExponent, "light", light_tag);
}

} // namespace

bool check_state_light_instance(const oska_state *state) {
    const oska_tag tag = state->light_instance;
    if (tag == 0) {
        fail(check_light_instance, "state->light_instance is 0, not the tag of the light's "
                                   "instance");
        return false;
    }
    if (!has(host_mi_db_type)) {
        return true; // its line says what is missing; the queries tell the rest
    }
    const int type = db_type(tag);
    const char *name = tag_name(tag);
    const char *shown = name != nullptr ? name : "no name";
    const oska_tag in_lights = light_instance_in_lights();
    if (type != OSKA_TYPE_INSTANCE) {
        fail(check_light_instance,
             "state->light_instance is %u (%s), an element of type %d%s, not an instance: it "
             "must be the tag of the light's instance",
             unsigned(tag), shown, type, type == OSKA_TYPE_LIGHT ? " (a light)" : "");
        return false;
    }
    if (in_lights != 0 && in_lights != tag) {
        fail(check_light_instance,
             "state->light_instance is %u (%s), but oskalight's lights array names instance %u",
             unsigned(tag), shown, unsigned(in_lights));
        return false;
    }
    if (has(host_mi_api_tag_lookup) && (name == nullptr || std::strcmp(name, kLightName) != 0)) {
        fail(check_light_instance, "state->light_instance is instance %u named %s, not %s",
             unsigned(tag), shown, kLightName);
        return false;
    }
    pass(check_light_instance, "instance %u (%s)", unsigned(tag), shown);
    return true;
}

void check_queries(oska_state *state) {
    if (!check_state_light_instance(state)) {
        for (CheckId check : {check_query_instance_light, check_query_area, check_query_exponent,
                              check_query_emit_divisor, check_light_order}) {
            not_exercised(check, "asked about state->light_instance, which is not the light's "
                                 "instance (shading state: light instance)");
        }
        return;
    }
    const oska_tag light_tag = check_instance_light(state);
    if (light_tag != 0) {
        check_light_queries(state, light_tag);
    } else {
        for (CheckId check : {check_query_area, check_query_exponent, check_light_order}) {
            not_exercised(check, "no light to ask about (request 7 failed)");
        }
    }
    Guarded divisor;
    ask(OSKA_QUERY_EMIT_DIVISOR, state, state->light_instance, divisor, 4);
    check_scalar(check_query_emit_divisor, divisor, kEmitDivisor, "light instance",
                 state->light_instance);
}

void **ask_slot(oska_state *state) {
    Guarded answer;
    ask(OSKA_QUERY_SETTINGS_SLOT, state, 0, answer, unsigned(sizeof(void *)));
    if (answer.problem[0] != '\0') {
        fail(check_query_slot_size, "%s", answer.problem);
        return nullptr;
    }
    pass(check_query_slot_size, "%u bytes", unsigned(sizeof(void *)));
    void **slot = nullptr;
    std::memcpy(&slot, answer.value, sizeof slot);
    return slot;
}

} // namespace oska::probe
