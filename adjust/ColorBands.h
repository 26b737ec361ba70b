// Per-colour adjustment in the HSV16 model: six colour bands, each an anchor hue with its own
// hue shift and S and V curves. A pixel between two anchors gets a linear blend of the two
// bands' adjustments.
//
// Like the tone curves, every operation refuses (returns 0, touches nothing) while the engine
// tables are not initialised, and the caller holds a pool reference.
#pragma once

#include <cstddef>
#include <cstdint>

#include "adjust/ToneCurve.h"
#include "image/ImgBuff.h"

constexpr int32_t kColorBandCount = 6;  // red, yellow, green, cyan, blue, magenta
constexpr uint32_t kHueCount = 65536;

struct ColorBand {
    uint16_t anchorHue;                  // 10922 hue units per 60 degrees
    int16_t hueShift;                    // -5000..5000
    int16_t vividness;                   // -40..40
    int16_t brightness;                  // -40..40
    uint16_t vividMap[kToneCurveSize];   // S curve of the band
    uint16_t brightMap[kToneCurveSize];  // V curve of the band
};

struct HueMapEntry {
    uint16_t band;       // k, the band whose anchor is at or before this hue (0..5)
    uint16_t span;       // distance from anchor k to anchor k + 1
    uint16_t offset;     // distance of this hue from anchor k
    uint16_t mappedHue;  // the hue after the hue shifts
};

struct ColorBandTable {
    uint32_t built;  // non-zero once the hue map and the curves have been built
    // Band 6 is a copy of band 0, so that band k + 1 exists for k = 5 and the blend never
    // wraps around.
    ColorBand bands[kColorBandCount + 1];
    HueMapEntry hueMap[kHueCount];
};

// Fixed anchors and neutral values for every band, then the hue map and all curves.
int ResetColorBands(ColorBandTable* table);
// Rebuilds the hue map after a hueShift change (band 0 is copied into band 6 first).
int BuildHueMap(ColorBandTable* table);
// Rebuilds band k's (0..5) S or V curve from its vividness or brightness; other k are refused.
// Values outside -45..45 are clamped to that range so the curve stays defined.
int BuildBandVividness(ColorBandTable* table, int32_t band);
int BuildBandBrightness(ColorBandTable* table, int32_t band);
// Maps every source pixel through MapBandPixel into dst (same geometry, may be the source).
// Returns 1 without touching dst while the table is not built.
int ApplyColorBands(CImgBuff* dst, CImgBuff* src, const ColorBandTable* table);
// Maps one HSV16 pixel in place. A hue with no band (span 0, a table never given a hue map)
// is left unchanged.
int MapBandPixel(const ColorBandTable* table, uint16_t* hue, uint16_t* saturation, uint16_t* value);
// MapBandPixel for count pixels held channel by channel.
void MapBandRun(const ColorBandTable* table, uint16_t* hue, uint16_t* saturation, uint16_t* value,
                size_t count);
// 1 when every band has no hue shift, vividness or brightness: mapping is then the identity.
int ColorBandsNeutral(const ColorBandTable* table);
