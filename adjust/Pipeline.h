// The adjustment state of one photo and the pipeline that turns it into the adjusted image. The
// state is the corrections as a value and the plan compiled from it: the sliders' updates change
// the value, and whoever renders takes the plan, which never changes once made. The main dialog
// holds one AdjustmentState; the batch tool compiles its settings directly.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "adjust/Adjustments.h"
#include "adjust/CorrectionPlan.h"
#include "adjust/Corrections.h"
#include "adjust/SourcePhoto.h"
#include "image/ColorRows.h"
#include "image/ImgBuff.h"

// A pool reference and the engine tables, held for the object's life: what compiling a plan and
// running a pass need.
class EngineReference {
  public:
    EngineReference();
    ~EngineReference();
    EngineReference(const EngineReference&) = delete;
    EngineReference& operator=(const EngineReference&) = delete;
};

// The grey point of the 5 x 5 pixels of photo around (x, y) (those inside it), as a spot click
// there takes it; nullopt when (x, y) lies outside the photo.
std::optional<GreyPoint> SpotGreyPointAt(const C_ImgBuff& photo, int32_t x, int32_t y);

class AdjustmentState {
  public:
    // Takes a pool reference and the engine tables and compiles the neutral plan.
    AdjustmentState();
    ~AdjustmentState();
    AdjustmentState(const AdjustmentState&) = delete;
    AdjustmentState& operator=(const AdjustmentState&) = delete;

    // Slider updates. While dragging (final 0) a repeated position changes nothing; otherwise
    // the value is stored, the plan compiled again (rebuilding only what depends on it),
    // needsApply set and useProxy = 1 - final. Each returns 1 when the preview must be redrawn,
    // 0 when nothing changed (also for a position outside the range of its row in kAdjustments,
    // for the band sliders a selectedBand outside 0..5, and when memory is short).
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

    // Neutral curves and bands, white balance off, both lights off; the spot grey point and the
    // turn stay. Leaves needsApply alone.
    void ResetAdjustments();
    // Takes the corrections whole (undo, settings files, apply-to-many): the plan shares every
    // part whose rows did not change, and needsApply is set for a full-resolution pass. false
    // when memory is short; nothing changes then. selectedBand is kept.
    bool SetCorrections(const CorrectionSettings& settings);
    const CorrectionSettings& Corrections() const { return plan->settings; }
    // What a pass reads; never null.
    const std::shared_ptr<const CorrectionPlan>& Plan() const { return plan; }

    void SetWhiteBalanceMode(WhiteBalanceMode mode);
    // Takes the grey point of the 5 x 5 pixels of the photo around (x, y) (those inside it) as
    // the new spot white balance and sets needsApply. 0 when there is no photo or (x, y) lies
    // outside it (nothing changes); otherwise 1.
    int PickSpotWhiteBalance(int32_t x, int32_t y);
    // Makes grey the spot white balance, or drops it for nullopt, and sets needsApply.
    void SetSpotGreyPoint(const std::optional<GreyPoint>& grey);

    // The open photo (null: none). A new photo brings its own automatic white balance.
    std::shared_ptr<const SourcePhoto> photo;
    int32_t useProxy = 0;
    int32_t needsApply = 0;
    int32_t selectedBand = 0;  // 0 red, 1 yellow, 2 green, 3 cyan, 4 blue, 5 magenta

  private:
    // Compiles next and makes it the state's value; false when memory is short.
    bool Change(const CorrectionSettings& next);

    EngineReference engine;
    std::shared_ptr<const CorrectionPlan> plan;
};

// What a pass over photo (or its proxy) reads for plan: the pixels, or the photo's kept
// white-balanced copy of them, and the stages still to run on them.
struct PassInput {
    const C_ImgBuff* pixels = nullptr;
    PassStages stages;
    std::shared_ptr<const CImgBuff> balanced;  // keeps pixels alive when they are the copy
};
// false when the plan's white balance could not be measured or built for lack of memory.
bool ChoosePassInput(const CorrectionPlan& plan, const SourcePhoto& photo, bool proxy,
                     PassInput* input);

// Runs plan's white balance, tone, light and per-colour stages over the whole photo (or its
// proxy) into result, made a PT_HSV16 image of the same shape. When display is given, the pass
// also writes the result's display colours there, as MakeDisplayDib would. Returns 1, or 0 with
// result emptied when memory ran short.
int ApplyAdjustments(const CorrectionPlan& plan, const SourcePhoto& photo, bool proxy,
                     C_ImgBuff* result, const BgrRows* display = nullptr);

// The same pass written over image itself (a PT_HSV16 photo), for a caller that no longer needs
// the photo as loaded: no second full-size image. The automatic white balance is measured on
// image first. Returns 1, or 0 with image emptied when memory ran short or image is no HSV16
// photo.
int ApplyAdjustmentsInPlace(const CorrectionPlan& plan, CImgBuff* image);

// The white balance a full pass of plan maps through: automatic, the photo's own (measured by the
// caller, null when memory was short), for the automatic mode; the plan's spot cache; or none
// (null). False when the plan needs a cache memory could not hold.
bool ChooseWhiteBalance(const CorrectionPlan& plan, ColorCache* automatic, ColorCache** chosen);

// The pass of ApplyAdjustmentsInPlace over one band of a photo (PT_HSV16, in place), with the
// photo's white balance as ChooseWhiteBalance gave it. Returns 1, or 0 when memory ran short.
int ApplyAdjustmentsToBand(const CorrectionPlan& plan, ColorCache* whiteBalance, C_ImgBuff* band);
