// Fuzzes oskacolor over a whole instance life: init, many evaluations, exit.
//
// The input decides the parameter record (any field may be attached to
// another shader, which may give a value or nothing), what the host answers
// at init (area kind, exponent, emit divisor, a failing allocator, queries
// that write nothing, a light-instance tag that names anything) and the state
// of every evaluation (ray kind, any distance, vector lists of any length and
// content, emission dot product, orientation, parent levels, texture lookups
// and shadow traces with any result). Besides the sanitizers' checks, the
// harness holds the library to what a host relies on: the shader-wide init
// asks for per-instance calls, a per-instance init leaves the flag alone, a
// ray other than a light ray is always answered with 1, every call returns 0
// or 1, and every block the library allocates is released exactly once.
#include "fuzz_support.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iterator>
#include <vector>

namespace {

using oska::fuzz::any_boolean;
using oska::fuzz::any_color;
using oska::fuzz::any_double;
using oska::fuzz::any_float;
using oska::fuzz::any_integer;
using oska::fuzz::check;
using oska::fuzz::pick_tag;

struct Field {
    std::size_t offset;
    std::size_t size;
};

// Every field of the record, from the parameter table.
constexpr oska_param_info kRows[] = {OSKACOLOR_PARAMS(OSKA_PARAM_INFO)};
constexpr Field field_of(const oska_param_info &row) {
    return {static_cast<std::size_t>(row.offset), static_cast<std::size_t>(row.size)};
}
constexpr auto kFields = [] {
    std::array<Field, std::size(kRows)> fields{};
    for (std::size_t i = 0; i < fields.size(); ++i) {
        fields[i] = field_of(kRows[i]);
    }
    return fields;
}();

constexpr int kQueries[] = {OSKA_QUERY_INSTANCE_LIGHT, OSKA_QUERY_LIGHT_AREA,
                            OSKA_QUERY_LIGHT_EXPONENT, OSKA_QUERY_SETTINGS_SLOT,
                            OSKA_QUERY_EMIT_DIVISOR};

// A vertex channel: mostly one the vector list can hold, sometimes any.
std::int32_t any_channel(FuzzedDataProvider &in) { return any_integer(in, -2, 8); }

// Each field in table order, drawn as its type and role want: the decay law
// and the trace depth a little past their codes, channels mostly ones the
// vector list can hold, the threshold often off.
oskacolor_params make_params(FuzzedDataProvider &in, oska_tag texture) {
    oskacolor_params p{};
    unsigned char *record = reinterpret_cast<unsigned char *>(&p);
    for (const oska_param_info &row : kRows) {
        unsigned char *at = record + row.offset;
        if (row.type == OSKA_PARAM_TYPE_COLOR) {
            const oska_color c = any_color(in);
            std::memcpy(at, &c, sizeof c);
        } else if (row.type == OSKA_PARAM_TYPE_SCALAR) {
            const float f =
                row.role == OSKA_ROLE_THRESHOLD && in.ConsumeBool() ? 0.0f : any_float(in);
            std::memcpy(at, &f, sizeof f);
        } else {
            std::int32_t word = static_cast<std::int32_t>(texture);
            if (row.type == OSKA_PARAM_TYPE_BOOLEAN) {
                word = any_boolean(in);
            } else if ((row.flags & OSKA_PARAM_CHANNEL) != 0) {
                word = any_channel(in);
            } else if (row.type == OSKA_PARAM_TYPE_INTEGER) {
                word = any_integer(in, -1, 4);
            }
            std::memcpy(at, &word, sizeof word);
        }
    }
    return p;
}

// Attaches some parameters to other shaders, which give a value of the
// parameter's width (any bytes) or no value at all.
void attach_some(FuzzedDataProvider &in, oska::host::ShaderInstance &shader) {
    const int count = in.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < count; ++i) {
        const Field field = in.PickValueInArray(kFields);
        if (in.ConsumeIntegralInRange(0, 3) == 0) {
            shader.attach_null(field.offset);
        } else {
            const std::vector<std::uint8_t> value = in.ConsumeBytes<std::uint8_t>(field.size);
            shader.attach(field.offset, value.data(), value.size());
        }
    }
}

