// The colour model: 16-bit HSV from and to RGB, and sRGB, XYZ and L*a*b*.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>

#include "image/ColorModel.h"

using Trio = std::array<uint16_t, 3>;

using PixelFn = void (*)(uint16_t, uint16_t, uint16_t, uint16_t*, uint16_t*, uint16_t*);

Trio Apply(PixelFn convert, int a, int b, int c) {
    Trio out{1, 1, 1};
    convert(uint16_t(a), uint16_t(b), uint16_t(c), &out[0], &out[1], &out[2]);
    return out;
}

TEST(Hsv16, WorkedExamples) {
    // Red, yellow (R = G takes the red branch), green, cyan, blue, magenta, red with some blue.
    const int cases[][4] = {{65535, 0, 0, 0},      {65535, 65535, 0, 10922},
                            {0, 65535, 0, 21844},  {0, 65535, 65535, 32766},
                            {0, 0, 65535, 43688},  {65535, 0, 65535, 54613},
                            {65535, 0, 100, 65519}};
    for (const auto& c : cases) {
        EXPECT_EQ(Apply(RgbToHsv16, c[0], c[1], c[2]), (Trio{uint16_t(c[3]), 65534, 65535}))
            << c[3];
    }
    // The top hues fall a sliver into the red sector again: green (65534 / 10922 - 6) x 65535.
    EXPECT_EQ(Apply(HsvToRgb16, 65534, 65534, 65535), (Trio{65535, 12, 0}));
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
        const Trio hsv = Apply(RgbToHsv16, in[0], in[1], in[2]);
        const int max = std::max({in[0], in[1], in[2]});
        const double d = max - std::min({in[0], in[1], in[2]});
        ASSERT_EQ(hsv[2], max);
        ASSERT_TRUE(d != 0 || hsv[0] + hsv[1] == 0) << in[0];
        if (d == 0) continue;
        const int first = in[0] == max ? 0 : in[1] == max ? 1 : 2;
        double hue = (in[(first + 1) % 3] - in[(first + 2) % 3]) / d * 10922.0 + first * 21844.0;
        if (hue < 0.0) hue += 65535.0;
        const double hueError = std::fabs(hsv[0] - hue);
        ASSERT_LT(std::min(hueError, 65535.0 - hueError), 1.0) << in[0] << " " << in[1];
        ASSERT_NEAR(hsv[1], d / max * 65534.0, 1.0);
        const Trio out = Apply(HsvToRgb16, hsv[0], hsv[1], hsv[2]);
        ASSERT_EQ(out[first], max) << in[0] << " " << in[1] << " " << in[2];
        for (int c = 0; c < 3; ++c)
            ASSERT_LE(std::abs(out[c] - in[c]), 4.0 * d / 10922.0 + 2.0) << in[0] << " " << in[1];
    }
}

// Known values (white, the D65 white point, the sRGB power segment) and the clamps; random
// colours there and back, through both segments and both L* branches.
TEST(XyzAndLab, KnownValuesClampsAndRoundTrips) {
    double x, y, z, l, a, b, r, g;
    SrgbToXyz(1.0, 1.0, 1.0, &x, &y, &z);
    EXPECT_TRUE(std::fabs(x - 0.9505) < 1e-4 && std::fabs(y - 1.0) < 1e-6 &&
                std::fabs(z - 1.0888) < 1e-4);
    XyzToLab(0.950489, 1.0, 1.08884, &l, &a, &b);
    EXPECT_NEAR(l + std::fabs(a) + std::fabs(b), 100.0, 1e-9);
    SrgbToXyz(0.5, 0.5, 0.5, nullptr, &y, nullptr);
    EXPECT_NEAR(y, 0.21404, 1e-4);
    XyzToSrgb(0.0, 0.0, 1.0, &r, &g, &b);  // pure Z: red below 0, blue above 1
    EXPECT_TRUE(r == 0.0 && b == 1.0);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 10000; ++i) {
        const double in[3] = {unit(rng), unit(rng) * (i % 2 ? 1.0 : 0.01), unit(rng)};
        double out[3];
        SrgbToXyz(in[0], in[1], in[2], &x, &y, &z);
        XyzToSrgb(x, y, z, &out[0], &out[1], &out[2]);
        for (int c = 0; c < 3; ++c) ASSERT_NEAR(out[c], in[c], 2e-6);
        XyzToLab(in[0], in[1], in[2], &l, &a, &b);  // small Y: mostly the linear branch
        LabToXyz(l, a, b, &out[0], &out[1], &out[2]);
        for (int c = 0; c < 3; ++c) ASSERT_NEAR(out[c], in[c], 1e-12);
    }
}
