#include "adjust/WhiteBalance.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <vector>

#include "image/ColorModel.h"
#include "image/ColorRows.h"
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

TEST(GreyPoint, ThousandByEightHundredGridHasNarrowLastColumn) {
    // Blocks of 62 x 50: 17 across, the last 8 pixels wide, and 16 rows. Only the first and the
    // last block columns are grey; every accepted block counts once, whatever its width.
    CImgBuff image;
    ASSERT_EQ(image.buffer->Create(1000, 800, PT_RGB16), 1);
    Paint(image, 0, 0, 1000, 800, kRed);
    Paint(image, 0, 0, 62, 800, kGrey);
    Paint(image, 992, 0, 1000, 800, {50000, 50002, 50004});
    EXPECT_EQ(Estimate(image), (Rgb{45000, 45001, 45002}));
    // Rows 0..49 of the first column darker: a block 51 rows high would mix the two greys.
    Paint(image, 0, 0, 62, 50, {30000, 30000, 30000});
    EXPECT_EQ(Estimate(image)[0], uint32_t((15 * 40000.0 + 30000.0 + 16 * 50000.0) / 32));
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
}

TEST(GreyPoint, RefusesEmptyImagesAndSkipsNullOutputs) {
    double g = -1;
    CImgBuff image;
    EXPECT_EQ(EstimateGreyPoint(&image, &g, &g, &g, 60, 40) +
                  EstimateGreyPoint(nullptr, &g, &g, &g, 60, 40),
              0);
    EXPECT_EQ(g, -1);
    ASSERT_EQ(image.buffer->Create(300, 300, PT_RGB16), 1);
    Paint(image, 0, 0, 300, 300, {1000, 50000, 3000});
    EXPECT_EQ(EstimateGreyPoint(&image, nullptr, &g, nullptr, 60, 40), 1);
    EXPECT_EQ(g, 50000 / 65535.0);
}

// The measurement written out serially: block means summed in row-major order.
Rgb SerialEstimate(const C_ImgBuff& image) {
    const int32_t bw = image.width / 16, bh = image.height / 16;
    double sum[3] = {0, 0, 0};
    int n = 0;
    for (int32_t top = 0; top < image.height; top += bh)
        for (int32_t left = 0; left < image.width; left += bw) {
            double block[3] = {0, 0, 0};
            int m = 0;
            for (int32_t y = top; y < std::min(top + bh, image.height); ++y)
                for (int32_t x = left; x < std::min(left + bw, image.width); ++x, ++m) {
                    uint16_t c[3];
                    image.GetRGB16(x, y, &c[0], &c[1], &c[2]);
                    for (int k = 0; k < 3; ++k) block[k] += c[k];
                }
            uint16_t h, s, v;
            RgbToHsv16(block[0] / m, block[1] / m, block[2] / m, &h, &s, &v);
            if (s > 39321 || v < 26214) continue;
            for (int k = 0; k < 3; ++k) sum[k] += block[k] / m;
            ++n;
        }
    return {uint16_t(sum[0] / n), uint16_t(sum[1] / n), uint16_t(sum[2] / n)};
}

TEST(GreyPoint, DeterministicAndEqualToTheSerialMeasurement) {
    // Noise in every pixel keeps block means far from integers, so that their sum depends on
    // the order of addition.
    CImgBuff image;
    ASSERT_EQ(image.buffer->Create(1531, 1013, PT_HSV16), 1);
    std::mt19937 random(3);
    for (int32_t y = 0; y < 1013; ++y)
        for (int32_t x = 0; x < 1531; ++x) {
            const uint32_t base = 20000 + (x * 37 + y * 11) % 40000;
            uint16_t h, s, v;
            RgbToHsv16(base + random() % 5000, base * 9 / 10 + random() % 5000,
                       base * 7 / 10 + random() % 9000, &h, &s, &v);
            image.buffer->SetHSV16(x, y, h, s, v);
        }
    const Rgb serial = SerialEstimate(*image.buffer);
    for (int run = 0; run < 8; ++run) EXPECT_EQ(Estimate(image), serial);
    ASSERT_EQ(image.ConvertType(PT_XYZ), 1);  // read through the getter of another type
    EXPECT_EQ(Estimate(image), SerialEstimate(*image.buffer));
}

TEST(WhiteBalanceCache, GreyLabTableHoldsTheConversionResidues) {
    ColorCache_Destroy(CreateWhiteBalanceCache(0.5, 0.5, 0.5));
    ASSERT_EQ(greyLabTableBuilt.load(), 1u);
    EXPECT_EQ(GreyLabTable[0].a, 0.0);
    EXPECT_EQ(GreyLabTable[0].b, 0.0);
    EXPECT_NEAR(GreyLabTable[128].a, -0.00201, 0.000005);
    EXPECT_NEAR(GreyLabTable[128].b, 0.00037, 0.000005);
    EXPECT_NEAR(GreyLabTable[255].a, -0.00335, 0.000005);
    EXPECT_NEAR(GreyLabTable[255].b, 0.00062, 0.000005);
    for (int i = 0; i < 256; ++i)
        EXPECT_LT(std::hypot(GreyLabTable[i].a, GreyLabTable[i].b), 0.004);
}

