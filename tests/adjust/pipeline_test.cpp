#include "adjust/Pipeline.h"

#include "adjust/WhiteBalance.h"
#include "tests/adjust/AdjustTest.h"

namespace {

// Light, mildly saturated colours with a cast (channel factors in percent) that the grey-point
// estimate sees.
void FillCast(CImgBuff& image, int32_t width, int32_t height, int r, int g, int b, uint32_t seed) {
    ASSERT_EQ(image.buffer->Create(width, height, PT_HSV16), 1);
    std::mt19937 random(seed);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const uint32_t level = 40000 + random() % 25536, jitter = random() % 3000;
            image.buffer->SetRGB16(x, y, level * r / 100, (level - jitter) * g / 100,
                                   level * b / 100);
        }
}

// image white-balanced for the grey point (r, g, b), or for the one measured on `measured`.
void Balanced(CImgBuff& out, const CImgBuff& image, double r, double g, double b) {
    ColorCache* cache = CreateWhiteBalanceCache(r, g, b);
    out.Copy(image);
    ASSERT_EQ(ApplyColorCache(cache, &out), 1);
    ColorCache_Destroy(cache);
}
void Balanced(CImgBuff& out, const CImgBuff& image, const CImgBuff& measured) {
    double r, g, b;
    ASSERT_EQ(EstimateGreyPoint(&measured, &r, &g, &b, 60, 40), 1);
    Balanced(out, image, r, g, b);
}

// A state with neutral controls, as after the dialog's initialisation, holding a photo.
struct PipelineStages : testing::Test {
    AdjustmentState state;
    void SetUp() override {
        state.ResetAdjustments();
        FillCast(state.sourceImage, 192, 160, 100, 88, 72, 1);
        FillCast(state.proxySource, 48, 40, 75, 90, 100, 2);
    }
    CImgBuff* Run(int32_t proxy) {
        state.needsApply = 1;
        return state.ApplyAdjustmentStages(proxy);
    }
};

TEST_F(PipelineStages, AutoWhiteBalanceIsMeasuredOnTheFullPhotoForBothPairs) {
    CImgBuff expectedProxy, expectedFull, ownProxy;
    Balanced(expectedProxy, state.proxySource, state.sourceImage);
    Balanced(expectedFull, state.sourceImage, state.sourceImage);
    Balanced(ownProxy, state.proxySource, state.proxySource);
    ASSERT_FALSE(SamePixels(expectedProxy, ownProxy));

    state.wbMode = WhiteBalanceMode::Automatic;
    Run(1);
    EXPECT_TRUE(SamePixels(state.proxyResult, expectedProxy));
    ColorCache* measured = state.autoWbCache;
    Run(0);
    EXPECT_EQ(state.autoWbCache, measured);
    EXPECT_TRUE(SamePixels(state.resultImage, expectedFull));

    // A new photo is measured afresh once the caches are dropped.
    state.DropWhiteBalanceCaches();
    EXPECT_EQ(state.autoWbCache, nullptr);
    FillCast(state.sourceImage, 192, 160, 70, 100, 85, 3);
    Balanced(expectedFull, state.sourceImage, state.sourceImage);
    Run(0);
    EXPECT_TRUE(SamePixels(state.resultImage, expectedFull));
}

