#include "adjust/Pipeline.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "adjust/WhiteBalance.h"

namespace {

// Random HSV16 pixels over the whole range of each channel.
void FillRandomHsv(CImgBuff& image, int32_t width, int32_t height, uint32_t seed) {
    ASSERT_EQ(image.buffer->Create(width, height, PT_HSV16), 1);
    std::mt19937 random(seed);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            image.buffer->SetHSV16(x, y, random() % 65535, random() % 65535, random() % 65536);
}

// Light, mildly saturated colours with a cast: each channel is a random level scaled by the
// channel's factor in percent, so that the grey-point estimate sees the cast.
void FillCast(CImgBuff& image, int32_t width, int32_t height, int r, int g, int b, uint32_t seed) {
    ASSERT_EQ(image.buffer->Create(width, height, PT_HSV16), 1);
    std::mt19937 random(seed);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const uint32_t level = 40000 + random() % 25536;
            const uint32_t jitter = random() % 3000;
            image.buffer->SetRGB16(x, y, level * r / 100, (level - jitter) * g / 100,
                                   level * b / 100);
        }
    }
}

bool SamePixels(const CImgBuff& a, const CImgBuff& b) {
    int32_t aw = 0, ah = 0, bw = 0, bh = 0;
    PixelType at = PT_NONE, bt = PT_NONE;
    uint32_t bytes = 0;
    if (!a.buffer->GetInfo(&aw, &ah, &at, &bytes) || !b.buffer->GetInfo(&bw, &bh, &bt, nullptr))
        return false;
    if (aw != bw || ah != bh || at != bt) return false;
    return std::memcmp(a.buffer->pixels, b.buffer->pixels, size_t(aw) * ah * bytes) == 0;
}

// A state with neutral controls, as after the dialog's initialisation, holding a photo.
struct Fixture : testing::Test {
    AdjustmentState state;
    void SetUp() override {
        state.ResetAdjustments();
        FillCast(state.sourceImage, 192, 160, 100, 88, 72, 1);
        FillCast(state.proxySource, 48, 40, 75, 90, 100, 2);
    }
    CImgBuff* Run(int32_t proxy, int32_t brightness = 0, int32_t vividness = 0) {
        state.needsApply = 1;
        return state.ApplyAdjustmentStages(proxy, brightness, vividness);
    }
};

// Curves and a band table made apart from the state, to apply the stages by hand.
struct HandTables {
    ToneCurve* bright = static_cast<ToneCurve*>(std::calloc(1, sizeof(ToneCurve)));
    ToneCurve* vivid = static_cast<ToneCurve*>(std::calloc(1, sizeof(ToneCurve)));
    ToneCurve* light = static_cast<ToneCurve*>(std::calloc(1, sizeof(ToneCurve)));
    ColorBandTable* bands = static_cast<ColorBandTable*>(std::calloc(1, sizeof(ColorBandTable)));
    HandTables() {
        ResetToneCurve(bright);
        ResetToneCurve(vivid);
        ResetToneCurve(light);
        ResetColorBands(bands);
    }
    ~HandTables() {
        std::free(bright);
        std::free(vivid);
        std::free(light);
        std::free(bands);
    }
};

using PipelineStages = Fixture;

TEST_F(PipelineStages, NeutralControlsGiveTheSourceExactly) {
    FillRandomHsv(state.sourceImage, 301, 203, 7);
    FillRandomHsv(state.proxySource, 75, 50, 8);
    ASSERT_EQ(Run(0), &state.resultImage);
    EXPECT_TRUE(SamePixels(state.resultImage, state.sourceImage));
    ASSERT_EQ(Run(1), &state.proxyResult);
    EXPECT_TRUE(SamePixels(state.proxyResult, state.proxySource));
    // Nothing changed since: the next call does nothing.
    EXPECT_EQ(state.ApplyAdjustmentStages(0, 0, 0), nullptr);
}

TEST_F(PipelineStages, ToneStageFollowsTheLiveSliderPositions) {
    ASSERT_EQ(state.OnBrightnessChanged(1, 20), 1);
    Run(0, 0, 0);
    EXPECT_TRUE(SamePixels(state.resultImage, state.sourceImage));

    HandTables hand;
    BuildToneCurve(hand.bright, 20);
    CImgBuff expected;
    expected.Copy(state.sourceImage);
    ApplyToneCurves(&expected, &expected, nullptr, hand.bright);
    ASSERT_FALSE(SamePixels(expected, state.sourceImage));
    Run(0, 20, 0);
    EXPECT_TRUE(SamePixels(state.resultImage, expected));
    // Either live position switches the stage on; the vividness curve is still the identity.
    Run(0, 0, 5);
    EXPECT_TRUE(SamePixels(state.resultImage, expected));
}

