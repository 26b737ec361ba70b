#include "adjust/Pipeline.h"

#include <cstring>
#include <iterator>

#include "adjust/WhiteBalance.h"
#include "tests/adjust/AdjustTest.h"

namespace {

// Light, mildly saturated colours with a cast (channel factors in percent) that the grey-point
// estimate sees; the pixel whose hue each proxy pixel takes has the cast proxyCast instead.
void FillCast(CImgBuff& image, const int (&cast)[3], const int (&proxyCast)[3], uint32_t seed) {
    ASSERT_EQ(image.buffer->Create(192, 160, PT_HSV16), 1);
    std::mt19937 random(seed);
    for (int32_t y = 0; y < 160; ++y)
        for (int32_t x = 0; x < 192; ++x) {
            const int* c = x % 4 == 3 && y % 4 == 3 ? proxyCast : cast;
            const uint32_t level = 40000 + random() % 25536, jitter = random() % 3000;
            image.buffer->SetRGB16(x, y, level * c[0] / 100, (level - jitter) * c[1] / 100,
                                   level * c[2] / 100);
        }
}

// image white-balanced for grey, or for the grey point measured on `measured`.
void Balanced(CImgBuff& out, const C_ImgBuff& image, const GreyPoint& grey) {
    ColorCache* cache = CreateWhiteBalanceCache(grey.r, grey.g, grey.b);
    out.buffer->Copy(image);
    ASSERT_EQ(ApplyColorCache(cache, &out), 1);
    ColorCache_Destroy(cache);
}
void Balanced(CImgBuff& out, const C_ImgBuff& image, const C_ImgBuff& measured) {
    CImgBuff copy;
    copy.buffer->Copy(measured);
    GreyPoint grey;
    ASSERT_EQ(EstimateGreyPoint(&copy, &grey.r, &grey.g, &grey.b, 60, 40), 1);
    Balanced(out, image, grey);
}

// Each photo is balanced for the grey point measured on all of it, its proxy too (the proxy
// alone would give another one), whichever photo the plan was used on before.
TEST(PipelineWhiteBalance, AutomaticIsMeasuredOnTheWholePhotoForBothPairs) {
    AdjustmentState state;
    state.SetWhiteBalanceMode(WhiteBalanceMode::Automatic);
    const int casts[2][2][3] = {{{100, 88, 72}, {75, 90, 100}}, {{70, 100, 85}, {100, 80, 90}}};
    for (uint32_t seed : {0, 1}) {
        CImgBuff image, expected, ownProxy, result;
        FillCast(image, casts[seed][0], casts[seed][1], seed);
        const std::shared_ptr<const SourcePhoto> photo = PhotoOf(image);
        Balanced(expected, photo->Proxy(), *image.buffer);
        Balanced(ownProxy, photo->Proxy(), photo->Proxy());
        ASSERT_FALSE(SamePixels(expected, ownProxy));
        ASSERT_EQ(ApplyAdjustments(*state.Plan(), *photo, true, result.buffer), 1);
        EXPECT_TRUE(SamePixels(result, expected)) << seed;
        Balanced(expected, *image.buffer, *image.buffer);
        ASSERT_EQ(ApplyAdjustments(*state.Plan(), *photo, false, result.buffer), 1);
        EXPECT_TRUE(SamePixels(result, expected)) << seed;
    }
}

TEST(PipelineWhiteBalance, SpotModeAppliesOnlyAPickedGreyPoint) {
    AdjustmentState state;
    EXPECT_EQ(state.PickSpotWhiteBalance(0, 0), 0);  // no photo
    // The corner block holds 9 photo pixels of one colour; the pixel just outside the block must
    // not count, nor may the places outside the photo.
    CImgBuff image, result, expected;
    FillCast(image, {100, 88, 72}, {100, 88, 72}, 1);
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 3; ++x) image.buffer->SetRGB16(x, y, 52000, 45000, 38000);
    image.buffer->SetRGB16(3, 3, 10000, 60000, 10000);
    uint16_t r, g, b;
    image.buffer->GetRGB16(1, 1, &r, &g, &b);
    state.photo = PhotoOf(image);
    state.SetWhiteBalanceMode(WhiteBalanceMode::Spot);
    ASSERT_EQ(ApplyAdjustments(*state.Plan(), *state.photo, false, result.buffer), 1);
    EXPECT_TRUE(SamePixels(result, image));

    EXPECT_EQ(state.PickSpotWhiteBalance(-1, 0), 0);
    EXPECT_EQ(state.PickSpotWhiteBalance(0, 160), 0);
    EXPECT_FALSE(state.Corrections().spotGreyPoint);
    state.needsApply = 0;
    ASSERT_EQ(state.PickSpotWhiteBalance(0, 0), 1);
    EXPECT_EQ(state.needsApply, 1);
    const GreyPoint grey{r / 65535.0, g / 65535.0, b / 65535.0};
    EXPECT_EQ(state.Corrections().spotGreyPoint, grey);
    Balanced(expected, *image.buffer, grey);
    ASSERT_EQ(ApplyAdjustments(*state.Plan(), *state.photo, false, result.buffer), 1);
    EXPECT_TRUE(SamePixels(result, expected));
}

