#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>

#include "image/ColorModel.h"

namespace {

struct Hsv {
    uint16_t h, s, v;
};

Hsv ToHsv(uint16_t r, uint16_t g, uint16_t b) {
    Hsv out{1, 1, 1};
    RgbToHsv16(r, g, b, &out.h, &out.s, &out.v);
    return out;
}

TEST(RgbToHsv16, PrimaryAndSecondaryHues) {
    const struct {
        uint16_t r, g, b, hue;
    } cases[] = {{65535, 0, 0, 0},         {65535, 65535, 0, 10922}, {0, 65535, 0, 21844},
                 {0, 65535, 65535, 32766}, {0, 0, 65535, 43688},     {65535, 0, 65535, 54613},
                 {65535, 0, 100, 65519}};
    for (const auto& c : cases) {
        const Hsv hsv = ToHsv(c.r, c.g, c.b);
        EXPECT_EQ(hsv.h, c.hue) << c.r << " " << c.g << " " << c.b;
        EXPECT_EQ(hsv.s, 65534);
        EXPECT_EQ(hsv.v, 65535);
    }
    for (uint16_t grey : {0, 1, 32768, 65535}) {
        const Hsv hsv = ToHsv(grey, grey, grey);
        EXPECT_EQ(hsv.h, 0);
        EXPECT_EQ(hsv.s, 0);
        EXPECT_EQ(hsv.v, grey);
    }
    uint16_t v = 0;
    RgbToHsv16(10, 20, 30, nullptr, nullptr, &v);
    EXPECT_EQ(v, 30);
}

// The integer model against the same model evaluated in doubles: hue within one unit, saturation
// within one unit of (max - min) / max x 65534, never 65535.
TEST(RgbToHsv16, AgreesWithTheContinuousModelOnRandomColours) {
    std::mt19937 rng(17);
    std::uniform_int_distribution<int> channel(0, 65535);
    for (int i = 0; i < 200000; ++i) {
        const int r = channel(rng), g = channel(rng), b = channel(rng);
        const Hsv hsv =
            ToHsv(static_cast<uint16_t>(r), static_cast<uint16_t>(g), static_cast<uint16_t>(b));
        const int max = std::max({r, g, b});
        const int min = std::min({r, g, b});
        ASSERT_EQ(hsv.v, max);
        ASSERT_LT(hsv.h, 65535);
        if (max == min) {
            ASSERT_EQ(hsv.h, 0);
            ASSERT_EQ(hsv.s, 0);
            continue;
        }
        // Sixths of the circle are 10922 units, but negative red-sector hues wrap at 65535.
        const double d = max - min;
        double expectedHue;
        if (r == max) {
            expectedHue = (g - b) / d * 10922.0;
            if (expectedHue < 0.0) expectedHue += 65535.0;
        } else if (g == max) {
            expectedHue = (b - r) / d * 10922.0 + 21844.0;
        } else {
            expectedHue = (r - g) / d * 10922.0 + 43688.0;
        }
        double diff = std::fabs(hsv.h - expectedHue);
        diff = std::min(diff, 65535.0 - diff);  // 0 and 65534.x are neighbours
        ASSERT_LT(diff, 1.0) << r << " " << g << " " << b << " -> " << hsv.h;
        ASSERT_NEAR(hsv.s, d / max * 65534.0, 1.0) << r << " " << g << " " << b;
    }
}

TEST(HsvToRgb16, ExamplesAndRoundTripsOfRandomColours) {
    uint16_t r = 1, g = 1, b = 1;
    HsvToRgb16(0, 65534, 65535, &r, &g, &b);
    EXPECT_EQ(r, 65535);
    EXPECT_EQ(g, 0);
    EXPECT_EQ(b, 0);
    for (uint16_t hue : {0, 10922, 33000, 65534}) {
        HsvToRgb16(hue, 0, 4321, &r, &g, &b);
        EXPECT_EQ(r, 4321);
        EXPECT_EQ(g, 4321);
        EXPECT_EQ(b, 4321);
    }
    // Hues at the very top wrap into the red sector, a sliver past its start: green is
    // (65534 / 10922 - 6) x 65535 = 12.
    HsvToRgb16(65534, 65534, 65535, &r, &g, &b);
    EXPECT_EQ(r, 65535);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(g, 12);
    // Full-scale saturation 65535 is above the model's range; channels must not wrap.
    HsvToRgb16(5000, 65535, 65535, &r, &g, &b);
    EXPECT_EQ(r, 65535);
    EXPECT_EQ(b, 0);

    // RGB16 -> HSV16 -> RGB16 keeps the first largest channel (the one the hue is measured
    // from) exactly and the others within the quantisation of hue and saturation. One hue unit
    // moves a channel by (max - min) / 10922; hues below red wrap at 65535 but are read back
    // with sectors of 10922, which costs up to three more units.
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> channel(0, 65535);
    for (int i = 0; i < 200000; ++i) {
        const uint16_t in[3] = {static_cast<uint16_t>(channel(rng)),
                                static_cast<uint16_t>(channel(rng)),
                                static_cast<uint16_t>(channel(rng))};
        const Hsv hsv = ToHsv(in[0], in[1], in[2]);
        uint16_t out[3];
        HsvToRgb16(hsv.h, hsv.s, hsv.v, &out[0], &out[1], &out[2]);
        const uint16_t max = std::max({in[0], in[1], in[2]});
        const uint16_t min = std::min({in[0], in[1], in[2]});
        const double bound = 4.0 * (max - min) / 10922.0 + 2.0;
        const int first = in[0] == max ? 0 : in[1] == max ? 1 : 2;
        ASSERT_EQ(out[first], max) << in[0] << " " << in[1] << " " << in[2];
        for (int c = 0; c < 3; ++c) {
            ASSERT_LE(std::abs(out[c] - in[c]), bound) << in[0] << " " << in[1] << " " << in[2];
        }
    }
}

TEST(Xyz, WhiteBlackAndTheThirtyTwoBitScale) {
    double x, y, z;
    SrgbToXyz(1.0, 1.0, 1.0, &x, &y, &z);
    EXPECT_NEAR(x, 0.9505, 1e-4);
    EXPECT_NEAR(y, 1.0, 1e-6);
    EXPECT_NEAR(z, 1.0888, 1e-4);
    double x32, y32, z32;
    Rgb32ToXyz(4294967295u, 4294967295u, 4294967295u, &x32, &y32, &z32);
    EXPECT_EQ(x32, x);
    EXPECT_EQ(z32, z);
    Rgb32ToXyz(0, 0, 0, &x, &y, &z);
    EXPECT_EQ(x + y + z, 0.0);

    // The linear segment: 0.04 / 12.92 weighted by the Y row sum.
    SrgbToXyz(0.04, 0.04, 0.04, nullptr, &y, nullptr);
    EXPECT_NEAR(y, 0.04 / 12.92, 1e-9);
    // The power segment: mid grey decodes to about 0.2140.
    SrgbToXyz(0.5, 0.5, 0.5, nullptr, &y, nullptr);
    EXPECT_NEAR(y, 0.21404, 1e-4);
}

TEST(Xyz, BackToSrgbInvertsAndClamps) {
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 10000; ++i) {
        const double in[3] = {unit(rng), unit(rng), unit(rng)};
        double x, y, z, out[3];
        SrgbToXyz(in[0], in[1], in[2], &x, &y, &z);
        XyzToSrgb(x, y, z, &out[0], &out[1], &out[2]);
        for (int c = 0; c < 3; ++c) ASSERT_NEAR(out[c], in[c], 2e-6);
    }
    double r, g, b;
    XyzToSrgb(2.0, 2.0, 2.0, &r, &g, &b);
    EXPECT_EQ(r + g + b, 3.0);
    XyzToSrgb(-0.5, -0.5, -0.5, &r, &g, &b);
    EXPECT_EQ(r + g + b, 0.0);
    XyzToSrgb(0.0, 0.0, 1.0, &r, &g, &b);  // pure Z is outside the gamut: red clamps to 0
    EXPECT_EQ(r, 0.0);
    EXPECT_EQ(b, 1.0);
    XyzToSrgb(NAN, 0.0, 0.0, &r, &g, &b);
    EXPECT_EQ(r, 0.0);

