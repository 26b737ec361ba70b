#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "image/ColorModel.h"

namespace {

TEST(Hsv16, WorkedExamples) {
    const uint16_t cases[][4] = {{65535, 0, 0, 0},      {65535, 65535, 0, 10922},
                                 {0, 65535, 0, 21844},  {0, 65535, 65535, 32766},
                                 {0, 0, 65535, 43688},  {65535, 0, 65535, 54613},
                                 {65535, 0, 100, 65519}};
    for (const auto& c : cases) {
        uint16_t h = 1, s = 1, v = 1;
        RgbToHsv16(c[0], c[1], c[2], &h, &s, &v);
        EXPECT_EQ(h, c[3]) << c[0] << " " << c[1] << " " << c[2];
        EXPECT_EQ(s, 65534);
        EXPECT_EQ(v, 65535);
    }
    for (uint16_t grey : {0, 1, 65535}) {
        uint16_t h = 1, s = 1, v = 1;
        RgbToHsv16(grey, grey, grey, &h, &s, &v);
        EXPECT_EQ(h + s, 0);
        EXPECT_EQ(v, grey);
    }
    uint16_t r = 1, g = 1, b = 1;
    HsvToRgb16(0, 65534, 65535, &r, &g, &b);
    EXPECT_EQ(r * 1000000000ull + g * 100000ull + b, 65535000000000ull);
    HsvToRgb16(33000, 0, 4321, &r, &g, &b);
    EXPECT_EQ(r * 1000000000ull + g * 100000ull + b, 4321 * 1000100001ull);
    // The top hues fall a sliver into the red sector again: green (65534 / 10922 - 6) x 65535.
    HsvToRgb16(65534, 65534, 65535, &r, &g, nullptr);
    EXPECT_EQ(r, 65535);
    EXPECT_EQ(g, 12);
}

// Against the same model evaluated in doubles, and back: the first largest channel (the one
// the hue is measured from) returns exactly, the others within the quantisation. One hue unit
// moves a channel by (max - min) / 10922; hues below red wrap at 65535 but are read back in
// sectors of 10922, which costs up to three more units.
TEST(Hsv16, RandomColoursAgainstTheContinuousModelAndBack) {
    std::mt19937 rng(17);
    std::uniform_int_distribution<int> channel(0, 65535);
    for (int i = 0; i < 300000; ++i) {
        // Every third colour from a narrow range so that ties between channels occur.
        const int span = i % 3 ? 65535 : 3;
        const int in[3] = {channel(rng) % (span + 1), channel(rng) % (span + 1),
                           channel(rng) % (span + 1)};
        uint16_t h, s, v;
        RgbToHsv16(static_cast<uint16_t>(in[0]), static_cast<uint16_t>(in[1]),
                   static_cast<uint16_t>(in[2]), &h, &s, &v);
        const int max = std::max({in[0], in[1], in[2]});
        const double d = max - std::min({in[0], in[1], in[2]});
        ASSERT_EQ(v, max);
        if (d == 0) {
            ASSERT_EQ(h + s, 0);
            continue;
        }
        double hue;
        if (in[0] == max) {
            hue = (in[1] - in[2]) / d * 10922.0;
            if (hue < 0.0) hue += 65535.0;
        } else if (in[1] == max) {
            hue = (in[2] - in[0]) / d * 10922.0 + 21844.0;
        } else {
            hue = (in[0] - in[1]) / d * 10922.0 + 43688.0;
        }
        const double hueError = std::fabs(h - hue);
        ASSERT_LT(std::min(hueError, 65535.0 - hueError), 1.0) << in[0] << " " << in[1];
        ASSERT_NEAR(s, d / max * 65534.0, 1.0);

        uint16_t out[3];
        HsvToRgb16(h, s, v, &out[0], &out[1], &out[2]);
        const int first = in[0] == max ? 0 : in[1] == max ? 1 : 2;
        ASSERT_EQ(out[first], max) << in[0] << " " << in[1] << " " << in[2];
        for (int c = 0; c < 3; ++c) {
            ASSERT_LE(std::abs(out[c] - in[c]), 4.0 * d / 10922.0 + 2.0) << in[0] << " " << in[1];
        }
    }
}

TEST(XyzAndLab, WhitePointsAndClamping) {
    double x, y, z, l, a, b;
    SrgbToXyz(1.0, 1.0, 1.0, &x, &y, &z);
    EXPECT_NEAR(x, 0.9505, 1e-4);
    EXPECT_NEAR(y, 1.0, 1e-6);
    EXPECT_NEAR(z, 1.0888, 1e-4);
    double y32 = 0;
    Rgb32ToXyz(4294967295u, 4294967295u, 4294967295u, nullptr, &y32, nullptr);
    EXPECT_EQ(y32, y);
    SrgbToXyz(0.04, 0.04, 0.04, nullptr, &y, nullptr);  // linear segment
    EXPECT_NEAR(y, 0.04 / 12.92, 1e-9);
    SrgbToXyz(0.5, 0.5, 0.5, nullptr, &y, nullptr);  // power segment
    EXPECT_NEAR(y, 0.21404, 1e-4);

    // White from the matrix is L* 100 with a residual chroma of a few thousandths; the D65
    // white point itself has none.
    SrgbToXyz(1.0, 1.0, 1.0, &x, &y, &z);
    EXPECT_EQ(XyzToLab(x, y, z, &l, &a, &b), 1);
    EXPECT_NEAR(l, 100.0, 1e-4);
    EXPECT_TRUE(std::fabs(a) < 0.02 && std::fabs(b) < 0.02 && (a != 0.0 || b != 0.0));
    XyzToLab(0.950489, 1.0, 1.08884, &l, &a, &b);
    EXPECT_NEAR(l + std::fabs(a) + std::fabs(b), 100.0, 1e-9);
    XyzToLab(0.0, 0.001, 0.0, &l, nullptr, nullptr);  // linear branch: 903.3 x Y
    EXPECT_NEAR(l, 0.9033, 1e-3);

    double r, g;
    XyzToSrgb(2.0, 2.0, 2.0, &r, &g, &b);
    EXPECT_EQ(r + g + b, 3.0);
    XyzToSrgb(0.0, 0.0, 1.0, &r, &g, &b);  // pure Z: red below 0, blue above 1
    EXPECT_EQ(r, 0.0);
    EXPECT_EQ(b, 1.0);
    XyzToSrgb(NAN, 0.0, 0.0, &r, &g, &b);
    EXPECT_EQ(r, 0.0);
    uint32_t r32, g32, b32;
    XyzToRgb32(2.0, 2.0, 2.0, &r32, &g32, &b32);
    EXPECT_EQ(r32 & g32 & b32, 4294967295u);
}

TEST(XyzAndLab, RoundTrips) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 10000; ++i) {
        const double in[3] = {unit(rng), unit(rng) * (i % 2 ? 1.0 : 0.01), unit(rng)};
        double x, y, z, l, a, b, out[3];
        SrgbToXyz(in[0], in[1], in[2], &x, &y, &z);
        XyzToSrgb(x, y, z, &out[0], &out[1], &out[2]);
        for (int c = 0; c < 3; ++c) ASSERT_NEAR(out[c], in[c], 2e-6);
        XyzToLab(in[0], in[1], in[2], &l, &a, &b);  // small Y: mostly the linear branch
        LabToXyz(l, a, b, &out[0], &out[1], &out[2]);
        for (int c = 0; c < 3; ++c) ASSERT_NEAR(out[c], in[c], 1e-12);
    }
}

}  // namespace
