#include "adjust/WhiteBalance.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "image/ColorModel.h"
#include "tests/adjust/AdjustTest.h"

namespace {

using Rgb = std::array<uint32_t, 3>;
constexpr Rgb kRed = {65535, 0, 0}, kGrey = {40000, 40000, 40000};

// Paints the rectangle [x0, x1) x [y0, y1) of a PT_RGB16 image.
void Paint(CImgBuff& image, int32_t x0, int32_t y0, int32_t x1, int32_t y1, Rgb c) {
    for (int32_t y = y0; y < y1; ++y)
        for (int32_t x = x0; x < x1; ++x) image.buffer->SetRGB16(x, y, c[0], c[1], c[2]);
}

// The grey point in 16-bit units, checking that it is a whole number of them over 65535.
Rgb Estimate(const CImgBuff& image, int saturationPct = 60, int valuePct = 40) {
    double p[3] = {-1, -1, -1};
    EXPECT_EQ(EstimateGreyPoint(&image, &p[0], &p[1], &p[2], saturationPct, valuePct), 1);
    Rgb units;
    for (int k = 0; k < 3; ++k) {
        units[k] = uint32_t(p[k] * 65535 + 0.5);
        EXPECT_EQ(p[k], units[k] / 65535.0);
    }
    return units;
}

// A photo of colour a on [0, x1) x [0, y1) and b elsewhere, and its grey point.
TEST(GreyPoint, BlockLimitsAndWholeImageFallback) {
    const Rgb kDark[2] = {{10000, 12000, 9000}, {20000, 1000, 26213}};
    const struct {
        int32_t width, height, x1, y1;
        Rgb a, b;
        int saturationPct, valuePct;
        Rgb expected;
    } cases[] = {
        // Too narrow for blocks: the whole-image mean, though block mode would see only grey.
        {127, 300, 127, 100, kRed, kGrey, 60, 40, {48511, 26666, 26666}},
        {128, 128, 64, 128, kRed, kGrey, 60, 40, kGrey},  // blocks: the red half is left out
        // No block dark enough or grey enough to count: the whole image.
        {200, 160, 100, 160, kDark[0], kDark[1], 60, 40, {15000, 6500, 17606}},
        {200, 160, 100, 160, kRed, {0, 65535, 0}, 60, 40, {32767, 32767, 0}},
        {256, 256, 128, 256, kRed, kGrey, 0, 0, {52767, 20000, 20000}},  // asked for directly
        // The limits are inclusive: S <= 39321 and V >= 26214.
        {256, 256, 128, 256, kGrey, {65535, 26213, 26213}, 60, 40, {52767, 33106, 33106}},
        {256, 256, 128, 256, kGrey, {65535, 26212, 26212}, 60, 40, kGrey},
        {256, 256, 128, 256, kGrey, {26214, 26214, 26214}, 60, 40, {33107, 33107, 33107}},
        {256, 256, 128, 256, kGrey, {26213, 26213, 26213}, 60, 40, kGrey},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " " << c.b[1]);
        CImgBuff image;
        ASSERT_EQ(image.buffer->Create(c.width, c.height, PT_RGB16), 1);
        Paint(image, 0, 0, c.width, c.height, c.b);
        Paint(image, 0, 0, c.x1, c.y1, c.a);
        EXPECT_EQ(Estimate(image, c.saturationPct, c.valuePct), c.expected);
    }
    // Empty images are refused with the outputs untouched.
    double g = -1;
    const CImgBuff empty;
    EXPECT_EQ(EstimateGreyPoint(&empty, &g, &g, &g, 60, 40), 0);
    EXPECT_EQ(g, -1);
}