    uint32_t r32, g32, b32;
    XyzToRgb32(2.0, 2.0, 2.0, &r32, &g32, &b32);
    EXPECT_EQ(r32, 4294967295u);
    XyzToRgb32(-1.0, -1.0, -1.0, &r32, &g32, &b32);
    EXPECT_EQ(r32 | g32 | b32, 0u);
}

TEST(Lab, WhiteIsLightnessHundredWithSmallResidualChroma) {
    double x, y, z, l, a, b;
    SrgbToXyz(1.0, 1.0, 1.0, &x, &y, &z);
    EXPECT_EQ(XyzToLab(x, y, z, &l, &a, &b), 1);
    EXPECT_NEAR(l, 100.0, 1e-4);
    EXPECT_LT(std::fabs(a), 0.02);
    EXPECT_LT(std::fabs(b), 0.02);
    EXPECT_TRUE(a != 0.0 || b != 0.0);

    // The D65 white point itself has no chroma at all.
    XyzToLab(0.950489, 1.0, 1.08884, &l, &a, &b);
    EXPECT_NEAR(l, 100.0, 1e-9);
    EXPECT_NEAR(a, 0.0, 1e-9);
    EXPECT_NEAR(b, 0.0, 1e-9);

    // Dark values take the linear branch: Y = 0.001 gives L* = 903.3 x Y.
    XyzToLab(0.0, 0.001, 0.0, &l, nullptr, nullptr);
    EXPECT_NEAR(l, 0.9033, 1e-3);
}

TEST(Lab, RoundTripsOnBothBranches) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> unit(0.0, 1.1);
    for (int i = 0; i < 10000; ++i) {
        const double in[3] = {unit(rng), unit(rng) * (i % 2 ? 1.0 : 0.005), unit(rng)};
        double l, a, b, out[3];
        XyzToLab(in[0], in[1], in[2], &l, &a, &b);
        EXPECT_EQ(LabToXyz(l, a, b, &out[0], &out[1], &out[2]), 1);
        for (int c = 0; c < 3; ++c) ASSERT_NEAR(out[c], in[c], 1e-12);
    }
}

}  // namespace
