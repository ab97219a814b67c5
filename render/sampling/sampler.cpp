#include "sampler.h"

namespace oska::render {

namespace {

// Bit reversal, in shifts and masks alone so that a batch of them runs in
// vector registers.
constexpr uint32_t reverse_bits(uint32_t x) {
    x = (x >> 16) | (x << 16);
    x = ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
    x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
    x = ((x >> 4) & 0x0F0F0F0Fu) | ((x & 0x0F0F0F0Fu) << 4);
    return ((x >> 8) & 0x00FF00FFu) | ((x & 0x00FF00FFu) << 8);
}

// The second Sobol' dimension, from the primitive polynomial x + 1: its
// generator matrix is Pascal's triangle mod 2, which is the same 2x2 block
// on each of the five bits of a bit's position, so it is applied in five
// steps. It takes the first dimension's point (the index, bit-reversed) and
// gives its own, bit-reversed: the form Owen scrambling works in.
constexpr uint32_t second_dimension(uint32_t x) {
    x ^= (x >> 1) & 0x55555555u;
    x ^= (x >> 2) & 0x33333333u;
    x ^= (x >> 4) & 0x0F0F0F0Fu;
    x ^= (x >> 8) & 0x00FF00FFu;
    return x ^ ((x >> 16) & 0x0000FFFFu);
}

// Owen scrambling in the reversed form: a hash in which each bit depends
// only on the bits below it, so that each digit of the fraction is flipped
// by a choice that depends on the digits above it alone.
uint32_t scramble_reversed(uint32_t x, uint32_t seed) {
    x ^= x * 0x3D20ADEAu;
    x += seed;
    x *= (seed >> 16) | 1u;
    x ^= x * 0x05526C56u;
    x ^= x * 0x53A22864u;
    return x;
}

// A 32-bit integer hash with good avalanche, for deriving keys.
uint32_t mix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

uint32_t combine(uint32_t key, uint32_t value) { return mix(key ^ mix(value + 0x9E3779B9u)); }

uint64_t pixel_seed(int x, int y) {
    uint64_t z = (static_cast<uint64_t>(static_cast<uint32_t>(y)) << 32) | static_cast<uint32_t>(x);
    z += 0x9E3779B97F4A7C15ull; // splitmix64 finaliser
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// The top 24 bits (as a signed number, which converts in vector registers).
float to_unit(uint32_t bits) {
    return static_cast<float>(static_cast<int32_t>(bits >> 8)) * (1.0f / 16777216.0f);
}

// Point `index` of a scrambled 2D sequence: its index order shuffled and
// each coordinate scrambled, by the keys. All of it works on reversed bits.
[[gnu::always_inline]] inline void scrambled_pair(ScrambleKeys keys, uint32_t index, float *u0,
                                                  float *u1) {
    // The shuffled index, bit-reversed: the first dimension's point.
    uint32_t first = reverse_bits(scramble_reversed(reverse_bits(index), keys.order));
    *u0 = to_unit(reverse_bits(scramble_reversed(first, keys.first)));
    *u1 = to_unit(reverse_bits(scramble_reversed(second_dimension(first), keys.second)));
}

// Points `first` onwards of a sequence: a loop of independent whole-number
// steps, which the compiler runs several points at a time in vector
// registers; with AVX2, eight at a time. Both give the same bits.
[[gnu::always_inline]] inline void scrambled_pairs(ScrambleKeys keys, uint32_t first, int count,
                                                   float *__restrict u0, float *__restrict u1) {
    for (int k = 0; k < count; ++k) {
        scrambled_pair(keys, first + static_cast<uint32_t>(k), &u0[k], &u1[k]);
    }
}

#if defined(__x86_64__) || defined(__i386__)
[[gnu::target("avx2")]] void scrambled_pairs_avx2(ScrambleKeys keys, uint32_t first, int count,
                                                  float *__restrict u0, float *__restrict u1) {
    scrambled_pairs(keys, first, count, u0, u1);
}
const bool kHasAvx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
#endif

} // namespace

ScrambleKeys ScrambleKeys::from(uint32_t key) {
    return {combine(key, 0), combine(key, 1), combine(key, 2)};
}

Random::Random(uint64_t seed) {
    next();
    state_ += seed;
    next();
}

uint32_t Random::next() {
    uint64_t old = state_;
    state_ = old * 6364136223846793005ull + 1442695040888963407ull;
    auto shifted = static_cast<uint32_t>(((old >> 18u) ^ old) >> 27u);
    auto rot = static_cast<uint32_t>(old >> 59u);
    return (shifted >> rot) | (shifted << ((~rot + 1u) & 31u));
}

PixelSampler::PixelSampler(SamplerKind kind, uint32_t seed, int x, int y, uint32_t pass)
    : kind_(kind), scramble_(0), random_(0) {
    uint64_t pixel = pixel_seed(x, y);
    if (kind == SamplerKind::random) {
        // Seed 0 on the first pass draws what a pixel always drew.
        uint64_t offset = (static_cast<uint64_t>(seed) << 32) | pass;
        random_ = Random(
            offset == 0 ? pixel
                        : pixel ^ pixel_seed(static_cast<int>(seed), static_cast<int>(pass) ^ -1));
    } else {
        scramble_ = combine(static_cast<uint32_t>(pixel ^ (pixel >> 32)), seed);
        camera_keys_ = ScrambleKeys::from(scramble_);
        for (std::size_t i = 0; i < light_keys_.size(); ++i) {
            light_keys_[i] = ScrambleKeys::from(combine(scramble_, static_cast<uint32_t>(i) + 1));
        }
    }
}

void PixelSampler::camera(uint32_t index, float *jx, float *jy) {
    if (kind_ == SamplerKind::random) {
        *jx = random_.uniform();
        *jy = random_.uniform();
        return;
    }
    scrambled_pair(camera_keys_, index, jx, jy);
}

void PixelSampler::light_samples(uint32_t light, uint32_t first, int count, float *u1, float *u2,
                                 float *u3) {
    if (kind_ == SamplerKind::random) {
        for (int k = 0; k < count; ++k) {
            u1[k] = random_.uniform();
            u2[k] = random_.uniform();
            u3[k] = random_.uniform();
        }
        return;
    }
    const ScrambleKeys keys = light < light_keys_.size()
                                  ? light_keys_[light]
                                  : ScrambleKeys::from(combine(scramble_, light + 1));
#if defined(__x86_64__) || defined(__i386__)
    if (kHasAvx2) {
        scrambled_pairs_avx2(keys, first, count, u1, u2);
        return;
    }
#endif
    scrambled_pairs(keys, first, count, u1, u2);
}

} // namespace oska::render
