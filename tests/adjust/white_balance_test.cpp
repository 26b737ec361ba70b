#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>

#include "adjust/ColorCache.h"
#include "adjust/WhiteBalance.h"
#include "image/ColorModel.h"
#include "image/ImgBuff.h"
#include "parallel/WorkerPool.h"

namespace {

class WhiteBalanceTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(WorkerPool::Acquire(), 1); }
    void TearDown() override { WorkerPool::Release(); }
};

struct Rgb16 {
    uint16_t r, g, b;
};

// Paints the rectangle [x0, x1) x [y0, y1) of a PT_RGB16 image.
void Paint(C_ImgBuff* image, int32_t x0, int32_t y0, int32_t x1, int32_t y1, Rgb16 c) {
    for (int32_t y = y0; y < y1; ++y) {
        for (int32_t x = x0; x < x1; ++x) image->SetRGB16(x, y, c.r, c.g, c.b);
    }
}

struct GreyPoint {
    double r = -1, g = -1, b = -1;
};

GreyPoint Estimate(const CImgBuff& image, int saturationPct = 60, int valuePct = 40) {
    GreyPoint p;
    EXPECT_EQ(EstimateGreyPoint(&image, &p.r, &p.g, &p.b, saturationPct, valuePct), 1);
    return p;
}

void ExpectChannels(const GreyPoint& p, uint32_t r, uint32_t g, uint32_t b) {
    EXPECT_EQ(p.r, r / 65535.0);
    EXPECT_EQ(p.g, g / 65535.0);
    EXPECT_EQ(p.b, b / 65535.0);
}

constexpr Rgb16 kRed = {65535, 0, 0};

TEST_F(WhiteBalanceTest, ThousandByEightHundredGridHasNarrowLastColumn) {
    // Blocks of 62 x 50: 17 across, the last 8 pixels wide, and 16 rows. Only the first and the
    // last block columns are grey; every accepted block counts once, whatever its width.
    CImgBuff image;
    ASSERT_EQ(image.buffer->Create(1000, 800, PT_RGB16), 1);
    Paint(image.buffer, 0, 0, 1000, 800, kRed);
    Paint(image.buffer, 0, 0, 62, 800, {40000, 40000, 40000});
    Paint(image.buffer, 992, 0, 1000, 800, {50000, 50002, 50004});
    ExpectChannels(Estimate(image), 45000, 45001, 45002);

    // A seam between block rows: rows 0..49 of the first column darker. A block 51 rows high
    // would mix the two greys and move the mean.
    Paint(image.buffer, 0, 0, 62, 50, {30000, 30000, 30000});
    const double r = (15 * 40000.0 + 30000.0 + 16 * 50000.0) / 32;
    EXPECT_EQ(Estimate(image).r, static_cast<uint16_t>(r) / 65535.0);
}

TEST_F(WhiteBalanceTest, SmallImagesUseTheWholeImageMean) {
    // 127 pixels wide: too narrow for blocks. Block mode would see only the grey.
    CImgBuff image;
    ASSERT_EQ(image.buffer->Create(127, 300, PT_RGB16), 1);
    Paint(image.buffer, 0, 0, 127, 300, {40000, 40000, 40000});
    Paint(image.buffer, 0, 0, 127, 100, kRed);
    // (100 * 65535 + 200 * 40000) / 300 = 48511.67; G and B: 200 * 40000 / 300 = 26666.67
    ExpectChannels(Estimate(image), 48511, 26666, 26666);

    // 128 x 128 is measured in blocks: the red half is left out.
    CImgBuff square;
    ASSERT_EQ(square.buffer->Create(128, 128, PT_RGB16), 1);
    Paint(square.buffer, 0, 0, 128, 128, {40000, 40000, 40000});
    Paint(square.buffer, 0, 0, 64, 128, kRed);
    ExpectChannels(Estimate(square), 40000, 40000, 40000);
}

