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
#include "light_queries.h"
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

// What the probe's oskalight found and did (shaders.h).
std::atomic<oska_tag> g_light_instance_in_lights{0};
std::atomic<oska_tag> g_light_bound{0};

// The lifecycle: whether the shader-wide exit came, how many instances were
// live then, and how many of those the host ended afterwards.
bool g_shader_ended = false; // under g_instances_mutex, as are the two below
int g_live_at_shader_end = 0;
int g_ended_after_shader = 0;

// "1 instance", "2 instances".
const char *instances_word(int count) { return count == 1 ? "instance" : "instances"; }

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
    check_fields(kColorFields.data(), kColorFieldCount, check_color_fields, state, record,
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

// The distance of a light ray: the library reads it on light rays alone,
// and answers every other ray from the base colour.
void check_distance_of(const oska_state *state) {
    if (state->ray_kind != OSKA_RAY_LIGHT) {
        return;
    }
    if (!(std::isfinite(state->distance) && state->distance > 0)) {
        fail(check_distance, "distance %g on a light ray", state->distance);
    } else {
        pass(check_distance, "positive and finite on light rays");
    }
}

void check_sample(const oska_state *state) {
    const oska_state *sample = state->sample;
    if (sample == nullptr) {
        fail(check_sample_state, "no sample state");
        not_exercised(check_emission_dot, "no sample state to read it from");
    } else if (sample->vectors == nullptr || sample->vector_count < 1) {
        fail(check_sample_state, "the vector list has %d entries at %p", sample->vector_count,
             static_cast<const void *>(sample->vectors));
        not_exercised(check_emission_dot, "read with the vector list, which the sample state "
                                          "lacks (shading state: sample state)");
    } else {
        pass(check_sample_state, "present, with %d %s", sample->vector_count,
             sample->vector_count == 1 ? "vector" : "vectors");
        const float dot = sample->emission_dot;
        if (!(dot >= -1.0f && dot <= 1.0f)) {
            fail(check_emission_dot, "%g on a ray of kind %d", double(dot), state->ray_kind);
        } else {
            pass(check_emission_dot, "within [-1, 1]");
        }
    }
}

void check_state(oska_state *state) {
    const int kind = state->ray_kind;
    g_ray_kinds.fetch_or(kind >= 0 && kind < 31 ? 1u << kind : 1u << 31);
    check_state_light_instance(state);
    check_distance_of(state);
    check_sample(state);
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
    if ((kinds & (1u << OSKA_RAY_LIGHT)) == 0) {
        not_exercised(check_distance, "no light ray was evaluated");
    }
    const int threads = g_most_in_flight.load();
    inform(check_threads, "up to %d %s evaluated at once", threads,
           threads == 1 ? "thread" : "threads");
}

void end_shader() {
    int live = 0;
    {
        std::lock_guard<std::mutex> lock(g_instances_mutex);
        live = g_live;
        g_shader_ended = true;
        g_live_at_shader_end = live;
        g_ended_after_shader = 0;
    }
    if (live > 0) {
        fail(check_instances_ended, "%d %s not ended by oskacolor_exit before the shader's exit",
             live, instances_word(live));
    } else {
        pass(check_instances_ended, "every instance was ended before the shader");
    }
    report_evaluations();
    write_report();
}

// An instance ended after its shader's exit: the failure says so, and the
// report is written again.
void ended_after_shader() {
    int late = 0;
    int live = 0;
    {
        std::lock_guard<std::mutex> lock(g_instances_mutex);
        late = ++g_ended_after_shader;
        live = g_live_at_shader_end - late;
    }
    if (live > 0) {
        restate_failure(check_instances_ended,
                        "%d %s ended after the shader's exit; %d not ended at all", late,
                        instances_word(late), live);
    } else {
        restate_failure(check_instances_ended, "%d %s ended after the shader's exit", late,
                        instances_word(late));
    }
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
    g_light_instance_in_lights = 0;
    g_light_bound = 0;
    g_shader_ended = false;
    g_live_at_shader_end = 0;
    g_ended_after_shader = 0;
}

void note_light_instance_in_lights(oska_tag tag) { g_light_instance_in_lights = tag; }

oska_tag light_instance_in_lights() { return g_light_instance_in_lights.load(); }

void note_light_bound(oska_tag light) { g_light_bound = light; }

oska_tag light_bound() { return g_light_bound.load(); }

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
        std::lock_guard<std::mutex> lock(g_instances_mutex);
        g_shader_ended = false; // a new run of the shader
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
        check_fields(kColorFields.data(), kColorFieldCount, check_color_fields, state, record,
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
    bool late = false;
    {
        std::lock_guard<std::mutex> lock(g_instances_mutex);
        for (int i = 0; i < g_live; ++i) {
            if (g_instances[i].params == params) {
                block = g_instances[i].block;
                g_instances[i] = g_instances[--g_live];
                late = g_shader_ended;
                break;
            }
        }
    }
    if (block != nullptr) {
        release(__LINE__, block); // once: the instance is forgotten first
    }
    if (late) {
        ended_after_shader();
    }
}

} // extern "C"