TEST_F(PipelineStages, LightStageOffWhileBothLightsAreOff) {
    FillRandomHsv(state.sourceImage, 120, 90, 9);  // with shadows for the light curve to lift
    BuildLightCurve(state.lightCurve, 50, 50);
    Run(0);
    EXPECT_TRUE(SamePixels(state.resultImage, state.sourceImage));

    ASSERT_EQ(state.OnAddLightChanged(1, 30), 1);
    HandTables hand;
    BuildLightCurve(hand.light, 30, -1);
    CImgBuff expected;
    expected.Copy(state.sourceImage);
    ApplyToneCurves(&expected, &expected, nullptr, hand.light);
    ASSERT_FALSE(SamePixels(expected, state.sourceImage));
    Run(0);
    EXPECT_TRUE(SamePixels(state.resultImage, expected));
}

TEST_F(PipelineStages, AutoWhiteBalanceIsMeasuredOnTheFullPhotoForBothPairs) {
    double r, g, b, pr, pg, pb;
    ASSERT_EQ(EstimateGreyPoint(&state.sourceImage, &r, &g, &b, 60, 40), 1);
    ASSERT_EQ(EstimateGreyPoint(&state.proxySource, &pr, &pg, &pb, 60, 40), 1);
    ASSERT_NE(r, pr);  // the two photos are told apart by their measurement

    ColorCache* cache = CreateWhiteBalanceCache(r, g, b);
    CImgBuff expectedProxy, expectedFull;
    expectedProxy.Copy(state.proxySource);
    expectedFull.Copy(state.sourceImage);
    ApplyColorCache(cache, &expectedProxy);
    ApplyColorCache(cache, &expectedFull);
    ColorCache_Destroy(cache);
    ASSERT_FALSE(SamePixels(expectedProxy, state.proxySource));

    state.wbMode = 1;
    Run(1);
    EXPECT_TRUE(SamePixels(state.proxyResult, expectedProxy));
    ColorCache* measured = state.autoWbCache;
    Run(0);
    EXPECT_EQ(state.autoWbCache, measured);
    EXPECT_TRUE(SamePixels(state.resultImage, expectedFull));
}

TEST_F(PipelineStages, SpotModeAppliesOnlyAPickedGreyPoint) {
    state.wbMode = 2;
    Run(0);
    EXPECT_TRUE(SamePixels(state.resultImage, state.sourceImage));

    // The corner block holds 9 photo pixels of one colour; a different pixel just outside the
    // block must not count, nor may the 16 places outside the photo.
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
    ASSERT_NE(state.spotWbCache, nullptr);

    ColorCache* cache = CreateWhiteBalanceCache(r / 65535.0, g / 65535.0, b / 65535.0);
    CImgBuff expected;
    expected.Copy(state.sourceImage);
    ApplyColorCache(cache, &expected);
    ColorCache_Destroy(cache);
    Run(0);
    EXPECT_TRUE(SamePixels(state.resultImage, expected));
}

TEST_F(PipelineStages, WholePassEqualsTheStagesAppliedByHand) {
    state.wbMode = 1;
    state.selectedBand = 2;
    ASSERT_EQ(state.OnBrightnessChanged(1, 20), 1);
    ASSERT_EQ(state.OnVividnessChanged(1, -10), 1);
    ASSERT_EQ(state.OnAddLightChanged(1, 30), 1);
    ASSERT_EQ(state.OnSuppressLightChanged(1, 30), 1);
    ASSERT_EQ(state.OnBandHueChanged(1, 1000), 1);
    ASSERT_EQ(state.OnBandVividnessChanged(1, 10), 1);
    ASSERT_EQ(state.OnBandBrightnessChanged(1, -5), 1);

    HandTables hand;
    BuildToneCurve(hand.bright, 20);
    BuildToneCurve(hand.vivid, -10);
    BuildLightCurve(hand.light, 30, 30);
    hand.bands->bands[2].hueShift = 1000;
    hand.bands->bands[2].vividness = 10;
    hand.bands->bands[2].brightness = -5;
    BuildHueMap(hand.bands);
    BuildBandVividness(hand.bands, 2);
    BuildBandBrightness(hand.bands, 2);
    double r, g, b;
    ASSERT_EQ(EstimateGreyPoint(&state.sourceImage, &r, &g, &b, 60, 40), 1);
    ColorCache* cache = CreateWhiteBalanceCache(r, g, b);

    for (int32_t proxy : {0, 1}) {
        SCOPED_TRACE(proxy);
        CImgBuff& source = proxy ? state.proxySource : state.sourceImage;
        CImgBuff expected;
        expected.Copy(source);
        ApplyColorCache(cache, &expected);
        ApplyToneCurves(&expected, &expected, hand.vivid, hand.bright);
        ApplyToneCurves(&expected, &expected, nullptr, hand.light);
        ApplyColorBands(&expected, &expected, hand.bands);
        EXPECT_EQ(Run(proxy, 20, -10), proxy ? &state.proxyResult : &state.resultImage);
        EXPECT_TRUE(SamePixels(proxy ? state.proxyResult : state.resultImage, expected));
        EXPECT_FALSE(SamePixels(expected, source));
    }
    ColorCache_Destroy(cache);
}

