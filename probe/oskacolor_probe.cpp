// The probe's oskacolor: takes the place of the light shader and checks,
// at each call, what the host hands it. It returns the probe colour.
//
// 1. Shader-wide init: asks for per-instance init calls.
// 2. Per-instance init: the record, the host's answers about the light
//    (requests 7, 24, 25, 125, guarded against writes past the value), the
//    settings slot (request 51) and a block from the host's allocator,
//    registered in the slot.
// 3. Evaluation: the record again, the slot (same slot, same block), the
//    shading state, and how many threads are evaluating at once.
// 4. Per-instance exit: the slot once more; the block goes back.
// 5. Shader-wide exit: every instance ended; the report is written.
#include "host_link.h"
#include "record_check.h"
#include "report.h"
#include "shaders.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace oska::probe {

namespace {

// ---- Guarded answers: the result word(s) between guard words, so that a
// host writing more than the value's size is seen.
constexpr uint32_t kGuard = 0xC0DEFACEu;
constexpr uint32_t kUnwritten = 0x5A5A5A5Au;

struct Guarded {
    uint32_t before[2] = {kGuard, kGuard};
    uint32_t value[2] = {kUnwritten, kUnwritten}; // room for a pointer
    uint32_t after[2] = {kGuard, kGuard};
};

// Asks `request` with a guarded result of `size` bytes; the words past the
// value count as guards too. Empty text when the host wrote `size` bytes and
// no more, else what it did.
void ask(int request, oska_state *state, oska_tag tag, Guarded &answer, unsigned size,
         char *problem, std::size_t problem_size) {
    query(request, state, tag, answer.value);
    problem[0] = '\0';
    const unsigned words = size / 4;
    for (unsigned i = words; i < 2; ++i) {
        if (answer.value[i] != kUnwritten) {
            std::snprintf(problem, problem_size, "wrote past its %u-byte value (at +%u)", size,
                          4 * i);
            return;
        }
    }
    if (answer.after[0] != kGuard || answer.after[1] != kGuard) {
        std::snprintf(problem, problem_size, "wrote past its %u-byte value (more than 8 bytes)",
                      size);
        return;
    }
    if (answer.before[0] != kGuard || answer.before[1] != kGuard) {
        std::snprintf(problem, problem_size, "wrote before the result address");
        return;
    }
    bool written = false;
    for (unsigned i = 0; i < words; ++i) {
        written |= answer.value[i] != kUnwritten;
    }
    if (!written) {
        std::snprintf(problem, problem_size, "wrote nothing");
    }
}

// ---- Instances: what init registered, by parameter record.
struct Instance {
    const void *params = nullptr;
    void **slot = nullptr;
    unsigned char *block = nullptr;
};
constexpr int kMaxInstances = 4096;
constexpr int kBlockSize = 64;
// Blocks hold pointers and doubles.
constexpr std::uintptr_t kBlockAlignment = 8;

std::mutex g_instances_mutex;
Instance g_instances[kMaxInstances];
int g_live = 0;

// Evaluation statistics for the shader-wide exit.
std::atomic<int> g_in_flight{0};
std::atomic<int> g_most_in_flight{0};
std::atomic<uint32_t> g_ray_kinds{0}; // bit k: ray kind k seen (0 to 30); bit 31: others
std::atomic<int> g_evaluations{0};
std::atomic<int> g_highest_reflection{0};
std::atomic<int> g_highest_refraction{0};

void raise_to(std::atomic<int> &highest, int value) {
    int now = highest.load(std::memory_order_relaxed);
    while (value > now && !highest.compare_exchange_weak(now, value)) {
    }
}

// Registered instance of `params`, copied out; false when unknown.
bool find_instance(const void *params, Instance &found) {
    std::lock_guard<std::mutex> lock(g_instances_mutex);
    for (int i = 0; i < g_live; ++i) {
        if (g_instances[i].params == params) {
            found = g_instances[i];
            return true;
        }
    }
    return false;
}

void check_queries(oska_state *state) {
    char problem[96];
    const oska_tag light_instance = state->light_instance;

    Guarded light;
    ask(OSKA_QUERY_INSTANCE_LIGHT, state, light_instance, light, 4, problem, sizeof problem);
    oska_tag light_tag = 0;
    std::memcpy(&light_tag, light.value, sizeof light_tag);
    if (light_instance == 0) {
        fail(check_query_instance_light, "the state's light instance is 0");
        light_tag = 0;
    } else if (problem[0] != '\0') {
        // A value written too wide still begins with the tag.
        fail(check_query_instance_light, "light instance %u: %s", unsigned(light_instance),
             problem);
        if (db_type(light_tag) != OSKA_TYPE_LIGHT) {
            light_tag = 0;
        }
    } else if (db_type(light_tag) != OSKA_TYPE_LIGHT) {
        fail(check_query_instance_light, "answered %u, whose type is %d, not a light",
             unsigned(light_tag), db_type(light_tag));
        light_tag = 0;
    } else {
        pass(check_query_instance_light, "light instance %u holds light %u",
             unsigned(light_instance), unsigned(light_tag));
    }

    if (light_tag != 0) {
        Guarded area;
        ask(OSKA_QUERY_LIGHT_AREA, state, light_tag, area, 4, problem, sizeof problem);
        if (problem[0] != '\0') {
            fail(check_query_area, "light %u: %s", unsigned(light_tag), problem);
        } else {
            pass(check_query_area, "area kind %d, 4 bytes", int(area.value[0]));
        }

        Guarded exponent;
        ask(OSKA_QUERY_LIGHT_EXPONENT, state, light_tag, exponent, 4, problem, sizeof problem);
        float answered = 0;
        std::memcpy(&answered, exponent.value, sizeof answered);
        if (problem[0] != '\0') {
            fail(check_query_exponent, "light %u: %s; the scalar reads %g", unsigned(light_tag),
                 problem, double(answered));
        } else if (answered != kLightExponent) {
            fail(check_query_exponent, "answered %g, expected %g", double(answered),
                 double(kLightExponent));
        } else {
            pass(check_query_exponent, "%g, 4 bytes", double(answered));
        }
    } else {
        not_exercised(check_query_area, "no light to ask about (request 7 failed)");
        not_exercised(check_query_exponent, "no light to ask about (request 7 failed)");
    }

    Guarded divisor;
    ask(OSKA_QUERY_EMIT_DIVISOR, state, light_instance, divisor, 4, problem, sizeof problem);
    float answered = 0;
    std::memcpy(&answered, divisor.value, sizeof answered);
    if (problem[0] != '\0') {
        fail(check_query_emit_divisor, "light instance %u: %s; the scalar reads %g",
             unsigned(light_instance), problem, double(answered));
    } else if (answered != kEmitDivisor) {
        fail(check_query_emit_divisor, "answered %g, expected %g", double(answered),
             double(kEmitDivisor));
    } else {
        pass(check_query_emit_divisor, "%g, 4 bytes", double(answered));
    }
}

// Request 51, guarded: the slot's address, or nullptr with the failure
// reported.
void **ask_slot(oska_state *state) {
    Guarded answer;
    char problem[96];
    ask(OSKA_QUERY_SETTINGS_SLOT, state, 0, answer, unsigned(sizeof(void *)), problem,
        sizeof problem);
    if (problem[0] != '\0') {
        fail(check_query_slot_size, "%s", problem);
    } else {
        pass(check_query_slot_size, "%u bytes", unsigned(sizeof(void *)));
    }
    void **slot = nullptr;
    std::memcpy(&slot, answer.value, sizeof slot);
    return problem[0] != '\0' ? nullptr : slot;
}

// A block from the host's allocator, checked; nullptr when unusable.
unsigned char *new_block() {
    auto *block = static_cast<unsigned char *>(allocate(__LINE__, kBlockSize));
    if (block == nullptr) {
        fail(check_block_alignment, "mi_mem_int_allocate answered no block for %d bytes",
             kBlockSize);
        return nullptr;
    }
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    if (address % kBlockAlignment != 0) {
        fail(check_block_alignment, "block %p is not aligned to %u bytes",
             static_cast<void *>(block), unsigned(kBlockAlignment));
    } else {
        pass(check_block_alignment, "aligned to %u bytes at least", unsigned(kBlockAlignment));
    }
    std::memset(block, 0x3C, kBlockSize); // the whole block is writable
    return block;
}

void init_instance(oska_state *state, oskacolor_params *params) {
    auto *record = reinterpret_cast<unsigned char *>(params);
    check_fields(kColorFields, kColorFieldCount, check_color_fields, state, record,
                 int(sizeof(oskacolor_params)));
    check_attached_parameter(state, record);
    check_queries(state);

    void **slot = ask_slot(state);
    if (slot == nullptr) {
        fail(check_slot_present, "request 51 answered no slot at init");
        return;
    }
    pass(check_slot_present, "request 51 answered a slot");
    unsigned char *block = new_block();
    if (block == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_instances_mutex);
    for (int i = 0; i < g_live; ++i) {
        const Instance &other = g_instances[i];
        if (other.slot == slot) {
            fail(check_slot_distinct, "two live instances were given the slot %p",
                 static_cast<void *>(slot));
        }
        if (block < other.block + kBlockSize && other.block < block + kBlockSize) {
            fail(check_block_distinct, "block %p overlaps a live block %p",
                 static_cast<void *>(block), static_cast<void *>(other.block));
        }
    }
    if (g_live == kMaxInstances) {
        not_exercised(check_slot_kept, "more than %d instances at once: the rest go unchecked",
                      kMaxInstances);
        release(__LINE__, block);
        return;
    }
    pass(check_slot_distinct, "a slot of its own for each instance");
    pass(check_block_distinct, "no block overlaps another");
    *slot = block;
    g_instances[g_live++] = {params, slot, block};
}

// The slot of `state` still holds the block registered at init.
void check_slot(oska_state *state, const void *params, const char *when) {
    Instance instance;
    if (!find_instance(params, instance)) {
        return; // init did not register it: its own line says why
    }
    void **slot = ask_slot(state);
    if (slot != instance.slot) {
        fail(check_slot_kept, "request 51 answered %p at %s, %p at init", static_cast<void *>(slot),
             when, static_cast<void *>(instance.slot));
    } else if (*slot != instance.block) {
        fail(check_slot_kept, "the slot held %p at %s, not the block %p registered at init", *slot,
             when, static_cast<void *>(instance.block));
    } else {
        pass(check_slot_kept, "request 51 answers the slot of init, holding its block");
    }
}

void check_state(oska_state *state) {
    const int kind = state->ray_kind;
    g_ray_kinds.fetch_or(kind >= 0 && kind < 31 ? 1u << kind : 1u << 31);
    if (!(std::isfinite(state->distance) && state->distance > 0)) {
        fail(check_distance, "distance %g on a ray of kind %d", state->distance, kind);
    } else {
        pass(check_distance, "positive and finite");
    }
    const oska_state *sample = state->sample;
    if (sample == nullptr) {
        fail(check_sample_state, "no sample state");
    } else if (sample->vectors == nullptr || sample->vector_count < 1) {
        fail(check_sample_state, "the vector list has %d entries at %p", sample->vector_count,
             static_cast<const void *>(sample->vectors));
    } else {
        pass(check_sample_state, "present, with %d vectors", sample->vector_count);
        const float dot = sample->emission_dot;
        if (!(dot >= -1.0f && dot <= 1.0f)) {
            fail(check_emission_dot, "%g on a ray of kind %d", double(dot), kind);
        } else {
            pass(check_emission_dot, "within [-1, 1]");
        }
    }
    const oska_state *parent = state->parent;
    if (parent == nullptr) {
        fail(check_parent_levels, "no parent state");
    } else if (parent->reflection_level < 0 || parent->refraction_level < 0) {
        fail(check_parent_levels, "reflection level %d, refraction level %d",
             parent->reflection_level, parent->refraction_level);
    } else {
        raise_to(g_highest_reflection, parent->reflection_level);
        raise_to(g_highest_refraction, parent->refraction_level);
    }
}

// What the evaluations showed, as lines of the report.
void report_evaluations() {
    if (g_evaluations.load() == 0) {
        return; // their checks stay "not run"
    }
    const uint32_t kinds = g_ray_kinds.load();
    char seen[128] = "";
    for (int k = 0; k < 32; ++k) {
        if ((kinds & (1u << k)) != 0) {
            const std::size_t used = std::strlen(seen);
            std::snprintf(seen + used, sizeof seen - used, "%s%s", used > 0 ? ", " : "",
                          k == 31 ? "others" : std::to_string(k).c_str());
        }
    }
    if ((kinds & (1u << OSKA_RAY_LIGHT)) == 0) {
        fail(check_ray_kinds, "kinds %s; no light ray (kind %d)", seen, OSKA_RAY_LIGHT);
    } else {
        pass(check_ray_kinds, "kinds %s in %d evaluations", seen, g_evaluations.load());
    }
    if (outcome(check_parent_levels) == Outcome::not_run) {
        pass(check_parent_levels, "reflection levels up to %d, refraction levels up to %d",
             g_highest_reflection.load(), g_highest_refraction.load());
    }
    pass(check_threads, "up to %d threads evaluated at once", g_most_in_flight.load());
}

void end_shader() {
    int live = 0;
    {
        std::lock_guard<std::mutex> lock(g_instances_mutex);
        live = g_live;
        g_live = 0; // forgotten: the host will not end them now
    }
    if (live > 0) {
        fail(check_instances_ended, "%d instances were never ended by oskacolor_exit", live);
    } else {
        pass(check_instances_ended, "every instance was ended before the shader");
    }
    report_evaluations();
    write_report();
}

} // namespace

