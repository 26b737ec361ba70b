// The vector paths at every level this processor has, against the obvious per-pixel code: the
// HSV and RGB conversions of pixel runs on ten million random pixels and on every edge value,
// L*a*b*'s cube root on every input the 8-bit colours give, and packed pixels taken apart into
// channel arrays and put back.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "image/ColorModel.h"
#include "image/ColorRows.h"
#include "image/ColorRowsTesting.h"
#include "image/PixelPlanes.h"

using Plane = std::vector<uint16_t>;

template <typename Check>
void AtEveryLevel(Check check) {
    for (VectorLevel level : {VectorLevel::kAvx512, VectorLevel::kAvx2, VectorLevel::kScalar}) {
        LimitVectorLevel(level);
        if (ActiveVectorLevel() != level) continue;  // this processor lacks it
        SCOPED_TRACE(int(level));
        check();
    }
    LimitVectorLevel(VectorLevel::kAvx512);
}

// Every combination of the values where the formulas change branch (the ends of the range and
// the hue sectors' borders), then random pixels; runs of every length up to 17 first, so that
// each tail length of the vector loop occurs.
template <typename RunFn, typename PixelFn>
void ExpectRunsMatchPixels(RunFn run, PixelFn pixel) {
    Plane edges = {0, 1, 2, 255, 256, 257, 32767, 32768, 65533, 65534, 65535};
    for (int k = 1; k <= 6; ++k)
        for (int d = -1; d <= 1; ++d) edges.push_back(uint16_t(k * 10922 + d));
    const size_t e = edges.size(), n = e * e * e + 10'000'000;
    Plane in[3] = {Plane(n), Plane(n), Plane(n)}, want[3] = {Plane(n), Plane(n), Plane(n)};
    std::mt19937 random(5);
    for (size_t i = 0; i < n; ++i) {
        const uint32_t bits = random();
        const bool edge = i < e * e * e;
        in[0][i] = edge ? edges[i % e] : uint16_t(bits);
        in[1][i] = edge ? edges[i / e % e] : uint16_t(bits >> 16);
        in[2][i] = edge ? edges[i / e / e] : uint16_t(random());
        pixel(in[0][i], in[1][i], in[2][i], &want[0][i], &want[1][i], &want[2][i]);
    }
    AtEveryLevel([&] {
        Plane out[3] = {Plane(n), Plane(n), Plane(n)};
        for (size_t done = 0, length = 0; done < n; done += length++) {
            if (length > 17) length = n - done;
            run(&in[0][done], &in[1][done], &in[2][done], &out[0][done], &out[1][done],
                &out[2][done], length);
        }
        for (size_t i = 0; i < n; ++i) {
            ASSERT_TRUE(out[0][i] == want[0][i] && out[1][i] == want[1][i] &&
                        out[2][i] == want[2][i])
                << "pixel " << in[0][i] << " " << in[1][i] << " " << in[2][i];
        }
    });
}

TEST(ColorRows, HsvAndRgbRunsEqualThePixelFormulas) {
    ExpectRunsMatchPixels(HsvToRgb16Run, HsvToRgb16);
    ExpectRunsMatchPixels(RgbToHsv16Run, RgbToHsv16);
}

// Every length up to 40, so that each tail of the vector loops occurs, then a long run.
// L*a*b*'s cube root in vector lanes against pow on every ratio an 8-bit sRGB colour gives, all
// 50,331,648 of them: the same bits.
TEST(ColorRows, LabCubeRootEqualsPowOnEveryLatticeRatio) {
    double decoded[256];
    for (int i = 0; i < 256; ++i) decoded[i] = DecodeSrgb(i / 255.0);
    std::vector<double> ratios(3 * 256 * 256), want, got;
    for (int r = 0; r < 256; ++r) {
        for (int g = 0; g < 256; ++g) {
            for (int b = 0; b < 256; ++b) {
                double x, y, z;
                LinearToXyz(decoded[r], decoded[g], decoded[b], &x, &y, &z);
                LabRatios(x, y, z, &ratios[3 * (g * 256 + b)]);
            }
        }
        want = ratios;
        LimitVectorLevel(VectorLevel::kScalar);
        LabFRun(want.data(), want.size());
        AtEveryLevel([&] {
            got = ratios;
            LabFRun(got.data(), got.size());
            const size_t at =
                std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin();
            ASSERT_EQ(at, got.size()) << "red " << r << ", ratio " << ratios[at];
        });
    }
}

TEST(PixelPlanes, SplitJoinAndHighBytesMatchThePixelByPixelLoops) {
    std::mt19937 random(11);
    AtEveryLevel([&] {
        for (size_t n = 0; n <= 41; ++n) {
            const size_t count = n <= 40 ? n : 100003;
            SCOPED_TRACE(count);
            Plane pixels(3 * count), a(count), b(count), c(count), joined(3 * count);
            for (auto& sample : pixels) sample = uint16_t(random());
            SplitPixels16(pixels.data(), a.data(), b.data(), c.data(), count);
            JoinPixels16(a.data(), b.data(), c.data(), joined.data(), count);
            EXPECT_EQ(joined, pixels);
            std::vector<uint8_t> bytes(3 * count), bgr(3 * count);
            JoinHighBytes(a.data(), b.data(), c.data(), bytes.data(), count);
            Hsv16ToHighBytes(pixels.data(), bgr.data(), count, ByteOrder::kBgr);
            for (size_t i = 0; i < count; ++i) {
                const uint16_t split[3] = {a[i], b[i], c[i]};
                uint16_t rgb[3];
                HsvToRgb16(a[i], b[i], c[i], &rgb[0], &rgb[1], &rgb[2]);
                for (size_t k = 0, j = 3 * i; k < 3; ++k, ++j) {
                    ASSERT_TRUE(split[k] == pixels[j] && bytes[j] == pixels[j] >> 8 &&
                                bgr[j] == rgb[2 - k] >> 8)
                        << i << " " << k;
                }
            }
        }
    });
}
