// Camera samples shared over the pixels by where the image is noisy.
//
// Every pixel keeps the sums of its samples in two halves, by the parity of
// the sample's unit (`unit` consecutive camera samples), and the number it
// has taken. The difference between its halves' means, in display values,
// is an estimate of its own error; times the square root of its count, of
// the spread of its samples. A pass's samples go to the pixels in
// proportion to that spread, widened to the largest of the pixel's 3x3
// neighbours (an edge that one pixel's samples missed is still found near
// it) and raised to a floor (no pixel is starved on a lucky estimate). The
// shares are rounded in pixel order so that they add up to the pass's
// budget exactly, and depend only on the sums: not on the threads.
#ifndef OSKA_RENDER_PIXEL_BUDGET_H
#define OSKA_RENDER_PIXEL_BUDGET_H

#include "framebuffer.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace oska::render {

// The difference between the means of two halves of a value's samples (sums
// of n0 and n1 samples), in display values.
double display_difference(float even, float odd, double n0, double n1);
// The value, or for one past the float range the largest float of its sign
// (0 for NaN): finite samples can still add up past the range.
float finite_value(float value);

class PixelBudget {
  public:
    PixelBudget(int width, int height, uint32_t unit);

    // Sets the pass's share of every pixel: `units` each.
    void share_evenly(uint32_t units);
    // Adds `units` to the pass's share of each pixel marked in `marks`; gives
    // the units added in all.
    uint64_t add_where(const std::vector<uint8_t> &marks, uint32_t units);
    // Shares `units` by each pixel's error; with a target, a pixel whose
    // error is under it takes none. False when every pixel is under it.
    bool share(uint64_t units, double target);
    // The pass's samples are in: the counts move on.
    void pass_done();

    uint32_t first(std::size_t pixel) const { return taken_[pixel]; }
    uint32_t count(std::size_t pixel) const { return pass_[pixel]; }
    uint32_t unit() const { return unit_; }
    float *half(int which) { return halves_[which].data(); }
    // The estimated RMS error of a pixel's display value; -1: not known yet.
    double noise() const;
    // The same where every pixel has taken the same samples (even passes),
    // from their common counts: the halves' differences summed over the
    // image before they are scaled.
    double even_noise() const;
    // The mean of each pixel's samples.
    Framebuffer image() const;

  private:
    double sample_counts(std::size_t pixel, double counts[2]) const;
    double squared_error(std::size_t pixel) const;
    std::vector<float> spreads() const;
    void share_by(uint64_t units, const std::vector<float> &weights);

    int width_, height_;
    uint32_t unit_;
    std::vector<float> halves_[2];
    std::vector<uint32_t> taken_, pass_;
};

} // namespace oska::render

#endif