TEST_F(PipelineStages, SpotModeAppliesOnlyAPickedGreyPoint) {
    state.wbMode = WhiteBalanceMode::Spot;
    Run(0);
    EXPECT_TRUE(SamePixels(state.resultImage, state.sourceImage));

    // The corner block holds 9 photo pixels of one colour; the pixel just outside the block must
    // not count, nor may the places outside the photo.
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 3; ++x)
            state.sourceImage.buffer->SetRGB16(x, y, 52000, 45000, 38000);
    state.sourceImage.buffer->SetRGB16(3, 3, 10000, 60000, 10000);
    uint16_t r, g, b;
    state.sourceImage.buffer->GetRGB16(1, 1, &r, &g, &b);
    EXPECT_EQ(state.PickSpotWhiteBalance(-1, 0), 0);
    EXPECT_EQ(state.PickSpotWhiteBalance(0, 160), 0);
    EXPECT_EQ(state.spotWbCache, nullptr);
    state.needsApply = 0;
    ASSERT_EQ(state.PickSpotWhiteBalance(0, 0), 1);
    EXPECT_EQ(state.needsApply, 1);

    CImgBuff expected;
    Balanced(expected, state.sourceImage, r / 65535.0, g / 65535.0, b / 65535.0);
    Run(0);
    EXPECT_TRUE(SamePixels(state.resultImage, expected));
}

