#include "adjust/Pipeline.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <tuple>
#include <utility>

#include "adjust/WhiteBalance.h"
#include "tests/adjust/AdjustTest.h"

namespace {

// A spot pick takes the mean of the 5 x 5 photo pixels around it that lie inside the photo, and
// nothing outside the photo; the spot mode applies only a picked grey point.
TEST(PipelineWhiteBalance, SpotPicksTheMeanAroundAPixelOfThePhoto) {
    CImgBuff image, result;
    FillRandomHsv(image, 40, 30, 4);
    const int32_t inside[][2] = {{0, 0}, {39, 29}, {1, 28}, {20, 2}, {2, 20}, {37, 1}};
    for (const auto& [x, y] : inside) {
        const auto mean = BoxMean(*image.buffer, x - 2, y - 2, x + 3, y + 3);
        EXPECT_EQ(SpotGreyPointAt(*image.buffer, x, y),
                  (GreyPoint{mean[0] / 65535.0, mean[1] / 65535.0, mean[2] / 65535.0}))
            << x << " " << y;
    }
    for (const auto& [x, y] : {std::pair{-1, 0}, {0, -1}, {40, 0}, {0, 30}})
        EXPECT_FALSE(SpotGreyPointAt(*image.buffer, x, y)) << x << " " << y;

    AdjustmentState state;
    EXPECT_EQ(state.PickSpotWhiteBalance(0, 0), 0);  // no photo
    state.photo = PhotoOf(image);
    state.SetWhiteBalanceMode(WhiteBalanceMode::Spot);
    ASSERT_EQ(ApplyAdjustments(*state.Plan(), *state.photo, false, result.buffer), 1);
    EXPECT_TRUE(SamePixels(result, image));
    state.needsApply = 0;
    EXPECT_EQ(state.PickSpotWhiteBalance(0, 30), 0);
    EXPECT_FALSE(state.Corrections().spotGreyPoint);
    ASSERT_EQ(state.PickSpotWhiteBalance(3, 4), 1);
    EXPECT_EQ(state.needsApply, 1);
    EXPECT_EQ(state.Corrections().spotGreyPoint, SpotGreyPointAt(*image.buffer, 3, 4));
}

// Each slider stores a position of its own row (the band rows for the selected band, red here)
// and compiles the plan: while dragging, the same position again or one no slider can take
// changes nothing and asks for no redraw; a release at the same position asks for a
// full-resolution pass.
TEST(PipelineState, SlidersResetAndCorrectionsTakenWhole) {
    for (const AdjustmentSpec& row : kAdjustments) {
        SCOPED_TRACE(int(row.id));
        AdjustmentState state;
        auto update = [&](int32_t final, int32_t position) {
            return state.OnAdjustmentChanged(row.id, final, position);
        };
        ASSERT_EQ(update(0, row.maximum), 1);
        EXPECT_EQ(state.AdjustmentPosition(row.id), row.maximum);
        EXPECT_EQ(std::pair(state.needsApply, state.useProxy), std::pair(1, 1));
        const CorrectionPlan* dragged = state.Plan().get();
        state.needsApply = 0;
        EXPECT_EQ(update(0, row.maximum) + update(1, row.maximum + 1) + update(1, row.minimum - 1),
                  0);
        EXPECT_EQ(std::tuple(state.Plan().get(), state.needsApply), std::tuple(dragged, 0));
        EXPECT_EQ(update(1, row.maximum), 1);
        EXPECT_EQ(std::pair(state.needsApply, state.useProxy), std::pair(1, 0));
        EXPECT_EQ(state.AdjustmentPosition(row.id), row.maximum);
    }
    // A reset keeps only the spot pick; corrections taken whole keep the selected band and ask
    // for a full-resolution pass.
    AdjustmentState state;
    state.selectedBand = 6;  // the copy of red is no band of its own
    EXPECT_EQ(state.OnBandVividnessChanged(1, 5), 0);
    state.selectedBand = 4;
    state.SetSpotGreyPoint(GreyPoint{0.5, 0.4, 0.3});
    state.SetWhiteBalanceMode(WhiteBalanceMode::Automatic);
    for (const AdjustmentSpec& row : kAdjustments)
        ASSERT_EQ(state.OnAdjustmentChanged(row.id, 0, row.maximum), 1);
    state.needsApply = 0;
    const CorrectionSettings adjusted = state.Corrections();
    state.ResetAdjustments();
    CorrectionSettings expected;
    expected.spotGreyPoint = GreyPoint{0.5, 0.4, 0.3};
    EXPECT_EQ(std::pair(state.Corrections(), state.needsApply), std::pair(expected, 0));
    ASSERT_TRUE(state.SetCorrections(adjusted));
    EXPECT_EQ(state.Corrections(), adjusted);
    EXPECT_EQ(std::tuple(state.AdjustmentPosition(AdjustmentId::BandHue),
                         state.AdjustmentPosition(AdjustmentId::BandHue, 3), state.selectedBand,
                         state.needsApply, state.useProxy),
              std::tuple(Adjustment(AdjustmentId::BandHue).maximum, 0, 4, 1, 0));
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
