#include "adjust/ToneCurve.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>

#include "tests/adjust/AdjustTest.h"

namespace {

using ToneCurveTest = AdjustTest;

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

// Out-of-range positions are refused, and no curve is built or applied once the last user of the
// engine tables has left; an extra release stays at zero users.
TEST_F(ToneCurveTest, RefusalsLeaveTheCurveAlone) {
    ASSERT_EQ(BuildToneCurve(curve.get(), 30), 1);
    EXPECT_EQ(BuildToneCurve(curve.get(), 46) + BuildToneCurve(curve.get(), -46), 0);
    InitEngineTables();
    ReleaseEngineTables();
    ReleaseEngineTables();
    CImgBuff image;
    EXPECT_EQ(BuildToneCurve(curve.get(), 10) + BuildLightCurve(curve.get(), 0, 0) +
                  ResetToneCurve(curve.get()) +
                  ApplyToneCurves(&image, &image, curve.get(), nullptr),
              0);
    EXPECT_EQ(curve->map[32768], 41253);  // still the curve of 30
    ReleaseEngineTables();
    EXPECT_EQ(EngineTablesReady(), 0);
    InitEngineTables();
    EXPECT_EQ(EngineTablesReady(), 1);
}

TEST_F(ToneCurveTest, LightCurves) {
    EXPECT_EQ(LightGainTable[81], 2.5);
    EXPECT_LT(LightGainTable[82], 2.5);
    EXPECT_NEAR(LightGainTable[12288], 0.3239, 5e-5);
    EXPECT_NEAR(LightGainTable[24575], 0.0229, 5e-5);
    // Every setting: never falling, shadows only lifted, highlights only lowered; the strongest
    // lift saturates at once. Known entries of the last, (0, 0), untouched between the two parts.
    for (const auto& [add, cut] :
         {std::pair{0, -1}, {-1, 0}, {50, 100}, {INT32_MAX, INT32_MAX}, {0, 0}}) {
        ResetToneCurve(curve.get());
        ASSERT_EQ(BuildLightCurve(curve.get(), add, cut), 1);
        for (uint32_t i = 1; i < kToneCurveSize; ++i) ASSERT_GE(curve->map[i], curve->map[i - 1]);
        for (uint32_t i = 0; i < kLightSpan; ++i)
            ASSERT_TRUE(curve->map[i] >= i && curve->map[65535 - i] <= 65535 - i)
                << add << " " << i;
        EXPECT_TRUE(add != INT32_MAX || (curve->map[1] == 24576 && curve->map[65534] == 40959));
    }
    const uint32_t at[] = {0, 1, 1000, 24575, 50000, 65535};
    const uint16_t known[] = {0, 3, 2413, 24576, 46551, 65535};
    for (int k = 0; k < 6; ++k) EXPECT_EQ(curve->map[at[k]], known[k]) << at[k];
    for (uint32_t i = 24576; i <= 40959; ++i) ASSERT_EQ(curve->map[i], i);

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

}  // namespace
