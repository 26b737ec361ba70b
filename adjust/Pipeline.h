// The adjustment state of one photo and the pipeline that turns it into the adjusted image.
// The main dialog holds one AdjustmentState; the batch tool drives one without a window. The
// display conversion of the result is left to the caller.
#pragma once

#include <cstdint>
#include <optional>

#include "adjust/Adjustments.h"
#include "adjust/ColorBands.h"
#include "adjust/ColorCache.h"
#include "adjust/ToneCurve.h"
#include "adjust/WhiteBalance.h"
#include "image/ColorRows.h"
#include "image/ImgBuff.h"

static_assert(std::size(kColorBandNames) == kColorBandCount);

// The grey-point limits of the automatic white balance, in percent.
constexpr int kAutoWbSaturationLimit = 60;
constexpr int kAutoWbMinValue = 40;
// The largest photo whose white-balanced copy the window keeps between passes (6 bytes a pixel).
constexpr uint64_t kKeptBalanceMaxPixels = 50'000'000;

class AdjustmentState {
  public:
    // Takes a pool reference and the engine tables and allocates zero-filled curves and band
    // table. ResetAdjustments must run before the first update or pass.
    AdjustmentState();
    virtual ~AdjustmentState();
    AdjustmentState(const AdjustmentState&) = delete;
    AdjustmentState& operator=(const AdjustmentState&) = delete;

    // Slider updates. While dragging (final 0) a repeated position changes nothing; otherwise
    // the value is stored, its table rebuilt, needsApply set and useProxy = 1 - final. Each
    // returns 1 when the preview must be redrawn, 0 when nothing changed (also for a position
    // outside the range of its row in kAdjustments or, for the band sliders, a selectedBand
    // outside 0..5).
    int OnBrightnessChanged(int32_t final, int32_t position);
    int OnVividnessChanged(int32_t final, int32_t position);
    int OnAddLightChanged(int32_t final, int32_t position);
    int OnSuppressLightChanged(int32_t final, int32_t position);
    int OnBandHueChanged(int32_t final, int32_t position);
    int OnBandVividnessChanged(int32_t final, int32_t position);
    int OnBandBrightnessChanged(int32_t final, int32_t position);
    // The update of row id, as above.
    int OnAdjustmentChanged(AdjustmentId id, int32_t final, int32_t position);
    // The stored position of row id (for the band rows, of selectedBand, or of band); the
    // neutral position when there is nothing to read.
    int32_t AdjustmentPosition(AdjustmentId id) const;
    int32_t AdjustmentPosition(AdjustmentId id, int32_t band) const;

    // Neutral curves and bands, white balance off, both lights off. Leaves needsApply alone and
    // the white-balance caches in place.
    void ResetAdjustments();

    // Takes the grey point of the 5 x 5 pixels of sourceImage around (x, y) (those inside the
    // photo) as the new spot white balance and sets needsApply. 0 when (x, y) lies outside the
    // photo (nothing changes); otherwise 1, with spotWbCache null when it could not be built yet
    // (each pass tries again and fails while memory stays short).
    int PickSpotWhiteBalance(int32_t x, int32_t y);
    // Makes grey the spot white balance (a new spotWbCache), or drops it for nullopt, and sets
    // needsApply.
    void SetSpotGreyPoint(const std::optional<GreyPoint>& grey);

    // For a newly opened photo: both white balances are measured or picked again (the spot grey
    // point is dropped too).
    void DropWhiteBalanceCaches();

    // Runs white balance, tone, light and per-colour stages from proxySource to proxyResult
    // (proxyPair 1) or from sourceImage to resultImage (0). The tone stage runs when either
    // stored tone position is non-zero. Returns null when needsApply was 0 (nothing to do), else
    // the result holder, which is empty when memory ran short (a failed stage never leaves a
    // partly corrected result). When display is given and the result is PT_HSV16 (every loaded
    // photo), the pass also writes the result's display colours there, as MakeDisplayDib would.
    CImgBuff* ApplyAdjustmentStages(int32_t proxyPair, const BgrRows* display = nullptr);

    // The full-resolution pass written over sourceImage itself, for a caller that no longer
    // needs the photo as loaded: no second full-size image. Returns &sourceImage (empty when
    // memory ran short), or null when needsApply was 0.
    CImgBuff* ApplyAdjustmentStagesInPlace();

    CImgBuff sourceImage;
    CImgBuff resultImage;
    CImgBuff proxySource;
    CImgBuff proxyResult;
    ColorCache* autoWbCache = nullptr;
    ColorCache* spotWbCache = nullptr;
    std::optional<GreyPoint> spotGreyPoint;  // what spotWbCache makes neutral
    ToneCurve* brightnessCurve = nullptr;
    ToneCurve* vividnessCurve = nullptr;
    ToneCurve* lightCurve = nullptr;
    ColorBandTable* colorBandTable = nullptr;
    WhiteBalanceMode wbMode = WhiteBalanceMode::Off;
    int32_t suppressLight = Adjustment(AdjustmentId::SuppressLight).neutral;
    int32_t addLight = Adjustment(AdjustmentId::AddLight).neutral;
    int32_t useProxy = 0;
    // Set by the window: the full photo after white balance alone is kept between passes (up to
    // kKeptBalanceMaxPixels), so that a slider's release runs only the stages after it.
    bool keepFullBalance = false;
    int32_t needsApply = 0;
    int32_t selectedBand = 0;  // 0 red, 1 yellow, 2 green, 3 cyan, 4 blue, 5 magenta

  private:
    // The white balance the pass applies (null: none); false when it should apply but could not
    // be measured or built for lack of memory.
    bool ChooseWhiteBalance(ColorCache** cache);
    // A pair's photo after white balance alone, kept while only the stages after it change;
    // cacheSerial is the serial of the cache that made it (0: none).
    struct KeptBalance {
        CImgBuff image;
        uint64_t cacheSerial = 0;
    };
    // false when memory ran short; dst may then hold a partial result. keep (may be null): where
    // src's white-balanced pixels are kept, or found when the same cache made them.
    bool RunStages(CImgBuff& src, CImgBuff& dst, const BgrRows* display, KeptBalance* keep);
    // Makes keep's image an HSV16 image of src's shape, marked as holding nothing; false when
    // memory is short.
    static bool Reserve(const CImgBuff& src, KeptBalance* keep);
    // Frees keep's image and marks it as holding nothing.
    static void Forget(KeptBalance* keep);

    // [0] the full photo, when keepFullBalance allows; [1] the proxy, through a drag (only the
    // dragged slider's stage changes from one step to the next).
    KeptBalance kept[2];
};
