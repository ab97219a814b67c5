// The colour helpers: exact single-precision results where the arithmetic
// settles them, a tolerance only where rounding is meant.
#include "color/color.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>

// Lets gtest print a colour in failure messages.
static std::ostream &operator<<(std::ostream &os, const oska_color &c) {
    return os << '(' << c.r << ", " << c.g << ", " << c.b << ", " << c.a << ')';
}

namespace {

using oska::burn_color;
using oska::color_blend;
using oska::gamma_pow;
using oska::hsv_to_rgb;
using oska::rgb_to_hsv;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Hues are products with the single-precision sixth (5 * sixth is one bit
// above 5.0f / 6).
constexpr float sixth = 1.0f / 6.0f;

std::uint32_t bits(float x) {
    std::uint32_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

// All four channels bit for bit: NaN payloads and signed zeros included.
void expect_same_bits(const oska_color &actual, const oska_color &expected) {
    EXPECT_EQ(bits(actual.r), bits(expected.r)) << actual << " vs " << expected;
    EXPECT_EQ(bits(actual.g), bits(expected.g)) << actual << " vs " << expected;
    EXPECT_EQ(bits(actual.b), bits(expected.b)) << actual << " vs " << expected;
    EXPECT_EQ(bits(actual.a), bits(expected.a)) << actual << " vs " << expected;
}

void expect_rgb_near(const oska_color &actual, float r, float g, float b, float tolerance) {
    EXPECT_NEAR(actual.r, r, tolerance);
    EXPECT_NEAR(actual.g, g, tolerance);
    EXPECT_NEAR(actual.b, b, tolerance);
}

// ---- rgb_to_hsv ------------------------------------------------------------

TEST(RgbToHsv, KnownColours) {
    struct Case {
        oska_color rgb, hsv;
    };
    const Case cases[] = {
        // Red, whose green and blue tie: the top of the circle, 1, not 0.
        {{1, 0, 0, 0.25f}, {1, 1, 1, 0.25f}},
        {{1, 1, 0, 0.5f}, {1 * sixth, 1, 1, 0.5f}},
        {{0, 1, 0, 0.75f}, {2 * sixth, 1, 1, 0.75f}},
        {{0, 1, 1, 1}, {3 * sixth, 1, 1, 1}},
        {{0, 0, 1, 0}, {4 * sixth, 1, 1, 0}},
        {{1, 0, 1, -2}, {5 * sixth, 1, 1, -2}},
        {{0.5f, 0.25f, 0.25f, 0.125f}, {1, 0.5f, 0.5f, 0.125f}},
        {{1, 0.5f, 0, 0.5f}, {1.0f / 12, 1, 1, 0.5f}},
        {{1, 0, 0.5f, 0.5f}, {11.0f / 12, 1, 1, 0.5f}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rgb);
        oska_color hsv;
        EXPECT_EQ(rgb_to_hsv(&hsv, &c.rgb), &hsv);
        expect_same_bits(hsv, c.hsv);
    }

    // 1/18 lands one bit below 1.0f / 18.
    const oska_color rgb = {0.5f, 0.25f, 0.125f, 1};
    oska_color hsv;
    rgb_to_hsv(&hsv, &rgb);
    EXPECT_FLOAT_EQ(hsv.r, 1.0f / 18);
    EXPECT_EQ(hsv.g, 0.75f);
    EXPECT_EQ(hsv.b, 0.5f);
    EXPECT_EQ(hsv.a, 1.0f);
}

TEST(RgbToHsv, GreysHaveNoHueNorSaturation) {
    for (float x : {0.0f, 0.2f, 1.0f, 3.0f}) {
        const oska_color grey = {x, x, x, 0.75f};
        oska_color hsv;
        rgb_to_hsv(&hsv, &grey);
        expect_same_bits(hsv, {0, 0, x, 0.75f});
    }
    // On a tie the earlier channel stays: red's -0 is the value.
    const oska_color black = {-0.0f, 0.0f, 0.0f, 1};
    oska_color hsv;
    rgb_to_hsv(&hsv, &black);
    expect_same_bits(hsv, {0, 0, -0.0f, 1});
}

TEST(RgbToHsv, NanChannelNeverReplacesTheExtremes) {
    // Past a NaN green or blue, red stays the largest and the other the
    // smallest: value and saturation are still theirs.
    for (const oska_color &rgb :
         {oska_color{0.5f, kNaN, 0.25f, 1}, oska_color{0.5f, 0.25f, kNaN, 1}}) {
        SCOPED_TRACE(rgb);
        oska_color hsv;
        rgb_to_hsv(&hsv, &rgb);
        EXPECT_EQ(hsv.g, 0.5f);
        EXPECT_EQ(hsv.b, 0.5f);
    }
}

// ---- hsv_to_rgb ------------------------------------------------------------

struct HueCase {
    float hue;
    float r, g, b;
};

TEST(HsvToRgb, EachSectorOfTheCircle) {
    // Full saturation and value: p = 0 and q follows the place in the sector.
    const HueCase cases[] = {
        {0, 1, 0, 0},
        {0.0625f, 1, 0.375f, 0},
        {0.125f, 1, 0.75f, 0},
        // 6 x 0.16666667f rounds to exactly 1: sector 1, yellow.
        {1 * sixth, 1, 1, 0},
        {0.25f, 0.5f, 1, 0},
        {2 * sixth, 0, 1, 0},
        {0.375f, 0, 1, 0.25f},
        {0.5f, 0, 1, 1},
        {0.625f, 0, 0.25f, 1},
        {4 * sixth, 0, 0, 1},
        {0.75f, 0.5f, 0, 1},
        {0.875f, 1, 0, 0.75f},
        // The last sixth reads as the first.
        {1, 1, 0, 0},
        {1.0625f, 1, 0.375f, 0},
        {1.125f, 1, 0.75f, 0},
        // Its fraction comes from 6 x hue (6.6000004), not from the hue less
        // 1 (which would give 0.60000014).
        {1.1f, 1, 1.1f * 6 - 6, 0},
    };
    for (const HueCase &c : cases) {
        SCOPED_TRACE(c.hue);
        const oska_color hsv = {c.hue, 1, 1, 0.625f};
        oska_color rgb;
        EXPECT_EQ(hsv_to_rgb(&rgb, &hsv), &rgb);
        expect_same_bits(rgb, {c.r, c.g, c.b, 0.625f});
    }
}

TEST(HsvToRgb, ZeroSaturationIsGrey) {
    for (float hue : {0.0f, 0.1f, 1 * sixth, 0.5f, 0.99f, 1.0f, 1.1f}) {
        SCOPED_TRACE(hue);
        const oska_color hsv = {hue, 0, 0.3f, 0.5f};
        oska_color rgb;
        hsv_to_rgb(&rgb, &hsv);
        expect_same_bits(rgb, {0.3f, 0.3f, 0.3f, 0.5f});
    }
}

TEST(HsvToRgb, HuesOffTheFirstTurnWrapAroundTheCircle) {
    // Half saturation: p = 0.5 tells p from q and from the value.
    const HueCase cases[] = {
        {-0.0f, 1, 0.5f, 0.5f},
        {-1e-9f, 1, 0.5f, 0.5f}, // wraps to just under 1, which rounds to 1
        {-0.25f, 0.75f, 0.5f, 1},
        {-0.5f, 0.5f, 1, 1},
        {-2.75f, 0.75f, 1, 0.5f},
        {-7, 1, 0.5f, 0.5f},
        {1.25f, 0.75f, 1, 0.5f}, // 6 x hue = 7.5, past the last sixth
        {2, 1, 0.5f, 0.5f},
        {1e30f, 1, 0.5f, 0.5f},
        {-1e30f, 1, 0.5f, 0.5f},
        {3e38f, 1, 0.5f, 0.5f}, // 6 x hue overflows
        // No place on the circle: taken as hue 0.
        {kNaN, 1, 0.5f, 0.5f},
        {kInf, 1, 0.5f, 0.5f},
        {-kInf, 1, 0.5f, 0.5f},
    };
    for (const HueCase &c : cases) {
        SCOPED_TRACE(c.hue);
        const oska_color hsv = {c.hue, 0.5f, 1, 0.375f};
        oska_color rgb = {-7, -7, -7, -7}; // every channel must be written
        hsv_to_rgb(&rgb, &hsv);
        expect_same_bits(rgb, {c.r, c.g, c.b, 0.375f});
    }

    // 7/6 makes 6 x hue exactly 7 and wraps to a hair below 1/6: yellow.
    const oska_color hsv = {7.0f / 6, 0.5f, 1, 0.375f};
    oska_color rgb;
    hsv_to_rgb(&rgb, &hsv);
    expect_rgb_near(rgb, 1, 1, 0.5f, 1e-6f);
    EXPECT_EQ(rgb.a, 0.375f);
}

TEST(HsvToRgb, RoundTripOverEveryEightBitColour) {
    // Back within rounding in red, green and blue, alpha exact, and the hue
    // in between never leaves [0, 1].
    float level[256];
    for (int i = 0; i < 256; ++i)
        level[i] = i / 255.0f;
    const auto close = [](float a, float b) { return std::fabs(a - b) <= 1e-6f; };
    long failures = 0;
    for (int r = 0; r < 256; ++r) {
        for (int g = 0; g < 256; ++g) {
            for (int b = 0; b < 256; ++b) {
                const oska_color rgb = {level[r], level[g], level[b], level[r ^ b]};
                oska_color hsv, back;
                rgb_to_hsv(&hsv, &rgb);
                hsv_to_rgb(&back, &hsv);
                if (!close(back.r, rgb.r) || !close(back.g, rgb.g) || !close(back.b, rgb.b) ||
                    back.a != rgb.a || !(hsv.r >= 0 && hsv.r <= 1)) {
                    if (++failures <= 5)
                        ADD_FAILURE() << rgb << " -> " << hsv << " -> " << back;
                }
            }
        }
    }
    EXPECT_EQ(failures, 0);
}

TEST(ColorConversion, ResultMayBeTheInput) {
    for (const oska_color &c : {oska_color{0.5f, 0.25f, 0.125f, 0.5f},
                                oska_color{0.2f, 0.9f, 0.4f, 1}, oska_color{0.7f, 0.1f, 0.6f, 0}}) {
        SCOPED_TRACE(c);
        oska_color hsv, rgb;
        rgb_to_hsv(&hsv, &c);
        hsv_to_rgb(&rgb, &hsv);

        oska_color in_place = c;
        EXPECT_EQ(rgb_to_hsv(&in_place, &in_place), &in_place);
        expect_same_bits(in_place, hsv);
        EXPECT_EQ(hsv_to_rgb(&in_place, &in_place), &in_place);
        expect_same_bits(in_place, rgb);
    }
}

// ---- gamma_pow -------------------------------------------------------------

TEST(GammaPow, GammaOneIsIdentityAndTwoIsSquareRoot) {
    for (float x : {0.0f, 1e-20f, 0.25f, 0.3f, 1.0f, 7.5f, 1e10f}) {
        EXPECT_EQ(gamma_pow(x, 1), x) << x;
        EXPECT_EQ(gamma_pow(x, 2), std::sqrt(x)) << x;
    }
}

TEST(GammaPow, ZeroGammaMeansOneThousandth) {
    for (float zero : {0.0f, -0.0f}) {
        SCOPED_TRACE(zero);
        EXPECT_EQ(gamma_pow(0.5f, zero), 0.0f); // 0.5 to about 1000
        EXPECT_EQ(gamma_pow(1, zero), 1.0f);
        // The exponent is the single-precision 1 / 0.001f = 999.99994, not
        // 1000: for 1.05 the two results are some fifty bits apart.
        EXPECT_EQ(gamma_pow(1.05f, zero), gamma_pow(1.05f, 0.001f));
        EXPECT_EQ(gamma_pow(1.05f, zero), static_cast<float>(std::pow(1.05f, 999.99993896484375)));
        EXPECT_NE(gamma_pow(1.05f, zero), static_cast<float>(std::pow(1.05f, 1000.0)));
    }
    // NaN is no zero: it stays and poisons the result.
    EXPECT_TRUE(std::isnan(gamma_pow(0.5f, kNaN)));
}

// ---- color_blend -----------------------------------------------------------

TEST(ColorBlend, WeightOutsideTheOpenIntervalCopiesAColour) {
    const oska_color first = {0.1f, -0.2f, kInf, 0.4f};
    const oska_color second = {5, kNaN, 7, -8};
    for (float t : {0.0f, -0.0f, -1.0f, -kInf, 1.0f, 2.0f, kInf}) {
        SCOPED_TRACE(t);
        oska_color result;
        EXPECT_EQ(color_blend(&result, &first, &second, t), &result);
        expect_same_bits(result, t <= 0 ? first : second);
    }
}

TEST(ColorBlend, WeightInsideInterpolatesEveryChannel) {
    const oska_color first = {0, 1, 2, 0};
    const oska_color second = {4, 1, -2, 1};
    const oska_color quarter = {1, 1, 1, 0.25f};
    oska_color result;
    color_blend(&result, &first, &second, 0.25f);
    expect_same_bits(result, quarter);

    // The result may be either input.
    oska_color a = first, b = second;
    EXPECT_EQ(color_blend(&a, &a, &second, 0.25f), &a);
    expect_same_bits(a, quarter);
    EXPECT_EQ(color_blend(&b, &first, &b, 0.25f), &b);
    expect_same_bits(b, quarter);

    color_blend(&result, &first, &second, kNaN);
    for (float channel : {result.r, result.g, result.b, result.a})
        EXPECT_TRUE(std::isnan(channel));
}

// ---- burn_color ------------------------------------------------------------

TEST(BurnColor, LeavesTheColourAloneWhenNotBrightening) {
    struct Case {
        const char *why;
        oska_color colour;
        float multiplier, threshold;
    };
    const Case cases[] = {
        {"multiplier exactly 1", {1, 1, 1, 0.5f}, 1, 0},
        {"darkening multiplier", {1, 1, 1, 0.5f}, 0.5f, 0},
        {"NaN multiplier", {1, 1, 1, 0.5f}, kNaN, 0},
        {"luminance equal to threshold", {0.5f, 0.5f, 0.5f, 0.5f}, 2, 0.5f},
        {"luminance below threshold", {0.5f, 0.5f, 0.5f, 0.5f}, 2, 0.6f},
        {"NaN threshold", {0.5f, 0.5f, 0.5f, 0.5f}, 2, kNaN},
        {"NaN luminance", {kNaN, 0.5f, 0.5f, 0.5f}, 2, 0},
        // A threshold above 1 turns the ratio, and the factor, negative.
        {"negative factor", {3, 3, 3, 0.5f}, 2, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        oska_color colour = c.colour;
        burn_color(&colour, c.multiplier, c.threshold, 1);
        expect_same_bits(colour, c.colour);
    }
}

TEST(BurnColor, PushesTowardsTheScaledCopy) {
    struct Case {
        oska_color colour;
        float multiplier, threshold, power;
        float r, g, b, tolerance;
    };
    const Case cases[] = {
        // Greys of luminance 1, 0.5 and 2 come out exact: factors 1, 0.5,
        // 0.25, and 3 (a plain copy of the scaled colour).
        {{1, 1, 1, 0.5f}, 2, 0, 1, 2, 2, 2, 0},
        {{0.5f, 0.5f, 0.5f, 0.5f}, 2, 0, 1, 0.75f, 0.75f, 0.75f, 0},
        {{0.5f, 0.5f, 0.5f, 0.5f}, 2, 0, 2, 0.625f, 0.625f, 0.625f, 0},
        {{2, 2, 2, 0.5f}, 1.5f, 0.5f, 1, 3, 3, 3, 0},
        // Factor 0.5 from a threshold.
        {{0.8f, 0.8f, 0.8f, 0.5f}, 3, 0.6f, 1, 1.6f, 1.6f, 1.6f, 1e-6f},
        // Luminance 0.075 + 0.11 + 0.295 = 0.48: each channel weighs differently.
        {{0.25f, 0.5f, 1, 0.5f}, 2, 0, 1, 0.37f, 0.74f, 1.48f, 1e-6f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.colour);
        oska_color colour = c.colour;
        burn_color(&colour, c.multiplier, c.threshold, c.power);
        expect_rgb_near(colour, c.r, c.g, c.b, c.tolerance);
    }
}

TEST(BurnColor, NeverChangesAlpha) {
    // Blending (power 1: factor 0.5), copying (power 0: factor 1) and a NaN
    // factor, with alphas that blending alpha with itself would not keep.
    for (float power : {1.0f, 0.0f, kNaN}) {
        for (float alpha : {0.3f, -0.0f, kInf, -kInf, kNaN}) {
            SCOPED_TRACE(::testing::Message() << "power " << power << " alpha " << alpha);
            oska_color colour = {0.5f, 0.5f, 0.5f, alpha};
            burn_color(&colour, 2, 0, power);
            EXPECT_EQ(bits(colour.a), bits(alpha));
        }
    }
}

} // namespace