TEST_F(WhiteBalanceTest, DarkOrStronglyColouredPhotosFallBackToTheWholeImage) {
    CImgBuff dark;
    ASSERT_EQ(dark.buffer->Create(200, 160, PT_RGB16), 1);
    Paint(dark.buffer, 0, 0, 100, 160, {10000, 12000, 9000});
    Paint(dark.buffer, 100, 0, 200, 160, {20000, 1000, 26213});
    ExpectChannels(Estimate(dark), 15000, 6500, 17606);

    CImgBuff vivid;
    ASSERT_EQ(vivid.buffer->Create(200, 160, PT_RGB16), 1);
    Paint(vivid.buffer, 0, 0, 100, 160, kRed);
    Paint(vivid.buffer, 100, 0, 200, 160, {0, 65535, 0});
    ExpectChannels(Estimate(vivid), 32767, 32767, 0);

    // The limits 0 and 0 ask for the whole image directly.
    CImgBuff mixed;
    ASSERT_EQ(mixed.buffer->Create(256, 256, PT_RGB16), 1);
    Paint(mixed.buffer, 0, 0, 256, 256, {40000, 40000, 40000});
    Paint(mixed.buffer, 0, 0, 128, 256, kRed);
    ExpectChannels(Estimate(mixed, 0, 0), 52767, 20000, 20000);
    ExpectChannels(Estimate(mixed), 40000, 40000, 40000);
}

TEST_F(WhiteBalanceTest, LimitsAreInclusiveAtSixtyAndFortyPercent) {
    // Half the image a plain grey, half a test colour: the mean moves only if the test colour's
    // blocks are accepted. With 60 and 40 the limits are S <= 39321 and V >= 26214.
    auto measure = [](Rgb16 test) {
        CImgBuff image;
        EXPECT_EQ(image.buffer->Create(256, 256, PT_RGB16), 1);
        Paint(image.buffer, 0, 0, 128, 256, {40000, 40000, 40000});
        Paint(image.buffer, 128, 0, 256, 256, test);
        return Estimate(image).r;
    };
    // d * 65534 / 65535 with d = 39322 gives S = 39321; d = 39323 gives 39322.
    EXPECT_EQ(measure({65535, 26213, 26213}), 52767 / 65535.0);
    EXPECT_EQ(measure({65535, 26212, 26212}), 40000 / 65535.0);
    EXPECT_EQ(measure({26214, 26214, 26214}), 33107 / 65535.0);
    EXPECT_EQ(measure({26213, 26213, 26213}), 40000 / 65535.0);
}

TEST_F(WhiteBalanceTest, RefusesEmptyImagesAndSkipsNullOutputs) {
    GreyPoint p;
    CImgBuff empty;
    EXPECT_EQ(EstimateGreyPoint(&empty, &p.r, &p.g, &p.b, 60, 40), 0);
    EXPECT_EQ(EstimateGreyPoint(nullptr, &p.r, &p.g, &p.b, 60, 40), 0);
    EXPECT_EQ(p.r, -1);
    EXPECT_EQ(p.g, -1);
    EXPECT_EQ(p.b, -1);

    CImgBuff image;
    ASSERT_EQ(image.buffer->Create(300, 300, PT_RGB16), 1);
    Paint(image.buffer, 0, 0, 300, 300, {1000, 50000, 3000});
    EXPECT_EQ(EstimateGreyPoint(&image, nullptr, &p.g, nullptr, 60, 40), 1);
    EXPECT_EQ(p.r, -1);
    EXPECT_EQ(p.g, 50000 / 65535.0);
    EXPECT_EQ(p.b, -1);
}

// The measurement written out serially: block means summed in row-major order.
GreyPoint SerialEstimate(const C_ImgBuff& image) {
    const int32_t bw = image.width / 16, bh = image.height / 16;
    double sum[3] = {0, 0, 0};
    int n = 0;
    for (int32_t top = 0; top < image.height; top += bh) {
        for (int32_t left = 0; left < image.width; left += bw) {
            double block[3] = {0, 0, 0};
            int m = 0;
            for (int32_t y = top; y < std::min(top + bh, image.height); ++y) {
                for (int32_t x = left; x < std::min(left + bw, image.width); ++x) {
                    uint16_t c[3];
                    image.GetRGB16(x, y, &c[0], &c[1], &c[2]);
                    for (int k = 0; k < 3; ++k) block[k] += c[k];
                    ++m;
                }
            }
            uint16_t h, s, v;
            RgbToHsv16(uint16_t(block[0] / m), uint16_t(block[1] / m), uint16_t(block[2] / m), &h,
                       &s, &v);
            if (s > 39321 || v < 26214) continue;
            for (int k = 0; k < 3; ++k) sum[k] += block[k] / m;
            ++n;
        }
    }
    GreyPoint p;
    p.r = uint16_t(sum[0] / n) / 65535.0;
    p.g = uint16_t(sum[1] / n) / 65535.0;
    p.b = uint16_t(sum[2] / n) / 65535.0;
    return p;
}

