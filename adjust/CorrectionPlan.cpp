#include "adjust/CorrectionPlan.h"

#include <cstdlib>
#include <cstring>

#include "adjust/WhiteBalance.h"

namespace {

// A zero-filled record, freed with std::free; null when memory is short.
template <typename T>
std::shared_ptr<T> Allocate() {
    T* record = static_cast<T*>(std::calloc(1, sizeof(T)));
    if (!record) return nullptr;
    return std::shared_ptr<T>(record, [](T* p) { std::free(p); });
}

std::shared_ptr<const ToneCurve> ToneCurveFor(int32_t position) {
    std::shared_ptr<ToneCurve> curve = Allocate<ToneCurve>();
    if (!curve) return nullptr;
    // Without the engine tables nothing is built: no plan rather than a black photo.
    if (!ResetToneCurve(curve.get()) || !BuildToneCurve(curve.get(), position)) return nullptr;
    return curve;
}

std::shared_ptr<const ToneCurve> LightCurveFor(int32_t addLight, int32_t suppressLight) {
    std::shared_ptr<ToneCurve> curve = Allocate<ToneCurve>();
    if (!curve) return nullptr;
    if (!ResetToneCurve(curve.get()) || !BuildLightCurve(curve.get(), addLight, suppressLight))
        return nullptr;
    return curve;
}

bool SameBands(const CorrectionSettings& a, const CorrectionSettings& b) {
    for (const AdjustmentSpec& row : kAdjustments) {
        if (!row.perBand) continue;
        for (int32_t k = 0; k < kColorBandCount; ++k) {
            if (a.Position(row.id, k) != b.Position(row.id, k)) return false;
        }
    }
    return true;
}

// The band table for s, built from previous's (when given) by rebuilding only the hue map and
// the band curves whose values changed.
std::shared_ptr<const ColorBandTable> BandTableFor(const CorrectionSettings& s,
                                                   const ColorBandTable* previous) {
    std::shared_ptr<ColorBandTable> table = Allocate<ColorBandTable>();
    if (!table) return nullptr;
    if (previous) {
        std::memcpy(table.get(), previous, sizeof(ColorBandTable));
    } else {
        ResetColorBands(table.get());
    }
    // Band 6 is band 0's copy, which the hue map build makes.
    bool hueMapStale = previous == nullptr;
    for (int32_t k = 0; k < kColorBandCount; ++k) {
        ColorBand& band = table->bands[k];
        const auto hue = static_cast<int16_t>(s.Position(AdjustmentId::BandHue, k));
        const auto vivid = static_cast<int16_t>(s.Position(AdjustmentId::BandVividness, k));
        const auto bright = static_cast<int16_t>(s.Position(AdjustmentId::BandBrightness, k));
        hueMapStale |= band.hueShift != hue ||
                       (k == 0 && (band.vividness != vivid || band.brightness != bright));
        band.hueShift = hue;
        if (band.vividness != vivid) {
            band.vividness = vivid;
            BuildBandVividness(table.get(), k);
        }
        if (band.brightness != bright) {
            band.brightness = bright;
            BuildBandBrightness(table.get(), k);
        }
    }
    if (hueMapStale) BuildHueMap(table.get());
    return table;
}

}  // namespace

std::shared_ptr<const CorrectionPlan> CompilePlan(const CorrectionSettings& settings,
                                                  const CorrectionPlan* previous) {
    auto plan = std::make_shared<CorrectionPlan>();
    plan->settings = settings;
    const CorrectionSettings* before = previous ? &previous->settings : nullptr;
    auto same = [&](AdjustmentId id) {
        return before && before->Position(id) == settings.Position(id);
    };

    plan->brightnessCurve = same(AdjustmentId::Brightness)
                                ? previous->brightnessCurve
                                : ToneCurveFor(settings.Position(AdjustmentId::Brightness));
    plan->vividnessCurve = same(AdjustmentId::Vividness)
                               ? previous->vividnessCurve
                               : ToneCurveFor(settings.Position(AdjustmentId::Vividness));
    const bool sameLight = same(AdjustmentId::AddLight) && same(AdjustmentId::SuppressLight);
    plan->lightCurve = sameLight ? previous->lightCurve
                                 : LightCurveFor(settings.Position(AdjustmentId::AddLight),
                                                 settings.Position(AdjustmentId::SuppressLight));
    if (!plan->brightnessCurve || !plan->vividnessCurve || !plan->lightCurve) return nullptr;

    // Curves at their neutral position are the identity, which no stage needs to look up.
    const bool brightness = settings.Position(AdjustmentId::Brightness) != 0;
    const bool light = settings.Position(AdjustmentId::AddLight) >= 0 ||
                       settings.Position(AdjustmentId::SuppressLight) >= 0;
    if (same(AdjustmentId::Brightness) && sameLight) {
        plan->valueCurve = previous->valueCurve;
    } else if (brightness || light) {
        uint16_t* composed = new (std::nothrow) uint16_t[kToneCurveSize];
        if (!composed) return nullptr;
        const uint16_t* first = plan->brightnessCurve->map;
        const uint16_t* second = light ? plan->lightCurve->map : IdentityCurve.map;
        for (uint32_t v = 0; v < kToneCurveSize; ++v) composed[v] = second[first[v]];
        plan->valueCurve = std::shared_ptr<const uint16_t[]>(composed);
    }

    if (!SameBands(settings, CorrectionSettings{})) {
        if (previous && previous->bands && SameBands(*before, settings)) {
            plan->bands = previous->bands;
        } else {
            plan->bands = BandTableFor(settings, previous ? previous->bands.get() : nullptr);
            if (!plan->bands) return nullptr;
        }
    }

    if (settings.spotGreyPoint) {
        if (previous && previous->spotWhiteBalance &&
            previous->settings.spotGreyPoint == settings.spotGreyPoint) {
            plan->spotWhiteBalance = previous->spotWhiteBalance;
        } else {
            const GreyPoint& grey = *settings.spotGreyPoint;
            ColorCache* cache = CreateWhiteBalanceCache(grey.r, grey.g, grey.b);
            if (cache) {
                plan->spotWhiteBalance = std::shared_ptr<ColorCache>(
                    cache, [](ColorCache* c) { ColorCache_Destroy(c); });
            } else {
                plan->spotWhiteBalanceShort = true;
            }
        }
    }
    return plan;
}

PassStages PlanStages(const CorrectionPlan& plan, ColorCache* whiteBalance) {
    PassStages stages;
    stages.whiteBalance = whiteBalance;
    if (plan.settings.Position(AdjustmentId::Vividness) != 0)
        stages.sCurve = plan.vividnessCurve->map;
    stages.vCurve = plan.valueCurve.get();
    if (plan.bands) stages.bands = plan.bands.get();
    return stages;
}
