// Every adjustment stage in one pass over the photo: each run of pixels is read once, taken
// through white balance, tone curves, light curve and colour bands while it sits in cache, and
// written once (and, when asked, as display colours too). The pixels equal those of the stage
// functions run one after another.
#pragma once

#include <cstdint>

#include "adjust/ColorBands.h"
#include "adjust/ColorCache.h"
#include "image/ColorRows.h"
#include "image/ImgBuff.h"

// The stages of one pass, in their order; a null member skips its stage.
struct PassStages {
    ColorCache* whiteBalance = nullptr;
    const uint16_t* sCurve = nullptr;  // tone stage: S through sCurve, V through vCurve
    const uint16_t* vCurve = nullptr;
    const uint16_t* lightCurve = nullptr;  // V through the light curve
    const ColorBandTable* bands = nullptr;
};

// Runs the stages from source into destination, both PT_HSV16 of one shape (destination may be
// source itself). display (may be null) receives every result pixel as the display bitmap shows
// it: the top 8 bits of its 16-bit R, G and B. Returns 1, or 0 when a colour-cache block could
// not be allocated: the pass then stops and destination holds a partial result to discard.
int RunFusedPass(const C_ImgBuff& source, C_ImgBuff* destination, const PassStages& stages,
                 const BgrRows* display);

// The stages on pixels [x, x + count) of row y of source (PT_HSV16), written to bgr as display
// colours only, for a part of the photo shown on screen. The caller composes the value curves
// (lightCurve null), as a plan does. false when a colour-cache block could not be allocated.
bool RenderDisplayRow(const C_ImgBuff& source, const PassStages& stages, int32_t x, int32_t y,
                      int32_t count, uint8_t* bgr);
