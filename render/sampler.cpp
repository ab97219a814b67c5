#include "sampler.h"

#include <array>

namespace oska::render {

namespace {

// The generator matrices of the first two Sobol' dimensions, one column a
// bit of the index: the bit-reversal (van der Corput) and the one from the
// primitive polynomial x + 1, whose columns follow Pascal's triangle mod 2.
constexpr std::array<std::array<uint32_t, 32>, 2> kMatrices = [] {
    std::array<std::array<uint32_t, 32>, 2> m{};
    for (int k = 0; k < 32; ++k) {
        m[0][k] = 1u << (31 - k);
        m[1][k] = k == 0 ? 1u << 31 : m[1][k - 1] ^ (m[1][k - 1] >> 1);
    }
    return m;
}();

// The byte swap is one instruction; the bits within each byte follow.
constexpr uint32_t reverse_bits(uint32_t x) {
    x = __builtin_bswap32(x);
    x = ((x >> 4) & 0x0F0F0F0Fu) | ((x & 0x0F0F0F0Fu) << 4);
    x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
    return ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
}

// The same matrices for indices and results with their bits reversed (the
// form Owen scrambling works in), a byte of the index at a time: entry
// [d][p][v] is the reversed point of dimension d for the reversed index
// whose byte p is v and whose other bytes are 0.
using ByteTables = std::array<std::array<std::array<uint32_t, 256>, 4>, 2>;
constexpr ByteTables kReversedTables = [] {
    ByteTables t{};
    for (std::size_t d = 0; d < 2; ++d) {
        for (std::size_t p = 0; p < 4; ++p) {
            for (uint32_t v = 0; v < 256; ++v) {
                uint32_t point = 0;
                for (std::size_t c = 0; c < 8; ++c) {
                    if ((v >> c & 1u) != 0) {
                        point ^= reverse_bits(kMatrices[d][31 - 8 * p - c]);
                    }
                }
                t[d][p][v] = point;
            }
        }
    }
    return t;
}();

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

float to_unit(uint32_t bits) { return static_cast<float>(bits >> 8) * (1.0f / 16777216.0f); }

} // namespace

PixelSampler::ScrambleKeys PixelSampler::ScrambleKeys::from(uint32_t key) {
    return {combine(key, 0), combine(key, 1), combine(key, 2)};
}

// Point `index` of a scrambled 2D sequence: its index order shuffled and
// each coordinate scrambled, by the keys. All of it works on reversed bits.
void PixelSampler::scrambled_pair(const ScrambleKeys &keys, uint32_t index, float *u0, float *u1) {
    const ByteTables &tables = kReversedTables;
    uint32_t r = scramble_reversed(reverse_bits(index), keys.order);
    uint32_t p[2];
    for (std::size_t d = 0; d < 2; ++d) {
        p[d] = tables[d][0][r & 255u] ^ tables[d][1][(r >> 8) & 255u] ^
               tables[d][2][(r >> 16) & 255u] ^ tables[d][3][r >> 24];
    }
    *u0 = to_unit(reverse_bits(scramble_reversed(p[0], keys.first)));
    *u1 = to_unit(reverse_bits(scramble_reversed(p[1], keys.second)));
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

void PixelSampler::light(uint32_t light, uint32_t index, float u[3]) {
    if (kind_ == SamplerKind::random) {
        u[0] = random_.uniform();
        u[1] = random_.uniform();
        u[2] = random_.uniform();
        return;
    }
    scrambled_pair(light < light_keys_.size() ? light_keys_[light]
                                              : ScrambleKeys::from(combine(scramble_, light + 1)),
                   index, &u[0], &u[1]);
    u[2] = 0;
}

} // namespace oska::render