// One slider, a position in range, and an entry of the plan with the value known for that
// position: the arc curves at 30 and -30 give 41253 and 24282 at 32768; the light curves at 0
// lift entry 1 to 3 and lower entry 65534 to 65532; a hue shift of 2000 moves the cyan anchor
// 32768 to 34768.
constexpr int kBand = 3;
const struct {
    const char* name;
    int (AdjustmentState::*update)(int32_t, int32_t);
    AdjustmentId id;
    int32_t position, outOfRange;
    uint16_t (*probe)(const CorrectionPlan&);
    uint16_t built;
} kSliders[] = {
    {"brightness", &AdjustmentState::OnBrightnessChanged, AdjustmentId::Brightness, 30, 46,
     [](const CorrectionPlan& p) { return p.brightnessCurve->map[32768]; }, 41253},
    {"vividness", &AdjustmentState::OnVividnessChanged, AdjustmentId::Vividness, -30, -46,
     [](const CorrectionPlan& p) { return p.vividnessCurve->map[32768]; }, 24282},
    {"add light", &AdjustmentState::OnAddLightChanged, AdjustmentId::AddLight, 0, 101,
     [](const CorrectionPlan& p) { return p.lightCurve->map[1]; }, 3},
    {"suppress light", &AdjustmentState::OnSuppressLightChanged, AdjustmentId::SuppressLight, 0, -2,
     [](const CorrectionPlan& p) { return p.lightCurve->map[65534]; }, 65532},
    {"band hue", &AdjustmentState::OnBandHueChanged, AdjustmentId::BandHue, 2000, 5001,
     [](const CorrectionPlan& p) { return p.bands->hueMap[32768].mappedHue; }, 34768},
    {"band vividness", &AdjustmentState::OnBandVividnessChanged, AdjustmentId::BandVividness, 30,
     41, [](const CorrectionPlan& p) { return p.bands->bands[kBand].vividMap[32768]; }, 41253},
    {"band brightness", &AdjustmentState::OnBandBrightnessChanged, AdjustmentId::BandBrightness,
     -30, -41, [](const CorrectionPlan& p) { return p.bands->bands[kBand].brightMap[32768]; },
     24282},
};

TEST(PipelineSliders, DragSkipsRepeatedPositionsAndReleaseAlwaysApplies) {
    for (const auto& c : kSliders) {
        SCOPED_TRACE(c.name);
        AdjustmentState state;
        state.selectedBand = kBand;
        ASSERT_EQ((state.*c.update)(0, c.position), 1);
        EXPECT_EQ(c.probe(*state.Plan()), c.built);
        EXPECT_EQ(state.AdjustmentPosition(c.id), c.position);
        EXPECT_EQ(state.needsApply, 1);
        EXPECT_EQ(state.useProxy, 1);

        // The same position again while dragging, or a position no slider can take: nothing
        // changes, nothing to redraw.
        const CorrectionPlan* dragged = state.Plan().get();
        state.needsApply = 0;
        EXPECT_EQ((state.*c.update)(0, c.position), 0);
        EXPECT_EQ((state.*c.update)(1, c.outOfRange), 0);
        EXPECT_EQ(state.Plan().get(), dragged);
        EXPECT_EQ(state.needsApply, 0);

        // Released at the same position: full resolution next.
        EXPECT_EQ((state.*c.update)(1, c.position), 1);
        EXPECT_EQ(c.probe(*state.Plan()), c.built);
        EXPECT_EQ(state.needsApply, 1);
        EXPECT_EQ(state.useProxy, 0);
    }
    AdjustmentState state;
    state.selectedBand = 6;  // the copy of red is no band of its own
    EXPECT_EQ(state.OnBandVividnessChanged(1, 5), 0);
}

// A reset keeps only the spot pick; corrections taken whole keep the selected band and ask for a
// full-resolution pass.
TEST(PipelineState, ResetAndCorrectionsTakenWhole) {
    AdjustmentState state;
    const GreyPoint grey{0.5, 0.4, 0.3};
    state.SetSpotGreyPoint(grey);
    state.SetWhiteBalanceMode(WhiteBalanceMode::Automatic);
    state.selectedBand = 4;
    for (const AdjustmentSpec& row : kAdjustments)
        ASSERT_EQ(state.OnAdjustmentChanged(row.id, 0, row.maximum), 1);
    state.needsApply = 0;
    const CorrectionSettings adjusted = state.Corrections();
    state.ResetAdjustments();
    EXPECT_EQ(state.needsApply, 0);
    CorrectionSettings expected;
    expected.spotGreyPoint = grey;
    EXPECT_EQ(state.Corrections(), expected);

    ASSERT_TRUE(state.SetCorrections(adjusted));
    EXPECT_EQ(state.Corrections(), adjusted);
    EXPECT_EQ(state.AdjustmentPosition(AdjustmentId::BandHue),
              Adjustment(AdjustmentId::BandHue).maximum);
    EXPECT_EQ(state.AdjustmentPosition(AdjustmentId::BandHue, 3), 0);
    EXPECT_EQ(state.selectedBand, 4);
    EXPECT_EQ(state.needsApply, 1);
    EXPECT_EQ(state.useProxy, 0);
}

