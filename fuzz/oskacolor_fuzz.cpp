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

#include <cstddef>
#include <cstdint>
#include <deque>
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

#define OSKA_FIELD(name)                                                                           \
    Field { offsetof(oskacolor_params, name), sizeof(oskacolor_params::name) }
constexpr Field kFields[] = {
    OSKA_FIELD(color),
    OSKA_FIELD(shadows),
    OSKA_FIELD(shadow_color),
    OSKA_FIELD(decay),
    OSKA_FIELD(decay_start),
    OSKA_FIELD(decay_end),
    OSKA_FIELD(texture),
    OSKA_FIELD(use_texture),
    OSKA_FIELD(use_alpha),
    OSKA_FIELD(alpha_scale),
    OSKA_FIELD(burn),
    OSKA_FIELD(burn_multiplier),
    OSKA_FIELD(burn_threshold),
    OSKA_FIELD(burn_power),
    OSKA_FIELD(hsv_adjust),
    OSKA_FIELD(hue),
    OSKA_FIELD(saturation),
    OSKA_FIELD(value),
    OSKA_FIELD(texture_range),
    OSKA_FIELD(range_gamma),
    OSKA_FIELD(tint_shadow),
    OSKA_FIELD(use_vertex_color),
    OSKA_FIELD(directional),
    OSKA_FIELD(cosine),
    OSKA_FIELD(cutoff),
    OSKA_FIELD(threshold),
    OSKA_FIELD(max_level),
    OSKA_FIELD(vc_color),
    OSKA_FIELD(vc_color_channel),
    OSKA_FIELD(vc_intensity),
    OSKA_FIELD(vc_intensity_channel),
    OSKA_FIELD(vc_range),
    OSKA_FIELD(vc_range_channel),
    OSKA_FIELD(vc_shadow),
    OSKA_FIELD(vc_shadow_channel),
};
#undef OSKA_FIELD

constexpr int kQueries[] = {OSKA_QUERY_INSTANCE_LIGHT, OSKA_QUERY_LIGHT_AREA,
                            OSKA_QUERY_LIGHT_EXPONENT, OSKA_QUERY_SETTINGS_SLOT,
                            OSKA_QUERY_EMIT_DIVISOR};

// A vertex channel: mostly one the vector list can hold, sometimes any.
std::int32_t any_channel(FuzzedDataProvider &in) { return any_integer(in, -2, 8); }

oskacolor_params make_params(FuzzedDataProvider &in, oska_tag texture) {
    oskacolor_params p{};
    p.color = any_color(in);
    p.shadows = any_boolean(in);
    p.shadow_color = any_color(in);
    p.decay = any_integer(in, -1, 4);
    p.decay_start = any_float(in);
    p.decay_end = any_float(in);
    p.texture = texture;
    p.use_texture = any_boolean(in);
    p.use_alpha = any_boolean(in);
    p.alpha_scale = any_float(in);
    p.burn = any_boolean(in);
    p.burn_multiplier = any_float(in);
    p.burn_threshold = any_float(in);
    p.burn_power = any_float(in);
    p.hsv_adjust = any_boolean(in);
    p.hue = any_float(in);
    p.saturation = any_float(in);
    p.value = any_float(in);
    p.texture_range = any_boolean(in);
    p.range_gamma = any_float(in);
    p.tint_shadow = any_boolean(in);
    p.use_vertex_color = any_boolean(in);
    p.directional = any_boolean(in);
    p.cosine = any_boolean(in);
    p.cutoff = any_float(in);
    p.threshold = in.ConsumeBool() ? 0.0f : any_float(in);
    p.max_level = any_integer(in, -1, 4);
    p.vc_color = any_boolean(in);
    p.vc_color_channel = any_channel(in);
    p.vc_intensity = any_boolean(in);
    p.vc_intensity_channel = any_channel(in);
    p.vc_range = any_boolean(in);
    p.vc_range_channel = any_channel(in);
    p.vc_shadow = any_boolean(in);
    p.vc_shadow_channel = any_channel(in);
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
