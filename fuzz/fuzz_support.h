// What the shader harnesses share: the library loaded by file name and bound
// to the testing host, and values drawn from the fuzzer's input that lean
// towards the ones that decide branches (0, 1, NaN, infinities, the codes
// the shaders test for) without leaving any bit pattern out.
#ifndef OSKA_FUZZ_SUPPORT_H
#define OSKA_FUZZ_SUPPORT_H

#include "support/library.h"

#include <oska/host/testing.h>
#include <oska/host_api.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace oska::fuzz {

using test::library;

// A fresh, quiet host with the library bound to it.
inline host::Testing &fresh_host() {
    host::Testing &host = host::testing();
    host.reset();
    host.set_logging(false);
    library().miSetModuleHandle(host::module_handle());
    return host;
}

[[noreturn]] inline void fail(const char *why) {
    std::fprintf(stderr, "harness check failed: %s\n", why);
    std::abort();
}

inline void check(bool holds, const char *why) {
    if (!holds) {
        fail(why);
    }
}

// Any tag: one of the scene's elements (`tags` is not empty), none, or one
// the host never made.
inline oska_tag pick_tag(FuzzedDataProvider &in, const std::vector<oska_tag> &tags) {
    switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
        return 0;
    case 1:
        return in.ConsumeIntegral<oska_tag>();
    default:
        return tags[in.ConsumeIntegralInRange<std::size_t>(0, tags.size() - 1)];
    }
}

inline float any_float(FuzzedDataProvider &in) {
    constexpr float kInteresting[] = {
        0.0f,
        -0.0f,
        1.0f,
        -1.0f,
        0.5f,
        2.0f,
        3.0f,
        100.0f,
        0.0001f,
        1e-7f,
        1e30f,
        -1e30f,
        std::numeric_limits<float>::quiet_NaN(),
        -std::numeric_limits<float>::quiet_NaN(),
        std::numeric_limits<float>::infinity(),
        -std::numeric_limits<float>::infinity(),
        std::numeric_limits<float>::denorm_min(),
        std::numeric_limits<float>::max(),
        std::numeric_limits<float>::lowest(),
        1.0f / 6.0f,
        7.0f / 6.0f,
    };
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
        return in.PickValueInArray(kInteresting);
    case 1: {
        const std::uint32_t bits = in.ConsumeIntegral<std::uint32_t>();
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    case 2:
        return in.ConsumeFloatingPointInRange(-4.0f, 4.0f);
    default:
        return in.ConsumeProbability<float>();
    }
}

inline double any_double(FuzzedDataProvider &in) {
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
        return static_cast<double>(any_float(in));
    case 1: {
        const std::uint64_t bits = in.ConsumeIntegral<std::uint64_t>();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    default:
        return in.ConsumeFloatingPointInRange(-20.0, 200.0);
    }
}

inline oska_color any_color(FuzzedDataProvider &in) {
    return {any_float(in), any_float(in), any_float(in), any_float(in)};
}

// Mostly 0 and 1, sometimes any other word (every non-zero word is true).
inline oska_boolean any_boolean(FuzzedDataProvider &in) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0:
        return in.ConsumeIntegral<oska_boolean>();
    case 1:
    case 2:
    case 3:
        return 0;
    default:
        return 1;
    }
}

// Mostly within [low, high], sometimes any word.
inline std::int32_t any_integer(FuzzedDataProvider &in, std::int32_t low, std::int32_t high) {
    if (in.ConsumeIntegralInRange(0, 7) == 0) {
        return in.ConsumeIntegral<std::int32_t>();
    }
    return in.ConsumeIntegralInRange(low, high);
}

} // namespace oska::fuzz

#endif
