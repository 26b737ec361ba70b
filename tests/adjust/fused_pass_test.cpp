// The whole pass against the stage functions run one after another, on random photos and random
// settings; and what a pass does when memory runs short.
#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "adjust/ColorCacheTesting.h"
#include "adjust/Pipeline.h"
#include "adjust/WhiteBalance.h"
#include "image/ColorModel.h"
#include "tests/adjust/AdjustTest.h"

namespace {

// Which stages a case turns on.
enum Stage : unsigned { kAutoWb = 1, kSpotWb = 2, kTone = 4, kLight = 8, kBands = 16 };

// Positions for the rows of the stages turned on (every band of the band rows), the others
// neutral, and a spot grey point measured around a random pixel of photo, kept in every mode.
CorrectionSettings RandomSettings(unsigned stages, const SourcePhoto& photo, std::mt19937& random) {
    CorrectionSettings settings;
    for (const AdjustmentSpec& row : kAdjustments) {
        const bool light =
            row.id == AdjustmentId::AddLight || row.id == AdjustmentId::SuppressLight;
        if (!(stages & (row.perBand ? kBands : light ? kLight : kTone))) continue;
        for (int32_t band = 0; band < kColorBandCount; ++band)
            settings.SetPosition(row.id, band, RandomPosition(row, random));
    }
    settings.wbMode = (stages & kAutoWb)   ? WhiteBalanceMode::Automatic
                      : (stages & kSpotWb) ? WhiteBalanceMode::Spot
                                           : WhiteBalanceMode::Off;
    settings.spotGreyPoint =
        SpotGreyPointAt(photo.Pixels(), random() % photo.Width(), random() % photo.Height());
    return settings;
}

// The stage functions one after another on a copy of source (the photo full or its proxy), as
// the pipeline has always run them, with a white balance made afresh from the grey point
// measured on full or picked. Curves at their neutral positions are the identity.
void StageByStage(const CorrectionPlan& plan, const CImgBuff& full, const C_ImgBuff& source,
                  CImgBuff& expected) {
    expected.buffer->Copy(source);
    std::optional<GreyPoint> grey;
    if (plan.settings.wbMode == WhiteBalanceMode::Spot) grey = plan.settings.spotGreyPoint;
    if (plan.settings.wbMode == WhiteBalanceMode::Automatic) {
        grey.emplace();
        ASSERT_EQ(EstimateGreyPoint(&full, &grey->r, &grey->g, &grey->b, 60, 40), 1);
    }
    if (grey) {
        std::unique_ptr<ColorCache, int (*)(ColorCache*)> cache(
            CreateWhiteBalanceCache(grey->r, grey->g, grey->b), ColorCache_Destroy);
        ASSERT_EQ(ApplyColorCache(cache.get(), &expected), 1);
    }
    const ToneCurve* s = plan.vividnessCurve.get();
    ASSERT_EQ(ApplyToneCurves(&expected, &expected, s, plan.brightnessCurve.get()) +
                  ApplyToneCurves(&expected, &expected, nullptr, plan.lightCurve.get()),
              2);
    if (plan.bands) ApplyColorBands(&expected, &expected, plan.bands.get());
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

// Random photos (widths that end runs of pixels and vectors at every offset) and settings: every
// stage alone, all together, both white balances, both pairs, with and without vectors, with the
// display colours, into a result and over the photo itself. One photo goes through every plan,
// as in the window, and each result buffer is reused: a neutral plan after an adjusted one must
// still write every pixel, and a white balance made for an earlier plan must not be reused.
TEST(FusedPass, EqualsTheStagesRunOneAfterAnother) {
    EngineReference engine;
    std::mt19937 random(11);
    const unsigned all = kTone | kLight | kBands;
    const unsigned cases[] = {kAutoWb, kSpotWb,       kTone,         kLight,
                              kBands,  kAutoWb | all, kSpotWb | all, 0};
    AtEveryVectorLevel([&] {
        for (int round = 0; round < 2; ++round) {
            const int32_t width = 100 + random() % 300, height = 8 + random() % 16;
            CImgBuff pixels, results[2];
            FillRandomHsv(pixels, width, height, random());
            const std::shared_ptr<const SourcePhoto> photo = PhotoOf(pixels);
            for (unsigned stages : cases) {
                SCOPED_TRACE(testing::Message()
                             << "stages " << stages << " round " << round << " " << width);
                const auto plan = CompilePlan(RandomSettings(stages, *photo, random));
                ASSERT_TRUE(plan);
                CImgBuff expected;
                for (bool proxy : {false, true}) {
                    const C_ImgBuff& src = proxy ? photo->Proxy() : photo->Pixels();
                    std::vector<uint8_t> bgr(size_t(src.width) * src.height * 3);
                    const ptrdiff_t stride = ptrdiff_t(src.width) * 3;
                    const BgrRows rows{bgr.data() + (src.height - 1) * stride, -stride};
                    ASSERT_EQ(ApplyAdjustments(*plan, *photo, proxy, results[proxy].buffer, &rows),
                              1);
                    StageByStage(*plan, pixels, src, expected);
                    ASSERT_TRUE(SamePixels(results[proxy], expected)) << "proxy " << proxy;
                    EXPECT_EQ(bgr, DisplayColours(expected));
                }
                CImgBuff inPlace;
                inPlace.Copy(pixels);
                StageByStage(*plan, pixels, *pixels.buffer, expected);
                ASSERT_EQ(ApplyAdjustmentsInPlace(*plan, &inPlace), 1);
                EXPECT_TRUE(SamePixels(inPlace, expected));
            }
        }
    });
}

// Memory running short in any stage never gives a partly corrected result: a pass that says it
// succeeded holds the whole result, the next one succeeds, and the pass in place empties the
// photo.
TEST(FusedPass, AFailedStageLeavesNoPartResult) {
    EngineReference engine;
    for (unsigned stages : {kAutoWb | kTone | kBands, kSpotWb | kTone | kBands}) {
        for (uint32_t failing : {1u, 2u, 40u}) {
            SCOPED_TRACE(testing::Message() << stages << " " << failing);
            std::mt19937 random(failing);
            CImgBuff pixels, result, expected;
            FillRandomHsv(pixels, 160, 120, failing);
            const std::shared_ptr<const SourcePhoto> photo = PhotoOf(pixels);
            for (bool proxy : {true, false}) {
                const auto plan = CompilePlan(RandomSettings(stages, *photo, random));
                StageByStage(*plan, pixels, proxy ? photo->Proxy() : photo->Pixels(), expected);
                ColorCache_FailBlockAllocation(failing);
                const int done = ApplyAdjustments(*plan, *photo, proxy, result.buffer);
                ColorCache_FailBlockAllocation(0);
                EXPECT_TRUE(!done || SamePixels(result, expected));
                ASSERT_EQ(ApplyAdjustments(*plan, *photo, proxy, result.buffer), 1);
                EXPECT_TRUE(SamePixels(result, expected));
            }
            const auto plan = CompilePlan(RandomSettings(stages, *photo, random));
            ColorCache_FailBlockAllocation(failing);
            EXPECT_EQ(ApplyAdjustmentsInPlace(*plan, &pixels), 0);
            ColorCache_FailBlockAllocation(0);
            EXPECT_EQ(pixels.buffer->GetInfo(nullptr, nullptr, nullptr, nullptr), 0);
        }
    }
}

}  // namespace