void reset_color_probe() {
    std::lock_guard<std::mutex> lock(g_instances_mutex);
    g_live = 0;
    g_in_flight = 0;
    g_most_in_flight = 0;
    g_ray_kinds = 0;
    g_evaluations = 0;
    g_highest_reflection = 0;
    g_highest_refraction = 0;
}

} // namespace oska::probe

using namespace oska::probe;

extern "C" {

OSKA_LIBRARY_API int OSKA_CALL oskacolor_version(void) { return 1; }

OSKA_LIBRARY_API void OSKA_CALL oskacolor_init(oska_state *state, oskacolor_params *params,
                                               oska_boolean *init_req) {
    flush_pending_messages();
    if (params == nullptr) {
        if (init_req != nullptr) {
            *init_req = 1;
        }
        return;
    }
    if (state == nullptr) {
        fail(check_slot_present, "oskacolor_init was called without a state");
        return;
    }
    init_instance(state, params);
}

OSKA_LIBRARY_API oska_boolean OSKA_CALL oskacolor(oska_color *result, oska_state *state,
                                                  oskacolor_params *params) {
    const int in_flight = g_in_flight.fetch_add(1) + 1;
    raise_to(g_most_in_flight, in_flight);
    g_evaluations.fetch_add(1, std::memory_order_relaxed);
    if (state != nullptr && params != nullptr) {
        auto *record = reinterpret_cast<unsigned char *>(params);
        check_fields(kColorFields, kColorFieldCount, check_color_fields, state, record,
                     int(sizeof(oskacolor_params)));
        check_attached_parameter(state, record);
        check_slot(state, params, "an evaluation");
        check_state(state);
    } else {
        fail(check_sample_state, "oskacolor was called without a state or a record");
    }
    if (result != nullptr) {
        *result = kProbeColor;
    }
    g_in_flight.fetch_sub(1);
    return 1;
}

OSKA_LIBRARY_API void OSKA_CALL oskacolor_exit(oska_state *state, oskacolor_params *params) {
    if (params == nullptr) {
        end_shader();
        return;
    }
    if (state != nullptr) {
        check_slot(state, params, "exit");
    }
    unsigned char *block = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_instances_mutex);
        for (int i = 0; i < g_live; ++i) {
            if (g_instances[i].params == params) {
                block = g_instances[i].block;
                g_instances[i] = g_instances[--g_live];
                break;
            }
        }
    }
    if (block != nullptr) {
        release(__LINE__, block); // once: the instance is forgotten first
    }
}

} // extern "C"