void Lab(const double rgb[3], double lab[3]) {
    double x, y, z;
    SrgbToXyz(rgb[0], rgb[1], rgb[2], &x, &y, &z);
    XyzToLab(x, y, z, &lab[0], &lab[1], &lab[2]);
}

// The shift takes the grey point to the residue of GreyLabTable entry round(L* x 255 / 100),
// the grey of its lightness, and so turns the grey point grey.
TEST(WhiteBalanceCache, ShiftMovesTheGreyPointOntoTheGreyOfItsLightness) {
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

    const uint8_t cast[3] = {200, 170, 120};  // a warm cast comes out grey, as light as it was
    const double in[3] = {cast[0] / 255.0, cast[1] / 255.0, cast[2] / 255.0};
    ColorCache* cache = CreateWhiteBalanceCache(in[0], in[1], in[2]);
    uint8_t c[3] = {cast[0], cast[1], cast[2]};
    ASSERT_EQ(ColorCache_Lookup(cache, &c[0], &c[1], &c[2]), 1);
    ColorCache_Destroy(cache);
    EXPECT_LE(std::max({c[0], c[1], c[2]}) - std::min({c[0], c[1], c[2]}), 1);
    const double out[3] = {c[0] / 255.0, c[1] / 255.0, c[2] / 255.0};
    double labIn[3], labOut[3];
    Lab(in, labIn);
    Lab(out, labOut);
    EXPECT_NEAR(labOut[0], labIn[0], 0.5);
}

TEST(WhiteBalanceCache, ColourShiftIsExactAndClamps) {
    WhiteBalanceShift zero{0.0, 0.0};
    std::mt19937 random(9);
    for (uint32_t n = 0; n < 20000; ++n) {
        const uint32_t v = n < 256 ? n * 0x10101 : random();
        uint8_t c[3] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)};
        uint8_t out[3] = {c[0], c[1], c[2]};
        WhiteBalanceColor(&out[0], &out[1], &out[2], &zero);
        for (int k = 0; k < 3; ++k)  // truncation may lose the last unit on the way back
            ASSERT_TRUE(out[k] == c[k] || out[k] + 1 == c[k]) << v << " channel " << k;
    }
    // Each byte is the top of the 32-bit channel that the shifted colour converts to.
    WhiteBalanceShift shift{-3.5, 7.25};
    for (int n = 0; n < 5000; ++n) {
        const uint32_t v = random();
        uint8_t c[3] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)};
        double rgb[3] = {c[0] / 255.0, c[1] / 255.0, c[2] / 255.0}, lab[3], x, y, z;
        uint32_t wide[3];
        Lab(rgb, lab);
        LabToXyz(lab[0], lab[1] + shift.da, lab[2] + shift.db, &x, &y, &z);
        XyzToRgb32(x, y, z, &wide[0], &wide[1], &wide[2]);
        WhiteBalanceColor(&c[0], &c[1], &c[2], &shift);
        for (int k = 0; k < 3; ++k) ASSERT_EQ(c[k], wide[k] >> 24) << v << " channel " << k;
    }
    // Far towards yellow white leaves the gamut in red and green, far towards blue black would
    // go negative there.
    WhiteBalanceShift yellow{0.0, 60.0}, blue{0.0, -60.0};
    uint8_t white[3] = {255, 255, 255}, black[3] = {0, 0, 0};
    WhiteBalanceColor(&white[0], &white[1], &white[2], &yellow);
    WhiteBalanceColor(&black[0], &black[1], &black[2], &blue);
    EXPECT_EQ(white[0], 255);
    EXPECT_LT(white[2], 200);
    EXPECT_EQ(black[0], 0);
    EXPECT_GT(black[2], 0);
}

}  // namespace