TEST_F(PipelineStages, NewPhotoIsMeasuredAfterTheCachesAreDropped) {
    state.wbMode = 1;
    Run(0);
    ASSERT_EQ(state.PickSpotWhiteBalance(5, 5), 1);
    ASSERT_NE(state.autoWbCache, nullptr);
    state.DropWhiteBalanceCaches();
    EXPECT_EQ(state.autoWbCache, nullptr);
    EXPECT_EQ(state.spotWbCache, nullptr);

    FillCast(state.sourceImage, 192, 160, 70, 100, 85, 3);
    double r, g, b;
    ASSERT_EQ(EstimateGreyPoint(&state.sourceImage, &r, &g, &b, 60, 40), 1);
    ColorCache* cache = CreateWhiteBalanceCache(r, g, b);
    CImgBuff expected;
    expected.Copy(state.sourceImage);
    ApplyColorCache(cache, &expected);
    ColorCache_Destroy(cache);
    Run(0);
    EXPECT_TRUE(SamePixels(state.resultImage, expected));
}

TEST(PipelineResult, NeverKeepsPixelsOfAnEarlierPass) {
    AdjustmentState state;  // band table never built, so no stage writes the result
    FillRandomHsv(state.sourceImage, 40, 30, 4);
    FillRandomHsv(state.resultImage, 40, 30, 5);
    state.needsApply = 1;
    state.ApplyAdjustmentStages(0, 0, 0);
    EXPECT_TRUE(SamePixels(state.resultImage, state.sourceImage));
}