TEST_F(WhiteBalanceTest, GreyPointIsDeterministicAndMatchesSerialMeasurement) {
    // Noise in every pixel so that block means are far from integers and their sum depends on
    // the order of addition; the photo's own type so the getter converts from HSV.
    CImgBuff image;
    ASSERT_EQ(image.buffer->Create(1531, 1013, PT_HSV16), 1);
    std::mt19937 random(3);
    for (int32_t y = 0; y < 1013; ++y) {
        for (int32_t x = 0; x < 1531; ++x) {
            const uint32_t base = 20000 + (x * 37 + y * 11) % 40000;
            uint16_t h, s, v;
            RgbToHsv16(base + random() % 5000, base * 9 / 10 + random() % 5000,
                       base * 7 / 10 + random() % 9000, &h, &s, &v);
            image.buffer->SetHSV16(x, y, h, s, v);
        }
    }
    const GreyPoint serial = SerialEstimate(*image.buffer);
    for (int run = 0; run < 8; ++run) {
        const GreyPoint p = Estimate(image);
        EXPECT_EQ(p.r, serial.r);
        EXPECT_EQ(p.g, serial.g);
        EXPECT_EQ(p.b, serial.b);
    }
    // The same photo in other types, each read the way its getter reads it.
    for (const PixelType type : {PT_RGB16, PT_RGB8, PT_XYZ, PT_GRAY16}) {
        CImgBuff converted;
        converted.Copy(image);
        ASSERT_EQ(converted.ConvertType(type), 1);
        const GreyPoint expected = SerialEstimate(*converted.buffer);
        const GreyPoint p = Estimate(converted);
        EXPECT_EQ(p.r, expected.r) << "type " << type;
        EXPECT_EQ(p.g, expected.g) << "type " << type;
        EXPECT_EQ(p.b, expected.b) << "type " << type;
    }
}

TEST_F(WhiteBalanceTest, GreyLabTableHoldsTheConversionResidues) {
    ColorCache* cache = CreateWhiteBalanceCache(0.5, 0.5, 0.5);
    ASSERT_NE(cache, nullptr);
    ColorCache_Destroy(cache);
    ASSERT_EQ(greyLabTableBuilt.load(), 1u);
    EXPECT_EQ(GreyLabTable[0].a, 0.0);
    EXPECT_EQ(GreyLabTable[0].b, 0.0);
    EXPECT_NEAR(GreyLabTable[128].a, -0.00201, 0.000005);
    EXPECT_NEAR(GreyLabTable[128].b, 0.00037, 0.000005);
    EXPECT_NEAR(GreyLabTable[255].a, -0.00335, 0.000005);
    EXPECT_NEAR(GreyLabTable[255].b, 0.00062, 0.000005);
    for (int i = 0; i < 256; ++i) {
        EXPECT_LT(std::fabs(GreyLabTable[i].a), 0.004) << i;
        EXPECT_LT(std::fabs(GreyLabTable[i].b), 0.004) << i;
    }
}

double LabA(uint8_t r, uint8_t g, uint8_t b, double* lightness, double* bStar) {
    double x, y, z, a;
    SrgbToXyz(r / 255.0, g / 255.0, b / 255.0, &x, &y, &z);
    XyzToLab(x, y, z, lightness, &a, bStar);
    return a;
}

TEST_F(WhiteBalanceTest, ShiftMovesTheGreyPointOntoTheNeutralAxis) {
    // A neutral grey point needs no more than the residue.
    ColorCache* neutral = CreateWhiteBalanceCache(0.5, 0.5, 0.5);
    ASSERT_NE(neutral, nullptr);
    const auto* shift = static_cast<const WhiteBalanceShift*>(neutral->userData);
    EXPECT_LT(std::fabs(shift->da), 0.004);
    EXPECT_LT(std::fabs(shift->db), 0.004);
    ColorCache_Destroy(neutral);

    // A warm cast: the grey point comes out grey with its lightness.
    const uint8_t cast[3] = {200, 170, 120};
    ColorCache* cache = CreateWhiteBalanceCache(cast[0] / 255.0, cast[1] / 255.0, cast[2] / 255.0);
    ASSERT_NE(cache, nullptr);
    EXPECT_EQ(cache->transform, WhiteBalanceColor);
    uint8_t c[3] = {cast[0], cast[1], cast[2]};
    ASSERT_EQ(ColorCache_Lookup(cache, &c[0], &c[1], &c[2]), 1);
    EXPECT_LE(std::max({c[0], c[1], c[2]}) - std::min({c[0], c[1], c[2]}), 1);
    double lIn, lOut, bIn, bOut;
    LabA(cast[0], cast[1], cast[2], &lIn, &bIn);
    LabA(c[0], c[1], c[2], &lOut, &bOut);
    EXPECT_NEAR(lOut, lIn, 0.5);
    ColorCache_Destroy(cache);
}