// The measurement written out serially: the means of the grey enough blocks summed in row-major
// order.
Rgb SerialEstimate(const C_ImgBuff& image) {
    const int32_t bw = image.width / 16, bh = image.height / 16;
    double sum[3] = {0, 0, 0}, n = 0;
    for (int32_t top = 0; top < image.height; top += bh)
        for (int32_t left = 0; left < image.width; left += bw) {
            const auto mean = BoxMean(image, left, top, left + bw, top + bh);
            uint16_t h, s, v;
            RgbToHsv16(mean[0], mean[1], mean[2], &h, &s, &v);
            if (s > 39321 || v < 26214) continue;
            for (int k = 0; k < 3; ++k) sum[k] += mean[k];
            ++n;
        }
    return {uint16_t(sum[0] / n), uint16_t(sum[1] / n), uint16_t(sum[2] / n)};
}

// A size with a narrow last block column and row. Noise in every pixel keeps block means far
// from integers, so that their sum depends on the order of addition, whichever worker measured
// which blocks.
TEST(GreyPoint, DeterministicAndEqualToTheSerialMeasurement) {
    CImgBuff image;
    FillRandomHsv(image, 1531, 1013, 3);
    const Rgb serial = SerialEstimate(*image.buffer);
    for (int run = 0; run < 4; ++run) EXPECT_EQ(Estimate(image), serial);
    ASSERT_EQ(image.ConvertType(PT_XYZ), 1);  // read through the getter of another type
    EXPECT_EQ(Estimate(image), SerialEstimate(*image.buffer));
}

void Lab(const double rgb[3], double lab[3]) {
    double x, y, z;
    SrgbToXyz(rgb[0], rgb[1], rgb[2], &x, &y, &z);
    XyzToLab(x, y, z, &lab[0], &lab[1], &lab[2]);
}

// GreyLabTable holds the small a*, b* residues of the greys' conversions. The shift takes the
// grey point to the residue of entry round(L* x 255 / 100), the grey of its lightness.
TEST(WhiteBalanceCache, ShiftMovesTheGreyPointOntoTheGreyOfItsLightness) {
    ColorCache_Destroy(CreateWhiteBalanceCache(0.5, 0.5, 0.5));
    ASSERT_EQ(greyLabTableBuilt.load(), 1u);
    const double residues[][3] = {{0, 0, 0}, {128, -0.00201, 0.00037}, {255, -0.00335, 0.00062}};
    for (const auto& r : residues) {
        EXPECT_NEAR(GreyLabTable[int(r[0])].a, r[1], 5e-6) << r[0];
        EXPECT_NEAR(GreyLabTable[int(r[0])].b, r[2], 5e-6) << r[0];
    }
    int roundedUp = 0;
    for (const double grey : {0.0, 0.2, 0.31, 0.5, 0.5001, 0.77, 0.93, 1.0})
        for (const double tint : {0.0, 0.03}) {
            const double rgb[3] = {grey, std::min(grey + tint, 1.0), grey};
            double lab[3];
            Lab(rgb, lab);
            const long entry = std::clamp(std::lround(lab[0] * 255 / 100), 0L, 255L);
            roundedUp += entry > static_cast<long>(lab[0] * 255 / 100);
            ColorCache* cache = CreateWhiteBalanceCache(rgb[0], rgb[1], rgb[2]);
            ASSERT_NE(cache, nullptr);
            const auto* shift = static_cast<const WhiteBalanceShift*>(cache->userData);
            EXPECT_EQ(shift->da, GreyLabTable[entry].a - lab[1]) << grey << " " << tint;
            EXPECT_EQ(shift->db, GreyLabTable[entry].b - lab[2]) << grey << " " << tint;
            ColorCache_Destroy(cache);
        }
    EXPECT_GT(roundedUp, 0);
}

uint8_t ByteDirectly(double linear) {
    return uint8_t(uint32_t(EncodeSrgb(linear) * 4294967295.0) >> 24);
}

