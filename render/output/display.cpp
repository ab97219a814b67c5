#include "display.h"

#include <algorithm>
#include <cmath>

namespace oska::render {

float tone_map(float value) {
    constexpr float knee = tone_knee;
    if (!(value > 0)) {
        return 0;
    }
    if (value <= knee) {
        return value;
    }
    return knee + (1 - knee) * (1 - std::exp(-(value - knee) / (1 - knee)));
}

float linear_to_srgb(float value) {
    if (value <= 0.0031308f) {
        return 12.92f * std::max(value, 0.0f);
    }
    return 1.055f * std::pow(std::min(value, 1.0f), 1 / 2.4f) - 0.055f;
}

uint8_t display_value(float radiance) {
    float encoded = linear_to_srgb(tone_map(radiance));
    return static_cast<uint8_t>(std::lround(std::clamp(encoded, 0.0f, 1.0f) * 255.0f));
}

} // namespace oska::render