// A plan shares with the one it was compiled from exactly the parts whose rows did not change.
TEST(CorrectionPlan, SharesOnlyTheUnchangedParts) {
    EngineReference engine;
    CorrectionSettings base;
    base.SetPosition(AdjustmentId::Brightness, 0, 10);
    base.SetPosition(AdjustmentId::BandVividness, 1, 20);
    base.spotGreyPoint = GreyPoint{0.5, 0.45, 0.4};
    const auto previous = CompilePlan(base);
    using S = CorrectionSettings;
    const struct {
        const char* change;
        void (*apply)(S&);
        bool brightness, light, bands, spot;  // shared
    } kChanges[] = {
        {"vividness", [](S& s) { s.SetPosition(AdjustmentId::Vividness, 0, -5); }, 1, 1, 1, 1},
        {"brightness", [](S& s) { s.SetPosition(AdjustmentId::Brightness, 0, 11); }, 0, 1, 1, 1},
        {"add light", [](S& s) { s.SetPosition(AdjustmentId::AddLight, 0, 0); }, 1, 0, 1, 1},
        {"band hue", [](S& s) { s.SetPosition(AdjustmentId::BandHue, 3, 100); }, 1, 1, 0, 1},
        {"mode", [](S& s) { s.wbMode = WhiteBalanceMode::Spot; }, 1, 1, 1, 1},
        {"grey point", [](S& s) { s.spotGreyPoint->g = 0.46; }, 1, 1, 1, 0},
    };
    for (const auto& c : kChanges) {
        SCOPED_TRACE(c.change);
        S next = base;
        c.apply(next);
        const auto plan = CompilePlan(next, previous.get());
        ASSERT_TRUE(plan);
        EXPECT_EQ(plan->brightnessCurve == previous->brightnessCurve, c.brightness);
        EXPECT_EQ(plan->lightCurve == previous->lightCurve, c.light);
        EXPECT_EQ(plan->bands == previous->bands, c.bands);
        EXPECT_EQ(plan->spotWhiteBalance == previous->spotWhiteBalance, c.spot);
    }
}

template <typename T>
bool SameMemory(const std::shared_ptr<T>& a, const std::shared_ptr<T>& b, size_t bytes) {
    return a && b ? std::memcmp(a.get(), b.get(), bytes) == 0 : !a == !b;
}

// A plan compiled change by change, each from the one before, equals the plan compiled from the
// final settings alone, table for table and pass for pass: what a plan takes from an earlier one
// holds nothing of the earlier settings.
TEST(CorrectionPlan, CompiledChangeByChangeEqualsCompiledAtOnce) {
    EngineReference engine;
    std::mt19937 random(3);
    CImgBuff pixels, changed, atOnce;
    FillRandomHsv(pixels, 64, 48, 9);
    const std::shared_ptr<const SourcePhoto> photo = PhotoOf(pixels);
    CorrectionSettings settings;
    auto plan = CompilePlan(settings);
    for (int step = 0; step < 80; ++step) {
        SCOPED_TRACE(step);
        const AdjustmentSpec& row = kAdjustments[random() % std::size(kAdjustments)];
        settings.SetPosition(row.id, random() % kColorBandCount, RandomPosition(row, random));
        if (step % 7 == 0) settings.wbMode = WhiteBalanceMode(random() % 3);
        // Now and then another spot pick, or none (a pixel below the photo).
        if (step % 11 == 0)
            settings.spotGreyPoint = SpotGreyPointAt(photo->Pixels(), random() % 64, random() % 60);
        if (step % 20 == 19) settings = CorrectionSettings{};
        plan = CompilePlan(settings, plan.get());
        const auto fresh = CompilePlan(settings);
        ASSERT_TRUE(plan && fresh);
        for (auto curve : {&CorrectionPlan::brightnessCurve, &CorrectionPlan::vividnessCurve,
                           &CorrectionPlan::lightCurve})
            EXPECT_TRUE(SameMemory(plan.get()->*curve, fresh.get()->*curve, sizeof(ToneCurve)));
        EXPECT_TRUE(SameMemory(plan->valueCurve, fresh->valueCurve, 2 * kToneCurveSize));
        EXPECT_TRUE(SameMemory(plan->bands, fresh->bands, sizeof(ColorBandTable)));
        EXPECT_EQ(!plan->spotWhiteBalance, !fresh->spotWhiteBalance);
        ASSERT_EQ(ApplyAdjustments(*plan, *photo, false, changed.buffer), 1);
        ASSERT_EQ(ApplyAdjustments(*fresh, *photo, false, atOnce.buffer), 1);
        EXPECT_TRUE(SamePixels(changed, atOnce));
    }
}

}  // namespace