oska::host::Image make_image(FuzzedDataProvider &in) {
    oska::host::Image image;
    image.width = in.ConsumeIntegralInRange(0, 3);
    image.height = in.ConsumeIntegralInRange(0, 3);
    image.texels.resize(std::size_t(image.width) * std::size_t(image.height));
    for (oska_color &texel : image.texels) {
        texel = any_color(in);
    }
    return image;
}

// Everything one evaluation needs to keep alive.
struct Evaluation {
    std::vector<oska_vector> vectors;
};

// Sets a link of `state` (its sample or its parent record): a state of its
// own, null, or the state itself. Returns the record the link stands for.
oska_state *link(FuzzedDataProvider &in, oska::host::Testing &host,
                 oska::host::ShaderInstance &shader, oska_state &state, oska_state *&to) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
        to = &host.make_state(shader, state.light_instance);
        return to;
    case 1:
        to = nullptr;
        return &state;
    default:
        to = &state;
        return &state;
    }
}

// Fills the state's sample and parent roles: the state itself, another
// record, or (for a host that says "the state itself" so) a null link.
void shape_state(FuzzedDataProvider &in, oska::host::Testing &host,
                 oska::host::ShaderInstance &shader, oska_state &state, Evaluation &evaluation) {
    state.ray_kind = in.ConsumeIntegralInRange(0, 7) == 0 ? in.ConsumeIntegral<std::int32_t>()
                     : in.ConsumeBool()                   ? OSKA_RAY_LIGHT
                                                          : in.ConsumeIntegralInRange(0, 6);
    state.distance = any_double(in);

    oska_state *sample = link(in, host, shader, state, state.sample);
    const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 12);
    evaluation.vectors.resize(count);
    for (oska_vector &vector : evaluation.vectors) {
        vector = {any_float(in), any_float(in), any_float(in)};
    }
    sample->vectors = count == 0 && in.ConsumeBool() ? nullptr : evaluation.vectors.data();
    sample->vector_count = static_cast<std::int32_t>(count);
    sample->emission_dot = any_float(in);
    sample->orientation = in.ConsumeIntegral<unsigned char>();

    oska_state *parent = link(in, host, shader, state, state.parent);
    parent->reflection_level = any_integer(in, -1, 5);
    parent->refraction_level = any_integer(in, -1, 5);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    oska::host::Testing &host = oska::fuzz::fresh_host();
    oska::host::Library &lib = oska::fuzz::library();

    // The scene: a light with any area kind and exponent, its instance
    // with any emit divisor, a texture, and an element of some other type.
    oska::host::LightDesc desc;
    desc.area_kind = in.ConsumeBool() ? OSKA_AREA_OBJECT : any_integer(in, 0, 6);
    desc.exponent = any_float(in);
    const oska_tag light = host.add_light(desc);
    const oska_tag light_instance = host.add_instance(light, "light_instance", any_float(in));
    const oska_tag texture = host.add_texture(make_image(in), "texture");
    const oska_tag other = host.add_element(in.ConsumeIntegralInRange(0, 12), nullptr);
    const std::vector<oska_tag> tags = {light_instance, light_instance, light_instance,
                                        light,          texture,        other};

    // The instance: its record, some attached parameters.
    oska::host::ShaderInstance &shader = host.add_shader("oskacolor", sizeof(oskacolor_params));
    const oskacolor_params params =
        make_params(in, in.ConsumeBool() ? texture : pick_tag(in, tags));
    std::memcpy(shader.record(), &params, sizeof params);
    attach_some(in, shader);
    auto *record = shader.params<oskacolor_params>();

    const oska_tag served =
        in.ConsumeIntegralInRange(0, 3) == 0 ? pick_tag(in, tags) : light_instance;
    oska_state &state = host.make_state(shader, served);

    // Texture lookups and shadow traces: the host's own, failing ones, or
    // ones whose every answer the input decides.
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
        host.fail_texture_lookups(true);
        break;
    case 1:
        host.set_texture_lookup(
            [&in](oska_color *result, oska_state *, oska_tag, const oska_vector *) {
                const oska_boolean found = any_boolean(in);
                if (in.ConsumeBool()) {
                    *result = any_color(in);
                }
                return found;
            });
        break;
    default:
        break;
    }
    if (in.ConsumeBool()) {
        host.set_shadow(any_boolean(in), any_color(in));
    } else {
        host.set_shadow_tracer([&in](oska_color *transmission, oska_state *) {
            const oska_boolean traced = any_boolean(in);
            if (in.ConsumeBool()) {
                *transmission = any_color(in);
            }
            return traced;
        });
    }

    // Init, shader-wide then for the instance, with the host's faults.
    oska_boolean init_req = in.ConsumeIntegral<oska_boolean>();
    lib.oskacolor_init(&state, nullptr, &init_req);
    check(init_req == 1, "the shader-wide init asks for per-instance calls");
    if (in.ConsumeIntegralInRange(0, 7) == 0) {
        host.fail_allocations(1);
    }
    bool silenced[sizeof kQueries / sizeof kQueries[0]] = {};
    for (std::size_t i = 0; i < sizeof kQueries / sizeof kQueries[0]; ++i) {
        silenced[i] = in.ConsumeIntegralInRange(0, 7) == 0;
        host.silence_query(kQueries[i], silenced[i]);
    }
    const oska_boolean before = init_req = in.ConsumeIntegral<oska_boolean>();
    lib.oskacolor_init(&state, record, &init_req);
    check(init_req == before, "a per-instance init leaves the flag alone");
    for (int request : kQueries) {
        host.silence_query(request, false);
    }

    // Evaluations. Sometimes the host forgets the settings slot.
    std::deque<Evaluation> evaluations;
    const int count = in.ConsumeIntegralInRange(0, 24);
    for (int i = 0; i < count && in.remaining_bytes() > 0; ++i) {
        Evaluation &evaluation = evaluations.emplace_back();
        shape_state(in, host, shader, state, evaluation);
        const bool slot_answers = in.ConsumeIntegralInRange(0, 15) != 0;
        host.silence_query(OSKA_QUERY_SETTINGS_SLOT, !slot_answers);
        oska_color result = any_color(in);
        const oska_boolean answer = lib.oskacolor(&result, &state, record);
        host.silence_query(OSKA_QUERY_SETTINGS_SLOT, false);
        check(answer == 0 || answer == 1, "oskacolor returns 0 or 1");
        if (slot_answers && shader.settings != nullptr && state.ray_kind != OSKA_RAY_LIGHT) {
            check(answer == 1, "a ray other than a light ray is answered");
        }
    }

    // Exit, shader-wide and for the instance, sometimes twice; every block
    // goes back exactly once, unless the host forgot where it keeps it.
    lib.oskacolor_exit(&state, nullptr);
    const bool slot_at_exit = in.ConsumeIntegralInRange(0, 15) != 0;
    host.silence_query(OSKA_QUERY_SETTINGS_SLOT, !slot_at_exit);
    lib.oskacolor_exit(&state, record);
    if (in.ConsumeBool()) {
        lib.oskacolor_exit(&state, record);
    }
    host.silence_query(OSKA_QUERY_SETTINGS_SLOT, false);
    check(host.allocator_errors().empty(), "no block is released twice or unknown");
    if (slot_at_exit) {
        check(host.leaks().empty(), "exit releases the instance's block");
    }
    host.release_leaks();
    return 0;
}
