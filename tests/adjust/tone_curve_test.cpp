#include "adjust/ToneCurve.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <memory>

#include "tests/adjust/AdjustTest.h"

namespace {

class ToneCurveTest : public ::testing::Test {
  protected:
    void SetUp() override { InitEngineTables(); }
    void TearDown() override { ReleaseEngineTables(); }
    std::unique_ptr<ToneCurve> curve = std::make_unique<ToneCurve>();
};

// Every arc curve is the height of a unit-circle arc, mirrored about the diagonal for negative
// positions: sqrt(1 - t^2) gives the same entries up to the final truncation.
TEST_F(ToneCurveTest, ArcCurvesFollowTheCircle) {
    const std::map<int32_t, std::array<uint16_t, 3>> known = {
        // at 16384, 32768 and 49152
        {45, {28123, 45341, 57242}},  {30, {23732, 41253, 54842}}, {15, {19822, 37045, 52170}},
        {-15, {12945, 28490, 46133}}, {-30, {9035, 24282, 43461}}, {-45, {4644, 20194, 41061}}};
    for (int32_t p = -45; p <= 45; ++p) {
        SCOPED_TRACE(p);
        curve->rebuild = 1;
        ASSERT_EQ(BuildToneCurve(curve.get(), p), 1);
        for (int k = 0; known.contains(p) && k < 3; ++k)
            EXPECT_EQ(curve->map[16384 * (k + 1)], known.at(p)[k]);
        const double half = std::abs(p) * 0.5 * M_PI / 180;
        const double x0 = std::cos(M_PI / 4 - half), x1 = std::cos(M_PI / 4 + half);
        const double y0 = std::sqrt(1 - x0 * x0), y1 = std::sqrt(1 - x1 * x1);
        for (uint32_t i = 0; i < kToneCurveSize; ++i) {
            ASSERT_GE(curve->map[i], curve->map[i ? i - 1 : 0]) << i;
            if (p == 0) {
                ASSERT_EQ(curve->map[i], i);
                continue;
            }
            const double t = x0 + (x1 - x0) * i / 65535;
            const double v = (std::sqrt(1 - t * t) - y0) / (y1 - y0) * 65535;
            ASSERT_NEAR(curve->map[i], std::clamp(p > 0 ? v : 2.0 * i - v, 0.0, 65535.0), 1.01)
                << i;
        }
    }
}

TEST_F(ToneCurveTest, RefusalsLeaveTheCurveAlone) {
    ASSERT_EQ(BuildToneCurve(curve.get(), 20), 1);
    const uint16_t before = curve->map[30000];
    EXPECT_EQ(BuildToneCurve(curve.get(), 46), 0);
    EXPECT_EQ(BuildToneCurve(curve.get(), -46), 0);
    EXPECT_EQ(curve->map[30000], before);
    // The engine tables stay until their last user leaves; nothing is built without them.
    InitEngineTables();
    ReleaseEngineTables();
    EXPECT_EQ(BuildToneCurve(curve.get(), 30), 1);
    ReleaseEngineTables();
    CImgBuff image;
    EXPECT_EQ(BuildToneCurve(curve.get(), 10) + BuildLightCurve(curve.get(), 0, 0) +
                  ResetToneCurve(curve.get()) +
                  ApplyToneCurves(&image, &image, curve.get(), nullptr),
              0);
    EXPECT_EQ(curve->map[32768], 41253);  // still the curve of 30
    ReleaseEngineTables();                // one too many stays at zero
    InitEngineTables();
    EXPECT_EQ(EngineTablesReady(), 1);
}

TEST_F(ToneCurveTest, LightCurves) {
    EXPECT_EQ(LightGainTable[81], 2.5);
    EXPECT_LT(LightGainTable[82], 2.5);
    EXPECT_NEAR(LightGainTable[12288], 0.3239, 5e-5);
    EXPECT_NEAR(LightGainTable[24575], 0.0229, 5e-5);
    // Every setting: never falling, shadows only lifted, highlights only lowered.
    const int32_t settings[][2] = {{0, -1}, {-1, 0}, {50, 100}, {INT32_MAX, INT32_MAX}, {0, 0}};
    for (const auto& setting : settings) {
        SCOPED_TRACE(setting[0]);
        ResetToneCurve(curve.get());
        ASSERT_EQ(BuildLightCurve(curve.get(), setting[0], setting[1]), 1);
        EXPECT_EQ(curve->map[0], 0);
        for (uint32_t i = 1; i < kToneCurveSize; ++i) ASSERT_GE(curve->map[i], curve->map[i - 1]);
        for (uint32_t i = 0; i < kLightSpan; ++i) {
            ASSERT_GE(curve->map[i], i);
            ASSERT_LE(curve->map[65535 - i], 65535 - i);
        }
        if (setting[0] == INT32_MAX) {  // the strongest lift saturates at once
            EXPECT_EQ(curve->map[1], 24576);
            EXPECT_EQ(curve->map[65534], 40959);
        }
    }
    EXPECT_EQ(curve->map[1], 3);
    EXPECT_EQ(curve->map[1000], 2413);
    EXPECT_EQ(curve->map[24575], 24576);
    for (uint32_t i = 24576; i <= 40959; ++i) ASSERT_EQ(curve->map[i], i);
    EXPECT_EQ(curve->map[50000], 46551);
    EXPECT_EQ(curve->map[65535], 65535);

    ASSERT_EQ(BuildLightCurve(curve.get(), 100, 100), 1);
    EXPECT_EQ(curve->map[1], 6);
    EXPECT_EQ(curve->map[1000], 3826);
    // The highlight part mirrors the shadow part, measured from white.
    for (uint32_t i = 0; i < kLightSpan; ++i) {
        if (curve->map[i] >= 24576 || curve->map[65535 - i] <= 40959) continue;
        ASSERT_EQ(curve->map[i] - i, (65535 - i) - curve->map[65535 - i]) << i;
    }
    ASSERT_EQ(BuildLightCurve(curve.get(), -1, -1), 1);
    for (uint32_t i = 0; i < kToneCurveSize; ++i) ASSERT_EQ(curve->map[i], i);
}

// The pooled pass equals a plain loop; a null curve leaves its channel alone.
TEST_F(ToneCurveTest, ApplyMatchesAPlainLoop) {
    auto sCurve = std::make_unique<ToneCurve>();
    BuildToneCurve(sCurve.get(), 33);
    BuildToneCurve(curve.get(), -21);
    for (const ToneCurve* sc : {sCurve.get(), static_cast<ToneCurve*>(nullptr)})
        for (PixelType type : {PT_HSV16, PT_RGB16})
            ExpectPassMatchesPlainLoop(
                type,
                [&](CImgBuff* d, CImgBuff* s) { return ApplyToneCurves(d, s, sc, curve.get()); },
                [&](uint16_t&, uint16_t& s, uint16_t& v) {
                    if (sc) s = sc->map[s];
                    v = curve->map[v];
                });
}

}  // namespace
