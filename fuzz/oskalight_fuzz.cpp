// Fuzzes oskalight: any parameter record and lights array, over scene
// databases with missing, wrong-typed and unnamed elements and names of any
// length, with a host that may refuse edits or know no light for an
// instance. Any parameter may be attached to another shader, which may give a
// value or nothing.
//
// The host's array form is trusted: the harness sizes the record so that the
// element the start index names exists, wherever the start index and the
// element storage come from (the record or an attached shader). Besides the
// sanitizers' checks, the library must return 1, never write through its
// result address, close every element it opens, open at most one at a time,
// and answer the init calls as a host expects.
#include "fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using oska::fuzz::any_boolean;
using oska::fuzz::any_integer;
using oska::fuzz::check;
using oska::fuzz::pick_tag;

// Index of the first element slot past the fixed part of the record.
constexpr std::int32_t kFirstSlotPastRecord =
    (sizeof(oskalight_params) - offsetof(oskalight_params, lights)) / sizeof(oska_tag);

std::string any_name(FuzzedDataProvider &in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
        return "obj%s%d%n";
    case 1:
        return std::string(in.ConsumeIntegralInRange<std::size_t>(1000, 3000), 'n');
    default:
        return in.ConsumeRandomLengthString(64);
    }
}

// A scene of a few elements of any kind, each named, unnamed or oddly named.
std::vector<oska_tag> make_scene(FuzzedDataProvider &in, oska::host::Testing &host,
                                 std::vector<std::string> &names) {
    std::vector<oska_tag> tags;
    const int count = in.ConsumeIntegralInRange(1, 8);
    for (int i = 0; i < count; ++i) {
        oska_tag tag = 0;
        switch (in.ConsumeIntegralInRange(0, 4)) {
        case 0: {
            oska::host::LightDesc desc;
            desc.area_kind = any_integer(in, 0, 6);
            tag = host.add_light(desc);
            break;
        }
        case 1:
        case 2: {
            const oska_tag item =
                tags.empty() || in.ConsumeIntegralInRange(0, 5) == 0
                    ? in.ConsumeIntegral<oska_tag>()
                    : tags[in.ConsumeIntegralInRange<std::size_t>(0, tags.size() - 1)];
            tag = host.add_instance(item);
            break;
        }
        case 3:
            tag = host.add_texture({}, nullptr);
            break;
        default:
            tag = host.add_element(any_integer(in, 0, 12), nullptr);
            break;
        }
        if (in.ConsumeBool()) {
            names.push_back(any_name(in));
            host.set_name(tag, names.back().c_str());
        } else {
            host.set_name(tag, nullptr);
        }
        tags.push_back(tag);
    }
    return tags;
}

