// The whole pass against the stage functions run one after another, on random photos and random
// settings; and what a pass does when memory runs short.
#include <algorithm>
#include <vector>

#include "adjust/ColorCacheTesting.h"
#include "adjust/Pipeline.h"
#include "adjust/WhiteBalance.h"
#include "image/ColorModel.h"
#include "tests/adjust/AdjustTest.h"

namespace {

// Which stages a case turns on.
enum Stage : unsigned { kAutoWb = 1, kSpotWb = 2, kTone = 4, kLight = 8, kBands = 16 };

struct Settings {
    unsigned stages;
    int32_t brightness, vividness, addLight, suppressLight, band, hue, vivid, bright;
};

Settings RandomSettings(unsigned stages, std::mt19937& random) {
    auto pick = [&](int32_t low, int32_t high) {
        return low + static_cast<int32_t>(random() % static_cast<uint32_t>(high - low + 1));
    };
    return {stages,     pick(-45, 45),     pick(-45, 45), pick(-1, 100), pick(0, 100),
            pick(0, 5), pick(-5000, 5000), pick(-40, 40), pick(-40, 40)};
}

void Apply(AdjustmentState& state, const Settings& s) {
    state.ResetAdjustments();
    state.wbMode = (s.stages & kAutoWb)   ? WhiteBalanceMode::Automatic
                   : (s.stages & kSpotWb) ? WhiteBalanceMode::Spot
                                          : WhiteBalanceMode::Off;
    if (s.stages & kSpotWb) {
        ASSERT_EQ(state.PickSpotWhiteBalance(7, 5), 1);
    }
    if (s.stages & kTone) {
        state.OnBrightnessChanged(1, s.brightness);
        state.OnVividnessChanged(1, s.vividness);
    }
    if (s.stages & kLight) {
        state.OnAddLightChanged(1, s.addLight);
        state.OnSuppressLightChanged(1, s.suppressLight);
    }
    if (s.stages & kBands) {
        state.selectedBand = s.band;
        state.OnBandHueChanged(1, s.hue);
        state.OnBandVividnessChanged(1, s.vivid);
        state.OnBandBrightnessChanged(1, s.bright);
    }
}

// The stage functions one after another on a copy of src, as the pipeline has always run them.
void StageByStage(AdjustmentState& state, const Settings& s, const CImgBuff& src,
                  CImgBuff& expected) {
    expected.Copy(src);
    ColorCache* wb = (s.stages & kAutoWb) ? state.autoWbCache : state.spotWbCache;
    if (s.stages & (kAutoWb | kSpotWb)) {
        ASSERT_EQ(ApplyColorCache(wb, &expected), 1);
    }
    if (s.stages & kTone)
        ApplyToneCurves(&expected, &expected, state.vividnessCurve, state.brightnessCurve);
    if (s.stages & kLight) ApplyToneCurves(&expected, &expected, nullptr, state.lightCurve);
    ApplyColorBands(&expected, &expected, state.colorBandTable);
}

// The display colours of an HSV16 image, pixel by pixel, bottom-up as in a display bitmap.
std::vector<uint8_t> DisplayColours(const CImgBuff& image) {
    const C_ImgBuff& b = *image.buffer;
    std::vector<uint8_t> bgr(size_t(b.width) * b.height * 3);
    for (int32_t y = 0; y < b.height; ++y)
        for (int32_t x = 0; x < b.width; ++x) {
            uint16_t h, s, v, rgb[3];
            b.GetHSV16(x, y, &h, &s, &v);
            HsvToRgb16(h, s, v, &rgb[0], &rgb[1], &rgb[2]);
            uint8_t* p = &bgr[(size_t(b.height - 1 - y) * b.width + x) * 3];
            for (int c = 0; c < 3; ++c) p[c] = uint8_t(rgb[2 - c] >> 8);
        }
    return bgr;
}

// Random photos (widths that end runs of pixels and vectors at every offset) and settings:
// every stage alone, all together, both white balances, both pairs, with and without the
// display colours, into the result and over the photo itself, with and without vectors.
TEST(FusedPass, EqualsTheStagesRunOneAfterAnother) {
    std::mt19937 random(11);
    const unsigned cases[] = {0,
                              kAutoWb,
                              kSpotWb,
                              kTone,
                              kLight,
                              kBands,
                              kAutoWb | kTone | kLight | kBands,
                              kSpotWb | kTone | kLight | kBands};
    for (VectorLevel level : {VectorLevel::kAvx512, VectorLevel::kAvx2, VectorLevel::kScalar}) {
        LimitVectorLevel(level);
        for (unsigned stages : cases) {
            for (int round = 0; round < 2; ++round) {
                const Settings settings = RandomSettings(stages, random);
                const int32_t width = 100 + random() % 300, height = 8 + random() % 16;
                SCOPED_TRACE(testing::Message() << "stages " << stages << " round " << round
                                                << " level " << int(level) << " " << width);
                AdjustmentState state;
                FillRandomHsv(state.sourceImage, width, height, random());
                FillRandomHsv(state.proxySource, width / 4, height / 4, random());
                Apply(state, settings);
                for (int32_t proxy : {0, 1}) {
                    CImgBuff& src = proxy ? state.proxySource : state.sourceImage;
                    std::vector<uint8_t> bgr(size_t(src.buffer->width) * src.buffer->height * 3);
                    const ptrdiff_t stride = ptrdiff_t(src.buffer->width) * 3;
                    const BgrRows rows{bgr.data() + (src.buffer->height - 1) * stride, -stride};
                    state.needsApply = 1;
                    const CImgBuff* result = state.ApplyAdjustmentStages(proxy, &rows);
                    CImgBuff expected;
                    StageByStage(state, settings, src, expected);
                    ASSERT_TRUE(SamePixels(*result, expected)) << "proxy " << proxy;
                    EXPECT_EQ(bgr, DisplayColours(expected));
                }
                CImgBuff expected;
                StageByStage(state, settings, state.sourceImage, expected);
                state.needsApply = 1;
                EXPECT_EQ(state.ApplyAdjustmentStagesInPlace(), &state.sourceImage);
                EXPECT_TRUE(SamePixels(state.sourceImage, expected));
            }
        }
    }
    LimitVectorLevel(VectorLevel::kAvx512);
}

// The white-balanced photo kept between full passes and the proxy kept through a drag: every
// pass still equals the stages run one after another, when the white balance changes between
// passes and when another photo takes the place of the first.
TEST(FusedPass, PassesFromAKeptBalanceEqualWholePasses) {
    std::mt19937 random(5);
    AdjustmentState state;
    state.keepFullBalance = true;
    FillRandomHsv(state.sourceImage, 200, 160, 1);
    FillRandomHsv(state.proxySource, 50, 40, 2);
    Settings settings = RandomSettings(kAutoWb | kTone | kLight | kBands, random);
    Apply(state, settings);
    auto pass = [&](int32_t proxy, const char* what) {
        SCOPED_TRACE(testing::Message() << what << ", proxy " << proxy);
        ASSERT_EQ(state.useProxy, proxy);
        state.needsApply = 1;
        const CImgBuff* result = state.ApplyAdjustmentStages(proxy);
        CImgBuff expected;
        StageByStage(state, settings, proxy ? state.proxySource : state.sourceImage, expected);
        EXPECT_TRUE(SamePixels(*result, expected));
    };
    for (int32_t position : {-30, 5, 40}) {
        state.OnVividnessChanged(0, position);
        pass(1, "vividness dragged");
    }
    state.OnVividnessChanged(1, 40);
    pass(0, "vividness released");
    ASSERT_EQ(state.PickSpotWhiteBalance(7, 5), 1);
    state.wbMode = WhiteBalanceMode::Spot;
    settings.stages ^= kAutoWb | kSpotWb;
    pass(0, "spot picked");
    state.OnBrightnessChanged(0, 12);
    pass(1, "brightness dragged");
    state.OnBrightnessChanged(1, 12);
    pass(0, "brightness released");
    state.wbMode = WhiteBalanceMode::Automatic;
    settings.stages ^= kAutoWb | kSpotWb;
    pass(0, "back to automatic");

    // Another photo, with caches of its own, as opening one gives it.
    ColorCache* first[] = {state.autoWbCache, state.spotWbCache};
    state.autoWbCache = state.spotWbCache = nullptr;
    FillRandomHsv(state.sourceImage, 200, 160, 3);
    FillRandomHsv(state.proxySource, 50, 40, 4);
    pass(0, "another photo");
    for (ColorCache* cache : first) ColorCache_Destroy(cache);
    state.wbMode = WhiteBalanceMode::Off;
    settings.stages &= ~kAutoWb;
    pass(0, "off");
}

int Identity(uint8_t*, uint8_t*, uint8_t*, void*) {
    return 1;
}

// A block that cannot be allocated stops the map at its pixel: the pixels before it are
// mapped, it and the rest are left alone, and no later block is tried.
TEST(FusedPass, AFailedBlockStopsTheMapThere) {
    std::vector<uint16_t> before;
    for (uint32_t n = 0; n < 64; ++n)
        for (uint32_t c : {n * 1024u, 65535 - n * 1024u, n * 512u}) before.push_back(uint16_t(c));
    ColorCache* cache = ColorCache_Create();
    cache->transform = Scramble;
    std::vector<uint16_t> full = before, pixels = before;
    ASSERT_EQ(ColorCache_MapRgb16(cache, full.data(), 64), 1);
    ColorCache_Destroy(cache);

    cache = ColorCache_Create();
    cache->transform = Scramble;
    ColorCache_FailBlockAllocation(5);
    EXPECT_EQ(ColorCache_MapRgb16(cache, pixels.data(), 64), 0);
    ColorCache_FailBlockAllocation(0);
    size_t blocks = 0;
    for (const ColorCacheBlock* block = cache->firstBlock; block; block = block->next) ++blocks;
    EXPECT_EQ(blocks, 4u);
    size_t mapped = 0;
    while (mapped < pixels.size() && pixels[mapped] == full[mapped]) ++mapped;
    mapped -= mapped % 3;
    EXPECT_GT(mapped, 0u);
    EXPECT_LT(mapped, pixels.size());
    EXPECT_TRUE(std::equal(pixels.begin() + mapped, pixels.end(), before.begin() + mapped));
    ColorCache_Destroy(cache);

    CImgBuff image;
    FillRandomHsv(image, 64, 64, 3);
    cache = ColorCache_Create();
    cache->transform = Identity;
    ColorCache_FailBlockAllocation(1);
    EXPECT_EQ(ApplyColorCache(cache, &image), 0);
    ColorCache_FailBlockAllocation(0);
    ColorCache_Destroy(cache);
}

// Memory running short in any stage gives an empty result, never a partly corrected one; the
// next pass with memory enough succeeds.
TEST(FusedPass, AFailedStageLeavesNoResult) {
    for (unsigned stages : {kAutoWb, kSpotWb}) {
        for (uint32_t failing : {1u, 2u, 40u}) {
            SCOPED_TRACE(testing::Message() << stages << " " << failing);
            AdjustmentState state;
            FillRandomHsv(state.sourceImage, 160, 120, failing);
            FillRandomHsv(state.proxySource, 40, 30, failing + 1);
            std::mt19937 random(failing);
            Apply(state, RandomSettings(stages | kTone | kBands, random));
            for (int32_t proxy : {1, 0}) {
                ColorCache_FailBlockAllocation(failing);
                state.needsApply = 1;
                const CImgBuff* result = state.ApplyAdjustmentStages(proxy);
                ColorCache_FailBlockAllocation(0);
                ASSERT_NE(result, nullptr);
                EXPECT_EQ(result->buffer->GetInfo(nullptr, nullptr, nullptr, nullptr), 0);
                state.needsApply = 1;
                result = state.ApplyAdjustmentStages(proxy);
                EXPECT_EQ(result->buffer->GetInfo(nullptr, nullptr, nullptr, nullptr), 1);
            }
            ColorCache_FailBlockAllocation(1);
            state.needsApply = 1;
            state.DropWhiteBalanceCaches();
            if (stages == kSpotWb) {
                ASSERT_EQ(state.PickSpotWhiteBalance(1, 1), 1);
            }
            const CImgBuff* result = state.ApplyAdjustmentStagesInPlace();
            ColorCache_FailBlockAllocation(0);
            EXPECT_EQ(result->buffer->GetInfo(nullptr, nullptr, nullptr, nullptr), 0);
        }
    }
}

}  // namespace
