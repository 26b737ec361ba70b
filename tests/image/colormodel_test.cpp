#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>

#include "image/ColorModel.h"

namespace {

using Trio = std::array<uint16_t, 3>;

Trio Hsv(int r, int g, int b) {
    Trio hsv{1, 1, 1};
    RgbToHsv16(static_cast<uint16_t>(r), static_cast<uint16_t>(g), static_cast<uint16_t>(b),
               &hsv[0], &hsv[1], &hsv[2]);
    return hsv;
}

Trio Rgb(int h, int s, int v) {
    Trio rgb{1, 1, 1};
    HsvToRgb16(static_cast<uint16_t>(h), static_cast<uint16_t>(s), static_cast<uint16_t>(v),
               &rgb[0], &rgb[1], &rgb[2]);
    return rgb;
}

TEST(Hsv16, WorkedExamples) {
    // Red, yellow (R = G takes the red branch), green, cyan, blue, magenta, red with some blue.
    const int cases[][4] = {{65535, 0, 0, 0},      {65535, 65535, 0, 10922},
                            {0, 65535, 0, 21844},  {0, 65535, 65535, 32766},
                            {0, 0, 65535, 43688},  {65535, 0, 65535, 54613},
                            {65535, 0, 100, 65519}};
    for (const auto& c : cases) {
        EXPECT_EQ(Hsv(c[0], c[1], c[2]), (Trio{uint16_t(c[3]), 65534, 65535})) << c[3];
    }
    for (int grey : {0, 1, 65535}) EXPECT_EQ(Hsv(grey, grey, grey), (Trio{0, 0, uint16_t(grey)}));
    EXPECT_EQ(Rgb(0, 65534, 65535), (Trio{65535, 0, 0}));
    EXPECT_EQ(Rgb(33000, 0, 4321), (Trio{4321, 4321, 4321}));
    // The top hues fall a sliver into the red sector again: green (65534 / 10922 - 6) x 65535.
    EXPECT_EQ(Rgb(65534, 65534, 65535), (Trio{65535, 12, 0}));
}

// Against the same model evaluated in doubles, and back: the first largest channel (the one
// the hue is measured from) returns exactly, the others within the quantisation. One hue unit
// moves a channel by (max - min) / 10922; hues below red wrap at 65535 but are read back in
// sectors of 10922, which costs up to three more units.
TEST(Hsv16, RandomColoursAgainstTheContinuousModelAndBack) {
    std::mt19937 rng(17);
    for (int i = 0; i < 300000; ++i) {
        // Every third colour from a narrow range so that ties between channels occur.
        const int span = i % 3 ? 65536 : 4;
        const int in[3] = {int(rng() % span), int(rng() % span), int(rng() % span)};
        const Trio hsv = Hsv(in[0], in[1], in[2]);
        const int max = std::max({in[0], in[1], in[2]});
        const double d = max - std::min({in[0], in[1], in[2]});
        ASSERT_EQ(hsv[2], max);
        if (d == 0) {
            ASSERT_EQ(hsv[0] + hsv[1], 0);
            continue;
        }
        const int first = in[0] == max ? 0 : in[1] == max ? 1 : 2;
        double hue = (in[(first + 1) % 3] - in[(first + 2) % 3]) / d * 10922.0 + first * 21844.0;
        if (hue < 0.0) hue += 65535.0;
        const double hueError = std::fabs(hsv[0] - hue);
        ASSERT_LT(std::min(hueError, 65535.0 - hueError), 1.0) << in[0] << " " << in[1];
        ASSERT_NEAR(hsv[1], d / max * 65534.0, 1.0);

        const Trio out = Rgb(hsv[0], hsv[1], hsv[2]);
        ASSERT_EQ(out[first], max) << in[0] << " " << in[1] << " " << in[2];
        for (int c = 0; c < 3; ++c) {
            ASSERT_LE(std::abs(out[c] - in[c]), 4.0 * d / 10922.0 + 2.0) << in[0] << " " << in[1];
        }
    }
}

TEST(XyzAndLab, WhitePointsAndClamping) {
    double x, y, z, l, a, b;
    SrgbToXyz(1.0, 1.0, 1.0, &x, &y, &z);
    EXPECT_TRUE(std::fabs(x - 0.9505) < 1e-4 && std::fabs(y - 1.0) < 1e-6 &&
                std::fabs(z - 1.0888) < 1e-4);
    double y32 = 0;
    Rgb32ToXyz(4294967295u, 4294967295u, 4294967295u, nullptr, &y32, nullptr);
    EXPECT_EQ(y32, y);
    // White from the matrix is L* 100 with a residual chroma of a few thousandths; the D65
    // white point itself has none.
    EXPECT_EQ(XyzToLab(x, y, z, &l, &a, &b), 1);
    EXPECT_NEAR(l, 100.0, 1e-4);
    EXPECT_TRUE(std::fabs(a) < 0.02 && std::fabs(b) < 0.02 && (a != 0.0 || b != 0.0));
    XyzToLab(0.950489, 1.0, 1.08884, &l, &a, &b);
    EXPECT_NEAR(l + std::fabs(a) + std::fabs(b), 100.0, 1e-9);
    XyzToLab(0.0, 0.001, 0.0, &l, nullptr, nullptr);  // linear branch: 903.3 x Y
    EXPECT_NEAR(l, 0.9033, 1e-3);
    SrgbToXyz(0.04, 0.04, 0.04, nullptr, &y, nullptr);  // linear segment
    EXPECT_NEAR(y, 0.04 / 12.92, 1e-9);
    SrgbToXyz(0.5, 0.5, 0.5, nullptr, &y, nullptr);  // power segment
    EXPECT_NEAR(y, 0.21404, 1e-4);

    double r, g;
    XyzToSrgb(0.0, 0.0, 1.0, &r, &g, &b);  // pure Z: red below 0, blue above 1
    EXPECT_TRUE(r == 0.0 && b == 1.0);
    XyzToSrgb(NAN, 0.0, 0.0, &r, &g, &b);
    EXPECT_EQ(r, 0.0);
    uint32_t rgb32[3];
    XyzToRgb32(2.0, 2.0, 2.0, &rgb32[0], &rgb32[1], &rgb32[2]);
    EXPECT_EQ(rgb32[0] & rgb32[1] & rgb32[2], 4294967295u);
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