// One call of oskalight on a fresh instance.
void call_once(FuzzedDataProvider &in, oska::host::Testing &host,
               const std::vector<oska_tag> &tags) {
    oska::host::Library &lib = oska::fuzz::library();

    // The array as the shader will see it: count, start index, elements.
    const std::int32_t count = any_integer(in, -1, 3);
    const std::int32_t past = in.ConsumeIntegralInRange(1, 4); // elements past the record
    const std::int32_t start = count >= 1
                                   ? in.ConsumeIntegralInRange(0, kFirstSlotPastRecord + past - 1)
                                   : in.ConsumeIntegral<std::int32_t>();
    std::vector<oska_tag> elements(std::size_t(kFirstSlotPastRecord + past));
    for (oska_tag &element : elements) {
        element = pick_tag(in, tags);
    }

    // The record, with room for the elements after its fixed part.
    oska::host::ShaderInstance &shader =
        host.add_shader("oskalight", sizeof(oskalight_params), std::size_t(past) * 4);
    oskalight_params params{};
    params.reserved = in.ConsumeIntegral<std::int32_t>();
    params.enable = any_boolean(in);
    params.instance = pick_tag(in, tags);
    params.lights_start = start;
    params.lights_count = count;
    params.override_samples = any_boolean(in);
    params.samples_1 = any_integer(in, 0, 70000);
    params.samples_2 = any_integer(in, 0, 70000);
    params.samples_3 = any_integer(in, 0, 70000);
    params.samples_4 = any_integer(in, 0, 70000);
    params.samples_5 = any_integer(in, 0, 70000);
    params.extra_value = in.ConsumeIntegral<std::int32_t>();
    params.set_instance_flags = any_boolean(in);
    auto *storage = static_cast<unsigned char *>(shader.record());
    // The element slots inside the fixed part are the record's own fields;
    // those past it hold the remaining elements.
    std::memcpy(storage, &params, sizeof params);
    std::memcpy(storage + sizeof params, elements.data() + kFirstSlotPastRecord,
                std::size_t(past) * 4);
    std::memcpy(&elements[0], storage + offsetof(oskalight_params, lights),
                sizeof params - offsetof(oskalight_params, lights));

    // Attached parameters. The start index, count and element storage
    // keep the values chosen above when attached; the others take any value,
    // or none.
    const int attachments = in.ConsumeIntegralInRange(0, 3);
    for (int i = 0; i < attachments; ++i) {
        switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0:
            shader.attach(offsetof(oskalight_params, lights_start), start);
            break;
        case 1:
            shader.attach(offsetof(oskalight_params, lights_count), count);
            break;
        case 2:
            // An attached array: the shader gives its element storage, or
            // nothing at all.
            if (in.ConsumeBool()) {
                shader.attach(offsetof(oskalight_params, lights), elements.data(),
                              elements.size() * sizeof(oska_tag));
            } else {
                shader.attach_null(offsetof(oskalight_params, lights));
            }
            break;
        default: {
            constexpr std::size_t kOthers[] = {
                offsetof(oskalight_params, enable),
                offsetof(oskalight_params, instance),
                offsetof(oskalight_params, override_samples),
                offsetof(oskalight_params, samples_1),
                offsetof(oskalight_params, samples_3),
                offsetof(oskalight_params, extra_value),
                offsetof(oskalight_params, set_instance_flags),
            };
            const std::size_t offset = in.PickValueInArray(kOthers);
            if (in.ConsumeBool()) {
                shader.attach(offset, any_integer(in, 0, 12));
            } else {
                shader.attach_null(offset);
            }
            break;
        }
        }
    }

    // The host's faults.
    host.refuse_edits(in.ConsumeIntegralInRange(0, 3) == 0);
    host.silence_query(OSKA_QUERY_INSTANCE_LIGHT, in.ConsumeIntegralInRange(0, 7) == 0);

    // Init, the call, exit.
    oska_state &state = host.make_state(shader);
    auto *record = shader.params<oskalight_params>();
    oska_boolean init_req = in.ConsumeIntegral<oska_boolean>();
    lib.oskalight_init(&state, nullptr, &init_req);
    check(init_req == 0, "the shader-wide init declines per-instance calls");
    const oska_boolean before = init_req = in.ConsumeIntegral<oska_boolean>();
    lib.oskalight_init(&state, record, &init_req);
    check(init_req == before, "a per-instance init leaves the flag alone");

    unsigned char result[16];
    std::memset(result, 0xA5, sizeof result);
    const oska_boolean answer = lib.oskalight(result, &state, record);
    check(answer == 1, "oskalight returns 1");
    for (unsigned char byte : result) {
        check(byte == 0xA5, "oskalight never writes through its result address");
    }
    check(!host.edit_open(), "every element opened is closed again");
    check(host.edit_errors().empty(), "one element open at a time, each closed once");

    lib.oskalight_exit(&state, record);
    lib.oskalight_exit(&state, nullptr);
    host.refuse_edits(false);
    host.silence_query(OSKA_QUERY_INSTANCE_LIGHT, false);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    oska::host::Testing &host = oska::fuzz::fresh_host();
    std::vector<std::string> names;
    names.reserve(64); // set_name keeps the pointer
    const std::vector<oska_tag> tags = make_scene(in, host, names);
    const int calls = in.ConsumeIntegralInRange(1, 3);
    for (int i = 0; i < calls; ++i) {
        call_once(in, host, tags);
    }
    return 0;
}