// At each threshold and the value just below it (a threshold off by one step either way gives
// one of them the wrong byte), at the ends of the range and for values the encoding clamps, the
// bytes from the thresholds are the ones the real pow gives, at every vector level.
TEST(WhiteBalanceFast, ByteThresholdsAgreeWithTheEncodingAroundEveryStep) {
    std::vector<double> values = {-0.0,      -1e-300, -5.0,     1e-300,    0.5,         1.0,
                                  1.0000001, 7.0,     HUGE_VAL, -HUGE_VAL, std::nan("")};
    for (int k = 1; k < 256; ++k) {
        values.push_back(SrgbByteThresholds()[k]);
        values.push_back(std::nextafter(values.back(), 0.0));
    }
    std::vector<uint8_t> direct(values.size()), bytes(values.size());
    std::transform(values.begin(), values.end(), direct.begin(), ByteDirectly);
    AtEveryVectorLevel(
        [&] {
            EncodedSrgbBytes(values.data(), bytes.data(), values.size());
            EXPECT_EQ(FirstDifference(bytes, direct), values.size());
        },
        VectorLevel::kAvx2);
}

// Every stride-th block of the colour cube in block order, the block in slot s holding the 64
// colours (R, G, B) with (R >> 2) * 4096 + (G >> 2) * 64 + (B >> 2) = s, colour n of it adding
// (n / 16, n / 4 % 4, n % 4), and their transforms written out.
struct WrittenOut {
    WhiteBalanceShift shift;
    uint32_t stride;
    std::vector<uint8_t> colours, expected;
};

void WriteOutTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<WrittenOut*>(context);
    for (uint32_t m = first; m < first + count; ++m)
        for (uint32_t n = 0, slot = m * c->stride; n < 64; ++n) {
            uint8_t* colour = &c->colours[(size_t{m} * 64 + n) * 3];
            uint8_t* out = &c->expected[(size_t{m} * 64 + n) * 3];
            colour[0] = out[0] = uint8_t((slot >> 12) * 4 + n / 16);
            colour[1] = out[1] = uint8_t((slot >> 6 & 63) * 4 + n / 4 % 4);
            colour[2] = out[2] = uint8_t((slot & 63) * 4 + n % 4);
            WhiteBalanceColor(&out[0], &out[1], &out[2], &c->shift);
        }
}

// Every one of the 16,777,216 colours under a typical shift, and every 29th or 31st block under
// shifts that push colours out of the gamut on either side, mapped by a white-balance cache
// equal the transform written out, at every vector level (the scalar one fills its blocks one
// colour at a time through WhiteBalanceColorFast).
TEST(WhiteBalanceFast, EqualsTheWrittenOutTransformOnEveryColour) {
    const struct {
        double da, db;
        uint32_t stride;
    } cases[] = {{-3.7, 9.2, 1}, {40.0, -55.0, 29}, {-60.0, 70.0, 31}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.da << " " << c.db);
        const uint32_t blocks = (kColorCacheSlots + c.stride - 1) / c.stride;
        WrittenOut written{{c.da, c.db},
                           c.stride,
                           std::vector<uint8_t>(size_t{blocks} * 192),
                           std::vector<uint8_t>(size_t{blocks} * 192)};
        WorkerPool::Run(WriteOutTask, &written, blocks);
        AtEveryVectorLevel(
            [&] {
                CImgBuff image;
                ASSERT_EQ(image.buffer->Create(64, int32_t(blocks), PT_RGB8), 1);
                uint8_t* pixels = image.buffer->pixels;
                std::copy(written.colours.begin(), written.colours.end(), pixels);
                ColorCache* cache = CreateWhiteBalanceCache(0.5, 0.5, 0.5);
                ASSERT_NE(cache, nullptr);
                *static_cast<WhiteBalanceShift*>(cache->userData) = written.shift;
                EXPECT_EQ(ApplyColorCache(cache, &image), 1);
                ColorCache_Destroy(cache);
                const std::vector<uint8_t> mapped(pixels, pixels + written.expected.size());
                EXPECT_EQ(FirstDifference(mapped, written.expected), mapped.size());
            },
            VectorLevel::kAvx2);
    }
}

}  // namespace
