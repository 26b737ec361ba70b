// 16-bit lookup curves for the V and S channels of the HSV16 model: the arc-shaped brightness
// and vividness curves, the shadow-lift / highlight-compress light curve, and the whole-image
// pass that applies an S curve and a V curve.
//
// Every operation here refuses (returns 0 and touches nothing) while the engine tables are not
// initialised. Builders and ApplyToneCurves dispatch through WorkerPool::Run, so the caller
// holds a pool reference, as the dialog does for its whole life.
#pragma once

#include <cstdint>

#include "image/ImgBuff.h"
#include "parallel/WorkerPool.h"

constexpr uint32_t kToneCurveSize = 65536;
// Entries 0 .. kLightSpan - 1 form the shadow part of the light curve; the highlight part is
// their mirror image measured from white.
constexpr uint32_t kLightSpan = 24576;

struct ToneCurve {
    uint32_t rebuild;  // 1 forces BuildToneCurve even when position is unchanged
    int32_t position;  // position the curve was last built for (BuildToneCurve only)
    uint16_t map[kToneCurveSize];
};

// The process-wide tables, valid while EngineTablesReady() is 1. IdentityCurve stands in
// wherever a curve is missing.
extern ToneCurve IdentityCurve;
extern double LightGainTable[kLightSpan];

// Counts one more user of the engine tables; the first one builds them. Always returns 1.
int InitEngineTables();
// Drops one user when there is one; the tables themselves stay in memory.
void ReleaseEngineTables();
// 1 while at least one user holds the tables, else 0.
int EngineTablesReady();

// map[i] = i for every entry and rebuild = 1.
int ResetToneCurve(ToneCurve* curve);
// Arc curve for position -45..45; other positions are refused and leave the curve unchanged.
// With rebuild 0 and an unchanged position the curve is kept as it is.
int BuildToneCurve(ToneCurve* curve, int32_t position);
// Writes the shadow part (entries 0..24575) for addLight and the highlight part
// (40959..65535) for suppressLight; -1 (any negative) turns a part off. Entries
// 24576..40958 keep what ResetToneCurve wrote. position is not touched.
int BuildLightCurve(ToneCurve* curve, int32_t addLight, int32_t suppressLight);
// dst(x, y) = (h, sCurve[s], vCurve[v]) for each source pixel (h, s, v); null curves are the
// identity. dst has the source's geometry and may be the source itself.
int ApplyToneCurves(CImgBuff* dst, CImgBuff* src, const ToneCurve* sCurve, const ToneCurve* vCurve);