TEST(PipelineResult, NeverKeepsPixelsOfAnEarlierPassNorShowsAMissingPhoto) {
    AdjustmentState state, empty;  // band tables never built, so no stage writes the result
    FillRandomHsv(state.sourceImage, 40, 30, 4);
    FillRandomHsv(state.resultImage, 40, 30, 5);
    state.needsApply = empty.needsApply = 1;
    empty.wbMode = WhiteBalanceMode::Automatic;
    state.ApplyAdjustmentStages(0);
    EXPECT_TRUE(SamePixels(state.resultImage, state.sourceImage));
    CImgBuff* result = empty.ApplyAdjustmentStages(1);
    ASSERT_EQ(result, &empty.proxyResult);
    EXPECT_EQ(result->buffer->GetInfo(nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(empty.autoWbCache, nullptr);
}

// One slider, a position in range, and an entry its rebuild writes with the value known for
// that position: the arc curves at 30 and -30 give 41253 and 24282 at 32768; the light curves
// at 0 lift entry 1 to 3 and lower entry 65534 to 65532; a hue shift of 2000 moves the cyan
// anchor 32768 to 34768.
constexpr int kBand = 3;
const struct {
    const char* name;
    int (AdjustmentState::*update)(int32_t, int32_t);
    int32_t position, outOfRange;
    uint16_t* (*probe)(AdjustmentState&);
    uint16_t built;
} kSliders[] = {
    {"brightness", &AdjustmentState::OnBrightnessChanged, 30, 46,
     [](AdjustmentState& s) { return &s.brightnessCurve->map[32768]; }, 41253},
    {"vividness", &AdjustmentState::OnVividnessChanged, -30, -46,
     [](AdjustmentState& s) { return &s.vividnessCurve->map[32768]; }, 24282},
    {"add light", &AdjustmentState::OnAddLightChanged, 0, 101,
     [](AdjustmentState& s) { return &s.lightCurve->map[1]; }, 3},
    {"suppress light", &AdjustmentState::OnSuppressLightChanged, 0, -2,
     [](AdjustmentState& s) { return &s.lightCurve->map[65534]; }, 65532},
    {"band hue", &AdjustmentState::OnBandHueChanged, 2000, 5001,
     [](AdjustmentState& s) { return &s.colorBandTable->hueMap[32768].mappedHue; }, 34768},
    {"band vividness", &AdjustmentState::OnBandVividnessChanged, 30, 41,
     [](AdjustmentState& s) { return &s.colorBandTable->bands[kBand].vividMap[32768]; }, 41253},
    {"band brightness", &AdjustmentState::OnBandBrightnessChanged, -30, -41,
     [](AdjustmentState& s) { return &s.colorBandTable->bands[kBand].brightMap[32768]; }, 24282},
};

TEST(PipelineSliders, DragSkipsRepeatedPositionsAndReleaseAlwaysRebuilds) {
    for (const auto& c : kSliders) {
        SCOPED_TRACE(c.name);
        AdjustmentState state;
        state.ResetAdjustments();
        state.selectedBand = kBand;
        ASSERT_EQ((state.*c.update)(0, c.position), 1);
        EXPECT_EQ(*c.probe(state), c.built);
        EXPECT_EQ(state.needsApply, 1);
        EXPECT_EQ(state.useProxy, 1);

        // The same position again while dragging: no rebuild, nothing to redraw.
        *c.probe(state) = 12345;
        state.needsApply = 0;
        EXPECT_EQ((state.*c.update)(0, c.position), 0);
        EXPECT_EQ(*c.probe(state), 12345);
        EXPECT_EQ(state.needsApply, 0);

        // Released at the same position: rebuilt, full resolution next.
        EXPECT_EQ((state.*c.update)(1, c.position), 1);
        EXPECT_EQ(*c.probe(state), c.built);
        EXPECT_EQ(state.useProxy, 0);

        // A position no slider can take is refused and changes nothing.
        *c.probe(state) = 12345;
        state.needsApply = 0;
        EXPECT_EQ((state.*c.update)(1, c.outOfRange), 0);
        EXPECT_EQ(*c.probe(state), 12345);
        EXPECT_EQ(state.needsApply, 0);
    }
    AdjustmentState state;
    state.selectedBand = 6;  // the copy of red is no band of its own
    EXPECT_EQ(state.OnBandVividnessChanged(1, 5), 0);
}

// Every stage in its order, on both pairs; a reset brings back the unadjusted photo.
TEST_F(PipelineStages, WholePassAndReset) {
    state.wbMode = WhiteBalanceMode::Automatic;
    state.selectedBand = 2;
    ASSERT_EQ(state.OnBrightnessChanged(1, 20), 1);
    ASSERT_EQ(state.OnVividnessChanged(1, -10), 1);
    ASSERT_EQ(state.OnAddLightChanged(1, 30), 1);
    ASSERT_EQ(state.OnSuppressLightChanged(1, 30), 1);
    ASSERT_EQ(state.OnBandHueChanged(1, 1000), 1);
    ASSERT_EQ(state.OnBandVividnessChanged(1, 10), 1);
    ASSERT_EQ(state.OnBandBrightnessChanged(1, -5), 1);
    for (int32_t proxy : {0, 1}) {
        CImgBuff expected;
        Balanced(expected, proxy ? state.proxySource : state.sourceImage, state.sourceImage);
        ApplyToneCurves(&expected, &expected, state.vividnessCurve, state.brightnessCurve);
        ApplyToneCurves(&expected, &expected, nullptr, state.lightCurve);
        ApplyColorBands(&expected, &expected, state.colorBandTable);
        const CImgBuff* result = Run(proxy);
        ASSERT_EQ(result, proxy ? &state.proxyResult : &state.resultImage);
        EXPECT_TRUE(SamePixels(*result, expected)) << proxy;
    }

    ColorCache* measured = state.autoWbCache;
    state.needsApply = 0;
    state.ResetAdjustments();
    EXPECT_EQ(state.needsApply, 0);
    EXPECT_EQ(state.autoWbCache, measured);  // the photo's measurement stays valid
    EXPECT_EQ(state.addLight, -1);  // both lights off again, though their curve is the identity
    EXPECT_EQ(state.suppressLight, -1);
    Run(0);
    EXPECT_TRUE(SamePixels(state.resultImage, state.sourceImage));
    Run(1);
    EXPECT_TRUE(SamePixels(state.proxyResult, state.proxySource));
    // Curves apply only while their positions turn them on: a light curve built with both light
    // sliders off stays out.
    BuildLightCurve(state.lightCurve, 50, 50);
    Run(0);
    EXPECT_TRUE(SamePixels(state.resultImage, state.sourceImage));
    EXPECT_EQ(state.ApplyAdjustmentStages(0), nullptr);  // nothing changed since
    // Dragging back to the position used before the reset shows its curve again at once.
    EXPECT_EQ(state.OnBrightnessChanged(0, 20), 1);
    EXPECT_NE(state.brightnessCurve->map[32768], 32768);
}

}  // namespace