TEST_F(WhiteBalanceTest, ShiftTakesTheResidueOfTheGreyWithTheSameLightness) {
    // The grey entry is round(L* x 255 / 100): greys whose L* lands above and below a half step.
    int roundedUp = 0;
    for (const double grey : {0.0, 0.2, 0.31, 0.5, 0.5001, 0.77, 0.93, 1.0}) {
        for (const double tint : {0.0, 0.03}) {
            const double r = grey, g = std::min(grey + tint, 1.0), b = grey;
            double x, y, z, l, a, bStar;
            SrgbToXyz(r, g, b, &x, &y, &z);
            XyzToLab(x, y, z, &l, &a, &bStar);
            const long entry = std::clamp(std::lround(l * 255 / 100), 0L, 255L);
            roundedUp += entry > static_cast<long>(l * 255 / 100);
            ColorCache* cache = CreateWhiteBalanceCache(r, g, b);
            ASSERT_NE(cache, nullptr);
            const auto* shift = static_cast<const WhiteBalanceShift*>(cache->userData);
            EXPECT_EQ(shift->da, GreyLabTable[entry].a - a) << grey << " " << tint;
            EXPECT_EQ(shift->db, GreyLabTable[entry].b - bStar) << grey << " " << tint;
            ColorCache_Destroy(cache);
        }
    }
    EXPECT_GT(roundedUp, 0);
}

TEST_F(WhiteBalanceTest, ZeroShiftKeepsColoursAndOutOfGamutClamps) {
    WhiteBalanceShift zero{0.0, 0.0};
    std::mt19937 random(9);
    for (int n = 0; n < 20000; ++n) {
        const uint32_t v = random();
        uint8_t c[3] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)};
        if (n < 256) c[0] = c[1] = c[2] = uint8_t(n);
        uint8_t out[3] = {c[0], c[1], c[2]};
        WhiteBalanceColor(&out[0], &out[1], &out[2], &zero);
        // Truncation may lose the last unit on the way back.
        for (int k = 0; k < 3; ++k) {
            ASSERT_TRUE(out[k] == c[k] || out[k] + 1 == c[k])
                << int(c[0]) << "," << int(c[1]) << "," << int(c[2]) << " channel " << k;
        }
    }

    // Each byte is the top of the 32-bit channel that the shifted colour converts to.
    WhiteBalanceShift shift{-3.5, 7.25};
    for (int n = 0; n < 5000; ++n) {
        const uint32_t v = random();
        uint8_t c[3] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)};
        double l, b, x, y, z;
        const double a = LabA(c[0], c[1], c[2], &l, &b);
        LabToXyz(l, a + shift.da, b + shift.db, &x, &y, &z);
        uint32_t wide[3];
        XyzToRgb32(x, y, z, &wide[0], &wide[1], &wide[2]);
        WhiteBalanceColor(&c[0], &c[1], &c[2], &shift);
        for (int k = 0; k < 3; ++k) ASSERT_EQ(c[k], wide[k] >> 24) << n << " channel " << k;
    }

    // Strongly towards yellow: white would leave the gamut in red and green, and clamps there.
    WhiteBalanceShift yellow{0.0, 60.0};
    uint8_t white[3] = {255, 255, 255};
    WhiteBalanceColor(&white[0], &white[1], &white[2], &yellow);
    EXPECT_EQ(white[0], 255);
    EXPECT_LT(white[2], 200);
    WhiteBalanceShift blue{0.0, -60.0};
    uint8_t black[3] = {0, 0, 0};
    WhiteBalanceColor(&black[0], &black[1], &black[2], &blue);
    // Red and green would go negative.
    EXPECT_EQ(black[0], 0);
    EXPECT_GT(black[2], 0);
}

}  // namespace
