// The numbers a pixel's samples are drawn from.
//
// `sobol`: Owen-scrambled Sobol' points, scrambled anew for every pixel, for
// every light and by the render's seed. Each point on its own is uniform in
// the unit cube, so the image converges to the same result as with
// independent numbers; together the points of a pixel cover the cube evenly,
// so the error falls faster with the sample count. A light sample's index
// runs over the whole pixel (camera sample i, light sample j of n, b the
// power of two from n up: i * b + j): the samples of one shading point come
// from one aligned block of the sequence, well spread on their own and with
// the blocks of the other camera samples.
//
// `random`: independent numbers from one generator per pixel, drawn in the
// order the pixel's samples ask for them.
#ifndef OSKA_RENDER_SAMPLER_H
#define OSKA_RENDER_SAMPLER_H

#include <array>
#include <cstdint>

namespace oska::render {

enum class SamplerKind { sobol, random };

// A small, fast generator (PCG32).
class Random {
  public:
    explicit Random(uint64_t seed);
    uint32_t next();
    // Uniform in [0, 1).
    float uniform() { return static_cast<float>(next() >> 8) * (1.0f / 16777216.0f); }

  private:
    uint64_t state_ = 0;
};

// The keys of one scrambled 2D sequence: the order of its points and the
// scrambling of each coordinate.
struct ScrambleKeys {
    uint32_t order = 0, first = 0, second = 0;
    static ScrambleKeys from(uint32_t key);
};

class PixelSampler {
  public:
    // `pass` counts the passes over the image before this one (each of
    // `spp` camera samples); a pass's samples continue the sequence of the
    // passes before it.
    PixelSampler(SamplerKind kind, uint32_t seed, int x, int y, uint32_t pass);

    // Where camera sample `index` (counted over all passes) falls in the
    // pixel: two numbers in [0, 1).
    void camera(uint32_t index, float *jx, float *jy);
    // Light samples `first` to `first + count - 1` of light `light` in the
    // pixel: numbers in [0, 1), the first of each sample into `u1`, the
    // second into `u2` and, with `random`, the third into `u3`. With `sobol`
    // there are two (the area sampler picks the triangle with the first and
    // reuses what is left of it, so that the two stay well spread over the
    // whole emitter) and `u3` is left as it is.
    void light_samples(uint32_t light, uint32_t first, int count, float *u1, float *u2, float *u3);

  private:
    SamplerKind kind_;
    uint32_t scramble_; // the pixel's key, from its position and the seed
    ScrambleKeys camera_keys_;
    std::array<ScrambleKeys, 8> light_keys_; // of the first lights; later ones made as needed
    Random random_;
};

} // namespace oska::render

#endif