namespace {

uint8_t ByteDirectly(double linear) {
    return uint8_t(uint32_t(EncodeSrgb(linear) * 4294967295.0) >> 24);
}

// Around every threshold (a hundred representable values each side), at the ends of the range
// and for values the encoding clamps, the bytes from the thresholds are the ones the real pow
// gives, at every vector level.
TEST(WhiteBalanceFast, ByteThresholdsAgreeWithTheEncodingAroundEveryStep) {
    const double* thresholds = SrgbByteThresholds();
    std::vector<double> values = {0.0, -0.0,      -1e-300, -5.0,     1e-300,    0.0031308,   0.5,
                                  1.0, 1.0000001, 7.0,     HUGE_VAL, -HUGE_VAL, std::nan("")};
    for (int k = 1; k < 256; ++k) {
        ASSERT_EQ(ByteDirectly(thresholds[k]), k);
        if (k > 1) {
            ASSERT_LT(thresholds[k - 1], thresholds[k]);
        }
        double x = thresholds[k];
        for (int i = 0; i < 100; ++i) x = std::nextafter(x, 0.0);
        for (int i = 0; i < 200; ++i, x = std::nextafter(x, 2.0)) values.push_back(x);
    }
    std::vector<uint8_t> direct(values.size());
    for (size_t i = 0; i < values.size(); ++i) direct[i] = ByteDirectly(values[i]);
    for (VectorLevel level : {VectorLevel::kAvx2, VectorLevel::kScalar}) {
        LimitVectorLevel(level);
        std::vector<uint8_t> bytes(values.size());
        EncodedSrgbBytes(values.data(), bytes.data(), values.size());
        size_t i = 0;
        while (i < values.size() && bytes[i] == direct[i]) ++i;
        EXPECT_EQ(i, values.size()) << "first differing value, level " << int(level);
    }
    LimitVectorLevel(VectorLevel::kAvx512);
}

// The 64 colours of every stride-th block in block order, and their written-out transforms.
struct Comparison {
    WhiteBalanceShift shift;
    uint32_t stride;
    std::vector<uint8_t> colours;
    std::vector<uint8_t> expected;
    std::atomic<uint32_t> mismatches{0};
};

// Block slot s holds (R >> 2) * 4096 + (G >> 2) * 64 + (B >> 2) = s; its colour n adds
// (n / 16, n / 4 % 4, n % 4).
void WriteOutTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<Comparison*>(context);
    for (uint32_t m = first; m < first + count; ++m) {
        const uint32_t slot = m * c->stride;
        for (uint32_t n = 0; n < 64; ++n) {
            const size_t at = (size_t{m} * 64 + n) * 3;
            c->colours[at] = uint8_t((slot >> 12) * 4 + n / 16);
            c->colours[at + 1] = uint8_t((slot >> 6 & 63) * 4 + n / 4 % 4);
            c->colours[at + 2] = uint8_t((slot & 63) * 4 + n % 4);
            uint8_t* out = &c->expected[at];
            std::memcpy(out, &c->colours[at], 3);
            WhiteBalanceColor(&out[0], &out[1], &out[2], &c->shift);
        }
    }
}

void CompareColourByColourTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<Comparison*>(context);
    for (size_t at = size_t{first} * 64 * 3; at < (size_t{first} + count) * 64 * 3; at += 3) {
        uint8_t fast[3] = {c->colours[at], c->colours[at + 1], c->colours[at + 2]};
        WhiteBalanceColorFast(&fast[0], &fast[1], &fast[2], &c->shift);
        if (std::memcmp(fast, &c->expected[at], 3) != 0) c->mismatches.fetch_add(1);
    }
}

// Every one of the 16,777,216 colours under a typical shift, and every 29th or 31st block under
// shifts that push colours out of the gamut on either side, equal the transform written out:
// one colour at a time, and mapped by a white-balance cache, which fills them a block at a time,
// at every vector level.
TEST(WhiteBalanceFast, EqualsTheWrittenOutTransformOnEveryColour) {
    const struct {
        double da, db;
        uint32_t stride;
    } cases[] = {{-3.7, 9.2, 1}, {40.0, -55.0, 29}, {-60.0, 70.0, 31}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.da << " " << c.db);
        Comparison comparison;
        comparison.shift = {c.da, c.db};
        comparison.stride = c.stride;
        const uint32_t blocks = (kColorCacheSlots + c.stride - 1) / c.stride;
        comparison.colours.resize(size_t{blocks} * 64 * 3);
        comparison.expected.resize(comparison.colours.size());
        WorkerPool::Run(WriteOutTask, &comparison, blocks);
        WorkerPool::Run(CompareColourByColourTask, &comparison, blocks);
        EXPECT_EQ(comparison.mismatches.load(), 0u);
        for (VectorLevel level : {VectorLevel::kAvx2, VectorLevel::kScalar}) {
            LimitVectorLevel(level);
            CImgBuff image;
            ASSERT_EQ(image.buffer->Create(64, int32_t(blocks), PT_RGB8), 1);
            const uint8_t* mapped = image.buffer->pixels;
            std::memcpy(image.buffer->pixels, comparison.colours.data(), comparison.colours.size());
            ColorCache* cache = CreateWhiteBalanceCache(0.5, 0.5, 0.5);
            ASSERT_NE(cache, nullptr);
            *static_cast<WhiteBalanceShift*>(cache->userData) = comparison.shift;
            EXPECT_EQ(ApplyColorCache(cache, &image), 1);
            ColorCache_Destroy(cache);
            size_t i = 0;
            while (i < comparison.expected.size() && mapped[i] == comparison.expected[i]) ++i;
            EXPECT_EQ(i, comparison.expected.size())
                << "first differing byte, level " << int(level);
        }
        LimitVectorLevel(VectorLevel::kAvx512);
    }
}

}  // namespace
