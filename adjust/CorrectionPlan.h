// The corrections compiled into what a pass reads: the tone and light curves, the colour band
// table and the spot white balance. A plan never changes once made, so a render on another thread
// reads it while the window compiles the next one; a part whose rows did not change is shared
// with the plan it was compiled from instead of being built again.
#pragma once

#include <cstdint>
#include <memory>

#include "adjust/ColorBands.h"
#include "adjust/ColorCache.h"
#include "adjust/Corrections.h"
#include "adjust/FusedPass.h"
#include "adjust/ToneCurve.h"

struct CorrectionPlan {
    CorrectionSettings settings;
    std::shared_ptr<const ToneCurve> brightnessCurve;
    std::shared_ptr<const ToneCurve> vividnessCurve;
    std::shared_ptr<const ToneCurve> lightCurve;
    // The value channel through the brightness curve and then the light curve, in one look-up;
    // null when that is the identity.
    std::shared_ptr<const uint16_t[]> valueCurve;
    std::shared_ptr<const ColorBandTable> bands;  // null while every band is neutral
    // Makes settings.spotGreyPoint neutral; null without a grey point. The cache fills its blocks
    // as passes use them, from any thread.
    std::shared_ptr<ColorCache> spotWhiteBalance;
    bool spotWhiteBalanceShort = false;  // a grey point whose cache memory did not allow
};

// Compiles settings, sharing with previous (may be null) every part whose rows are unchanged.
// Null when memory runs short. The caller holds a pool reference and the engine tables.
std::shared_ptr<const CorrectionPlan> CompilePlan(const CorrectionSettings& settings,
                                                  const CorrectionPlan* previous = nullptr);

// The stages of a pass for plan, with whiteBalance (null: none) as its white balance: the tone
// stage when either tone position is not neutral, the light stage when either light is on, the
// band stage when a band is not neutral (neutral bands are an exact identity).
PassStages PlanStages(const CorrectionPlan& plan, ColorCache* whiteBalance);
