#include "adjust/ToneCurve.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>

namespace {

class PoolEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { WorkerPool::Acquire(); }
    void TearDown() override { WorkerPool::Release(); }
};
const auto* const poolEnvironment = ::testing::AddGlobalTestEnvironment(new PoolEnvironment);

class ToneCurveTest : public ::testing::Test {
  protected:
    void SetUp() override { InitEngineTables(); }
    void TearDown() override { ReleaseEngineTables(); }
    std::unique_ptr<ToneCurve> curve = std::make_unique<ToneCurve>();
};

void FillRandomHsv(CImgBuff& image, int32_t width, int32_t height, uint32_t seed) {
    ASSERT_EQ(image.buffer->Create(width, height, PT_HSV16), 1);
    std::mt19937 random(seed);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            image.buffer->SetHSV16(x, y, random() & 0xFFFF, random() & 0xFFFF, random() & 0xFFFF);
}

TEST(ToneCurveRefusal, NothingIsTouchedWithoutEngineTables) {
    auto curve = std::make_unique<ToneCurve>();
    curve->map[500] = 7;
    EXPECT_EQ(EngineTablesReady(), 0);
    EXPECT_EQ(ResetToneCurve(curve.get()), 0);
    EXPECT_EQ(BuildToneCurve(curve.get(), 30), 0);
    EXPECT_EQ(BuildLightCurve(curve.get(), 0, 0), 0);
    EXPECT_EQ(curve->map[500], 7);
    EXPECT_EQ(curve->rebuild, 0u);

    CImgBuff image;
    ASSERT_EQ(image.buffer->Create(2, 2, PT_HSV16), 1);
    image.buffer->SetHSV16(1, 1, 100, 200, 300);
    EXPECT_EQ(ApplyToneCurves(&image, &image, curve.get(), curve.get()), 0);
    uint16_t h, s, v;
    image.buffer->GetHSV16(1, 1, &h, &s, &v);
    EXPECT_EQ(s, 200);
    EXPECT_EQ(v, 300);

    // Counting users: the tables stay until the last one leaves.
    InitEngineTables();
    InitEngineTables();
    ReleaseEngineTables();
    EXPECT_EQ(BuildToneCurve(curve.get(), 30), 1);
    ReleaseEngineTables();
    EXPECT_EQ(BuildToneCurve(curve.get(), 20), 0);
    ReleaseEngineTables();  // one too many stays at zero
    InitEngineTables();
    EXPECT_EQ(EngineTablesReady(), 1);
    ReleaseEngineTables();
}

TEST_F(ToneCurveTest, ArcCurveEntries) {
    struct Row {
        int32_t position;
        uint16_t at16384, at32768, at49152;
    };
    const Row rows[] = {{45, 28123, 45341, 57242}, {30, 23732, 41253, 54842},
                        {15, 19822, 37045, 52170}, {-15, 12945, 28490, 46133},
                        {-30, 9035, 24282, 43461}, {-45, 4644, 20194, 41061}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.position);
        ResetToneCurve(curve.get());
        ASSERT_EQ(BuildToneCurve(curve.get(), row.position), 1);
        EXPECT_EQ(curve->position, row.position);
        EXPECT_EQ(curve->map[0], 0);
        EXPECT_EQ(curve->map[16384], row.at16384);
        EXPECT_EQ(curve->map[32768], row.at32768);
        EXPECT_EQ(curve->map[49152], row.at49152);
        EXPECT_GE(curve->map[65535], 65534);
    }
}

// Every arc curve is the height of a unit-circle arc: sqrt(1 - t^2) gives the same entries up
// to the final truncation, the curve never falls, and it lies on the side of the diagonal its
// sign says.
TEST_F(ToneCurveTest, ArcCurvesFollowTheCircle) {
    for (int32_t p = -45; p <= 45; ++p) {
        SCOPED_TRACE(p);
        curve->rebuild = 1;
        ASSERT_EQ(BuildToneCurve(curve.get(), p), 1);
        double half = std::abs(p) * 0.5 * M_PI / 180;
        double x0 = std::cos(M_PI / 4 - half), x1 = std::cos(M_PI / 4 + half);
        double y0 = std::sqrt(1 - x0 * x0), y1 = std::sqrt(1 - x1 * x1);
        for (uint32_t i = 0; i < kToneCurveSize; ++i) {
            uint16_t out = curve->map[i];
            if (i > 0) {
                ASSERT_GE(out, curve->map[i - 1]) << i;
            }
            if (p == 0) {
                ASSERT_EQ(out, i);
                continue;
            }
            double t = x0 + (x1 - x0) * i / 65535;
            double v = (std::sqrt(1 - t * t) - y0) / (y1 - y0) * 65535;
            double expected = std::clamp(p > 0 ? v : 2.0 * i - v, 0.0, 65535.0);
            ASSERT_NEAR(out, expected, 1.01) << i;
            if (p > 0) {
                ASSERT_GE(out + 1u, i) << i;
            }
            if (p < 0) {
                ASSERT_LE(out, i + 1u) << i;
            }
            if (std::abs(p) == 1) {
                ASSERT_LE(std::abs(int32_t(out) - int32_t(i)), 300) << i;  // about one 8-bit step
            }
        }
    }
}