TEST(PipelineResult, WithoutAPhotoTheResultIsEmpty) {
    AdjustmentState state;
    state.ResetAdjustments();
    state.wbMode = 1;
    state.needsApply = 1;
    CImgBuff* result = state.ApplyAdjustmentStages(1, 10, 10);
    ASSERT_EQ(result, &state.proxyResult);
    EXPECT_EQ(result->buffer->GetInfo(nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(state.autoWbCache, nullptr);
}

// One slider: its update, a position in range, and an entry its rebuild writes with the value
// known for that position: the arc curves at 30 and -30 give 41253 and 24282 at 32768; the
// light curves at 0 lift entry 1 to 3 and lower entry 65534 to 65532; a hue shift of 2000 moves
// the cyan anchor 32768 to 34768.
struct SliderCase {
    const char* name;
    int (AdjustmentState::*update)(int32_t, int32_t);
    int32_t position;
    int32_t outOfRange;
    uint16_t* (*probe)(AdjustmentState&);
    uint16_t built;  // the probed entry after the rebuild for position
    int32_t (*stored)(AdjustmentState&);
};

constexpr int kBand = 3;

const SliderCase kSliders[] = {
    {"brightness", &AdjustmentState::OnBrightnessChanged, 30, 46,
     [](AdjustmentState& s) { return &s.brightnessCurve->map[32768]; }, 41253,
     [](AdjustmentState& s) { return s.brightnessCurve->position; }},
    {"vividness", &AdjustmentState::OnVividnessChanged, -30, -46,
     [](AdjustmentState& s) { return &s.vividnessCurve->map[32768]; }, 24282,
     [](AdjustmentState& s) { return s.vividnessCurve->position; }},
    {"add light", &AdjustmentState::OnAddLightChanged, 0, 101,
     [](AdjustmentState& s) { return &s.lightCurve->map[1]; }, 3,
     [](AdjustmentState& s) { return s.addLight; }},
    {"suppress light", &AdjustmentState::OnSuppressLightChanged, 0, -2,
     [](AdjustmentState& s) { return &s.lightCurve->map[65534]; }, 65532,
     [](AdjustmentState& s) { return s.suppressLight; }},
    {"band hue", &AdjustmentState::OnBandHueChanged, 2000, 5001,
     [](AdjustmentState& s) { return &s.colorBandTable->hueMap[32768].mappedHue; }, 34768,
     [](AdjustmentState& s) { return int32_t{s.colorBandTable->bands[kBand].hueShift}; }},
    {"band vividness", &AdjustmentState::OnBandVividnessChanged, 30, 41,
     [](AdjustmentState& s) { return &s.colorBandTable->bands[kBand].vividMap[32768]; }, 41253,
     [](AdjustmentState& s) { return int32_t{s.colorBandTable->bands[kBand].vividness}; }},
    {"band brightness", &AdjustmentState::OnBandBrightnessChanged, -30, -41,
     [](AdjustmentState& s) { return &s.colorBandTable->bands[kBand].brightMap[32768]; }, 24282,
     [](AdjustmentState& s) { return int32_t{s.colorBandTable->bands[kBand].brightness}; }},
};

TEST(PipelineSliders, DragSkipsRepeatedPositionsAndReleaseAlwaysRebuilds) {
    for (const SliderCase& c : kSliders) {
        SCOPED_TRACE(c.name);
        AdjustmentState state;
        state.ResetAdjustments();
        state.selectedBand = kBand;

        ASSERT_EQ((state.*c.update)(0, c.position), 1);
        EXPECT_EQ(c.stored(state), c.position);
        EXPECT_EQ(state.needsApply, 1);
        EXPECT_EQ(state.useProxy, 1);
        EXPECT_EQ(*c.probe(state), c.built);

        // The same position again while dragging: no rebuild, nothing to redraw.
        *c.probe(state) = 12345;
        state.needsApply = 0;
        EXPECT_EQ((state.*c.update)(0, c.position), 0);
        EXPECT_EQ(*c.probe(state), 12345);
        EXPECT_EQ(state.needsApply, 0);
        EXPECT_EQ(state.useProxy, 1);

        // Released at the same position: rebuilt, full resolution next.
        EXPECT_EQ((state.*c.update)(1, c.position), 1);
        EXPECT_EQ(*c.probe(state), c.built);
        EXPECT_EQ(state.needsApply, 1);
        EXPECT_EQ(state.useProxy, 0);

        // A position no slider can take is refused and changes nothing.
        state.needsApply = 0;
        EXPECT_EQ((state.*c.update)(1, c.outOfRange), 0);
        EXPECT_EQ(c.stored(state), c.position);
        EXPECT_EQ(state.needsApply, 0);
    }
}

TEST(PipelineSliders, BandSlidersEditOnlyTheSelectedBand) {
    AdjustmentState state;
    state.ResetAdjustments();
    state.selectedBand = 4;
    state.OnBandHueChanged(1, -700);
    state.OnBandVividnessChanged(1, 12);
    state.OnBandBrightnessChanged(1, -9);
    for (int k = 0; k < kColorBandCount; ++k) {
        const ColorBand& band = state.colorBandTable->bands[k];
        EXPECT_EQ(band.hueShift, k == 4 ? -700 : 0) << k;
        EXPECT_EQ(band.vividness, k == 4 ? 12 : 0) << k;
        EXPECT_EQ(band.brightness, k == 4 ? -9 : 0) << k;
    }
    state.selectedBand = 6;
    state.needsApply = 0;
    EXPECT_EQ(state.OnBandVividnessChanged(1, 5), 0);
    EXPECT_EQ(state.needsApply, 0);
}

TEST_F(PipelineStages, ResetBringsBackTheUnadjustedPhoto) {
    state.wbMode = 1;
    state.selectedBand = 1;
    state.OnBrightnessChanged(1, 30);
    state.OnAddLightChanged(1, 40);
    state.OnSuppressLightChanged(1, 20);
    state.OnBandVividnessChanged(1, 25);
    Run(0, 30, 0);
    ColorCache* cache = state.autoWbCache;

    state.needsApply = 0;
    state.ResetAdjustments();
    EXPECT_EQ(state.needsApply, 0);
    EXPECT_EQ(state.wbMode, 0);
    EXPECT_EQ(state.addLight, -1);
    EXPECT_EQ(state.suppressLight, -1);
    EXPECT_EQ(state.colorBandTable->bands[1].vividness, 0);
    EXPECT_EQ(state.brightnessCurve->map[32768], 32768);
    EXPECT_EQ(state.autoWbCache, cache);
    Run(0, 0, 0);
    EXPECT_TRUE(SamePixels(state.resultImage, state.sourceImage));

    // Dragging back to the position used before the reset shows its curve again at once.
    EXPECT_EQ(state.OnBrightnessChanged(0, 30), 1);
    EXPECT_NE(state.brightnessCurve->map[32768], 32768);
}

}  // namespace
