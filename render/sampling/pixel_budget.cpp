#include "pixel_budget.h"

#include "display.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace oska::render {

namespace {

// The least share of a pixel, as a part of the mean spread: enough that a
// pixel whose few samples happened to agree still gets more.
constexpr float kLeastShare = 0.1f;

// The RMS error of the mean of both halves, from the difference between the
// halves' own means (`counts`: the camera samples a pixel has in each), in
// display values: the error a viewer sees, where a bright emitter's edge
// counts no more than a white wall.
double estimate_noise(const std::vector<float> &even, const std::vector<float> &odd,
                      const double counts[2]) {
    if (!(counts[0] > 0) || !(counts[1] > 0) || even.empty()) {
        return -1;
    }
    // Var(mean_even - mean_odd) = s2 (1/n0 + 1/n1), and the error of the
    // mean of all n0 + n1 samples is s2 / (n0 + n1).
    double scale = 1 / ((1 / counts[0] + 1 / counts[1]) * (counts[0] + counts[1]));
    double total = 0;
    for (std::size_t i = 0; i < even.size(); ++i) {
        double difference = display_difference(even[i], odd[i], counts[0], counts[1]);
        total += difference * difference;
    }
    return std::sqrt(total * scale / static_cast<double>(even.size()));
}

} // namespace

double display_difference(float even, float odd, double n0, double n1) {
    return linear_to_srgb(tone_map(static_cast<float>(even / n0))) -
           linear_to_srgb(tone_map(static_cast<float>(odd / n1)));
}

float finite_value(float value) {
    if (std::isfinite(value)) {
        return value;
    }
    return std::isnan(value) ? 0.0f : std::copysign(FLT_MAX, value);
}

PixelBudget::PixelBudget(int width, int height, uint32_t unit)
    : width_(width), height_(height), unit_(std::max(1u, unit)) {
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    halves_[0].assign(3 * pixels, 0.0f);
    halves_[1].assign(3 * pixels, 0.0f);
    taken_.assign(pixels, 0);
    pass_.assign(pixels, 0);
}

void PixelBudget::share_evenly(uint32_t units) {
    std::fill(pass_.begin(), pass_.end(), units * unit_);
}

uint64_t PixelBudget::add_where(const std::vector<uint8_t> &marks, uint32_t units) {
    uint64_t added = 0;
    for (std::size_t i = 0; i < pass_.size() && i < marks.size(); ++i) {
        if (marks[i] != 0) {
            pass_[i] += units * unit_;
            added += units;
        }
    }
    return added;
}

void PixelBudget::pass_done() {
    for (std::size_t i = 0; i < taken_.size(); ++i) {
        taken_[i] += pass_[i];
        pass_[i] = 0;
    }
}

// The camera samples of the pixel in each half, and in all.
double PixelBudget::sample_counts(std::size_t pixel, double counts[2]) const {
    const uint32_t units = taken_[pixel] / unit_;
    // Whole units in each half, the odd one in the first.
    // NOLINTBEGIN(bugprone-integer-division)
    counts[0] = static_cast<double>(unit_) * ((units + 1) / 2);
    counts[1] = static_cast<double>(unit_) * (units / 2);
    // NOLINTEND(bugprone-integer-division)
    return counts[0] + counts[1];
}

// The squared error of the pixel's mean, summed over its three values, from
// the difference of its halves (as in estimate_noise, for one pixel); -1
// while a half is empty.
double PixelBudget::squared_error(std::size_t pixel) const {
    double counts[2];
    const double all = sample_counts(pixel, counts);
    if (!(counts[1] > 0)) {
        return -1;
    }
    double total = 0;
    for (std::size_t k = 3 * pixel; k < 3 * pixel + 3; ++k) {
        const double d = display_difference(halves_[0][k], halves_[1][k], counts[0], counts[1]);
        total += d * d;
    }
    return total * counts[0] * counts[1] / (all * all);
}

double PixelBudget::noise() const {
    double total = 0;
    for (std::size_t i = 0; i < taken_.size(); ++i) {
        const double error = squared_error(i);
        if (error < 0) {
            return -1;
        }
        total += error;
    }
    return std::sqrt(total / (3.0 * static_cast<double>(taken_.size())));
}

double PixelBudget::even_noise() const {
    if (taken_.empty()) {
        return -1;
    }
    double counts[2];
    sample_counts(0, counts);
    return estimate_noise(halves_[0], halves_[1], counts);
}

// Each pixel's spread of a sample's display value (its error times the
// square root of its count), widened to the largest of its 3x3 neighbours.
std::vector<float> PixelBudget::spreads() const {
    std::vector<float> own(taken_.size());
    for (std::size_t i = 0; i < own.size(); ++i) {
        own[i] = static_cast<float>(std::sqrt(std::max(0.0, squared_error(i)) / 3 * taken_[i]));
    }
    std::vector<float> wide(own.size());
    for (int y = 0; y < height_; ++y) {
        for (int x = 0; x < width_; ++x) {
            float most = 0;
            for (int v = std::max(0, y - 1); v <= std::min(height_ - 1, y + 1); ++v) {
                for (int u = std::max(0, x - 1); u <= std::min(width_ - 1, x + 1); ++u) {
                    most = std::max(most, own[static_cast<std::size_t>(v) * width_ + u]);
                }
            }
            wide[static_cast<std::size_t>(y) * width_ + x] = most;
        }
    }
    return wide;
}

bool PixelBudget::share(uint64_t units, double target) {
    if (noise() < 0) { // some pixel cannot tell its error yet
        share_evenly(static_cast<uint32_t>(units / taken_.size()));
        share_by(units % taken_.size(), std::vector<float>(taken_.size(), 1.0f));
        return true;
    }
    std::vector<float> weights = spreads();
    double mean = 0;
    for (float w : weights) {
        mean += w;
    }
    const auto floor = static_cast<float>(kLeastShare * mean / static_cast<double>(weights.size()));
    bool any = false;
    for (std::size_t i = 0; i < weights.size(); ++i) {
        const bool done = target > 0 && weights[i] < target * std::sqrt(taken_[i]);
        weights[i] = done ? 0.0f : std::max(weights[i], floor);
        any = any || weights[i] > 0;
    }
    if (!any) {
        if (target > 0) {
            return false;
        }
        std::fill(weights.begin(), weights.end(), 1.0f); // nothing varies: evenly
    }
    share_by(units, weights);
    return true;
}

// Adds to each pixel's share its part of `units` by weight, rounding the
// running total down: the shares add up to `units` exactly.
void PixelBudget::share_by(uint64_t units, const std::vector<float> &weights) {
    double total = 0;
    for (float w : weights) {
        total += w;
    }
    double running = 0;
    uint64_t given = 0;
    for (std::size_t i = 0; i < weights.size(); ++i) {
        running += weights[i];
        uint64_t upto = i + 1 == weights.size()
                            ? units
                            : std::min(units, static_cast<uint64_t>(static_cast<double>(units) *
                                                                    running / total));
        pass_[i] += static_cast<uint32_t>((upto - given) * unit_);
        given = upto;
    }
}

Framebuffer PixelBudget::image() const {
    Framebuffer image;
    image.width = width_;
    image.height = height_;
    image.rgb.resize(halves_[0].size());
    for (std::size_t k = 0; k < image.rgb.size(); ++k) {
        const auto samples = static_cast<float>(taken_[k / 3]);
        image.rgb[k] = finite_value((halves_[0][k] + halves_[1][k]) / samples);
    }
    return image;
}

} // namespace oska::render