TEST_F(ToneCurveTest, PositionsOutsideTheRangeAndUnchangedPositions) {
    ASSERT_EQ(BuildToneCurve(curve.get(), 20), 1);
    const uint16_t before = curve->map[30000];
    EXPECT_EQ(BuildToneCurve(curve.get(), 46), 0);
    EXPECT_EQ(BuildToneCurve(curve.get(), -46), 0);
    EXPECT_EQ(curve->position, 20);
    EXPECT_EQ(curve->map[30000], before);

    // Without rebuild an unchanged position keeps the curve; rebuild forces a new one.
    curve->map[30000] = 1;
    EXPECT_EQ(BuildToneCurve(curve.get(), 20), 1);
    EXPECT_EQ(curve->map[30000], 1);
    curve->rebuild = 1;
    EXPECT_EQ(BuildToneCurve(curve.get(), 20), 1);
    EXPECT_EQ(curve->map[30000], before);
}

TEST_F(ToneCurveTest, LightCurveExamples) {
    EXPECT_EQ(LightGainTable[81], 2.5);
    EXPECT_LT(LightGainTable[82], 2.5);
    EXPECT_NEAR(LightGainTable[12288], 0.3239, 5e-5);
    EXPECT_NEAR(LightGainTable[24575], 0.0229, 5e-5);
    ResetToneCurve(curve.get());
    ASSERT_EQ(BuildLightCurve(curve.get(), 0, 0), 1);
    EXPECT_EQ(curve->map[1], 3);
    EXPECT_EQ(curve->map[1000], 2413);
    EXPECT_EQ(curve->map[24575], 24576);
    for (uint32_t i = 24576; i <= 40959; ++i) ASSERT_EQ(curve->map[i], i);
    EXPECT_EQ(curve->map[50000], 46551);
    EXPECT_EQ(curve->map[65535], 65535);
    EXPECT_EQ(curve->rebuild, 1u);

    ASSERT_EQ(BuildLightCurve(curve.get(), 100, 100), 1);
    EXPECT_EQ(curve->map[1], 6);
    EXPECT_EQ(curve->map[1000], 3826);
    // The highlight part is the mirror image of the shadow part, measured from white.
    for (uint32_t i = 0; i < kLightSpan; ++i) {
        uint32_t lift = curve->map[i] - i, drop = (65535 - i) - curve->map[65535 - i];
        if (curve->map[i] < 24576 && curve->map[65535 - i] > 40959) {
            ASSERT_EQ(lift, drop) << i;
        }
    }

    ASSERT_EQ(BuildLightCurve(curve.get(), -1, -1), 1);
    for (uint32_t i = 0; i < kToneCurveSize; ++i) ASSERT_EQ(curve->map[i], i);
}

TEST_F(ToneCurveTest, LightCurvesNeverFallAndStayInTheirParts) {
    const int32_t settings[][2] = {{0, -1}, {-1, 0}, {50, 100}, {100, 0}, {INT32_MAX, INT32_MAX}};
    for (const auto& setting : settings) {
        SCOPED_TRACE(setting[0]);
        ResetToneCurve(curve.get());
        ASSERT_EQ(BuildLightCurve(curve.get(), setting[0], setting[1]), 1);
        EXPECT_EQ(curve->map[0], 0);
        for (uint32_t i = 1; i < kToneCurveSize; ++i) {
            ASSERT_GE(curve->map[i], curve->map[i - 1]);
        }
        for (uint32_t i = 0; i < kLightSpan; ++i) {
            ASSERT_GE(curve->map[i], i);
            ASSERT_LE(curve->map[65535 - i], 65535 - i);
        }
    }
    EXPECT_EQ(curve->map[1], 24576);  // the strongest lift saturates at once
    EXPECT_EQ(curve->map[65534], 40959);
}

// The pooled pass, in place or not, and through the converting accessors for other pixel
// types, equals a plain loop over the pixels; a null curve leaves its channel alone.
TEST_F(ToneCurveTest, ApplyMatchesAPlainLoop) {
    auto sCurve = std::make_unique<ToneCurve>();
    ResetToneCurve(sCurve.get());
    ResetToneCurve(curve.get());
    BuildToneCurve(sCurve.get(), 33);
    BuildToneCurve(curve.get(), -21);
    const struct {
        PixelType type;
        bool nullS;
    } cases[] = {{PT_HSV16, false}, {PT_HSV16, true}, {PT_RGB16, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type * 2 + c.nullS);
        CImgBuff src, dst, expected;
        FillRandomHsv(src, 257, 131, 7);
        ASSERT_EQ(src.ConvertType(c.type), 1);
        expected.Copy(src);
        C_ImgBuff* e = expected.buffer;
        for (int32_t y = 0; y < e->height; ++y)
            for (int32_t x = 0; x < e->width; ++x) {
                uint16_t h, s, v;
                e->GetHSV16(x, y, &h, &s, &v);
                e->SetHSV16(x, y, h, c.nullS ? s : sCurve->map[s], curve->map[v]);
            }
        const ToneCurve* s = c.nullS ? nullptr : sCurve.get();
        dst.buffer->Create(257, 131, c.type);
        ASSERT_EQ(ApplyToneCurves(&dst, &src, s, curve.get()), 1);
        ASSERT_EQ(ApplyToneCurves(&src, &src, s, curve.get()), 1);
        size_t bytes = size_t{257} * 131 * kBytesPerPixel[c.type];
        EXPECT_EQ(std::memcmp(dst.buffer->pixels, e->pixels, bytes), 0);
        EXPECT_EQ(std::memcmp(src.buffer->pixels, e->pixels, bytes), 0);
    }
    CImgBuff empty;
    EXPECT_EQ(ApplyToneCurves(&empty, &empty, nullptr, nullptr), 1);
}

}  // namespace
