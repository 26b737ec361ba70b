#include "adjust/Pipeline.h"

#include "adjust/FusedPass.h"
#include "adjust/WhiteBalance.h"
#include "parallel/WorkerPool.h"

EngineReference::EngineReference() {
    WorkerPool::Acquire();
    InitEngineTables();
}

EngineReference::~EngineReference() {
    ReleaseEngineTables();
    WorkerPool::Release();
}

std::optional<GreyPoint> SpotGreyPointAt(const C_ImgBuff& photo, int32_t x, int32_t y) {
    if (x < 0 || y < 0 || x >= photo.width || y >= photo.height) return std::nullopt;
    // Pixels of the block that fall outside the photo fail to read and are left out.
    double sum[3] = {0, 0, 0};
    int reads = 0;
    for (int32_t row = y - 2; row <= y + 2; ++row) {
        for (int32_t column = x - 2; column <= x + 2; ++column) {
            uint16_t r, g, b;
            if (!photo.GetRGB16(column, row, &r, &g, &b)) continue;
            sum[0] += r;
            sum[1] += g;
            sum[2] += b;
            ++reads;
        }
    }
    return GreyPoint{sum[0] / reads / 65535.0, sum[1] / reads / 65535.0, sum[2] / reads / 65535.0};
}

AdjustmentState::AdjustmentState() : plan(CompilePlan(CorrectionSettings{})) {}

AdjustmentState::~AdjustmentState() = default;

bool AdjustmentState::Change(const CorrectionSettings& next) {
    std::shared_ptr<const CorrectionPlan> compiled = CompilePlan(next, plan.get());
    if (!compiled) return false;
    plan = std::move(compiled);
    return true;
}

// The steps every slider update shares. A position outside the row's range, or an unchanged one
// while dragging, changes nothing; otherwise the position is stored and the plan compiled, and
// the next pass runs on the proxy while dragging and on the full photo after the release.
int AdjustmentState::OnAdjustmentChanged(AdjustmentId id, int32_t final, int32_t position) {
    if (!InAdjustmentRange(id, position)) return 0;
    if (Adjustment(id).perBand && (selectedBand < 0 || selectedBand >= kColorBandCount)) return 0;
    if (position == AdjustmentPosition(id) && !final) return 0;
    CorrectionSettings next = plan->settings;
    next.SetPosition(id, selectedBand, position);
    if (!Change(next)) return 0;
    needsApply = 1;
    useProxy = 1 - final;
    return 1;
}

int AdjustmentState::OnBrightnessChanged(int32_t final, int32_t position) {
    return OnAdjustmentChanged(AdjustmentId::Brightness, final, position);
}

int AdjustmentState::OnVividnessChanged(int32_t final, int32_t position) {
    return OnAdjustmentChanged(AdjustmentId::Vividness, final, position);
}

int AdjustmentState::OnAddLightChanged(int32_t final, int32_t position) {
    return OnAdjustmentChanged(AdjustmentId::AddLight, final, position);
}

int AdjustmentState::OnSuppressLightChanged(int32_t final, int32_t position) {
    return OnAdjustmentChanged(AdjustmentId::SuppressLight, final, position);
}

int AdjustmentState::OnBandHueChanged(int32_t final, int32_t position) {
    return OnAdjustmentChanged(AdjustmentId::BandHue, final, position);
}

int AdjustmentState::OnBandVividnessChanged(int32_t final, int32_t position) {
    return OnAdjustmentChanged(AdjustmentId::BandVividness, final, position);
}

int AdjustmentState::OnBandBrightnessChanged(int32_t final, int32_t position) {
    return OnAdjustmentChanged(AdjustmentId::BandBrightness, final, position);
}

int32_t AdjustmentState::AdjustmentPosition(AdjustmentId id) const {
    return AdjustmentPosition(id, selectedBand);
}

int32_t AdjustmentState::AdjustmentPosition(AdjustmentId id, int32_t band) const {
    if (Adjustment(id).perBand && (band < 0 || band >= kColorBandCount))
        return Adjustment(id).neutral;
    return plan->settings.Position(id, band);
}

void AdjustmentState::ResetAdjustments() {
    CorrectionSettings neutral;
    neutral.spotGreyPoint = plan->settings.spotGreyPoint;
    neutral.turn = plan->settings.turn;
    Change(neutral);
}

bool AdjustmentState::SetCorrections(const CorrectionSettings& settings) {
    if (!Change(settings)) return false;
    useProxy = 0;
    needsApply = 1;
    return true;
}

void AdjustmentState::SetWhiteBalanceMode(WhiteBalanceMode mode) {
    CorrectionSettings next = plan->settings;
    next.wbMode = mode;
    if (Change(next)) needsApply = 1;
}

int AdjustmentState::PickSpotWhiteBalance(int32_t x, int32_t y) {
    if (!photo) return 0;
    const std::optional<GreyPoint> grey = SpotGreyPointAt(photo->Pixels(), x, y);
    if (!grey) return 0;
    SetSpotGreyPoint(grey);
    return 1;
}

void AdjustmentState::SetSpotGreyPoint(const std::optional<GreyPoint>& grey) {
    CorrectionSettings next = plan->settings;
    next.spotGreyPoint = grey;
    if (Change(next)) needsApply = 1;
}

bool ChoosePassInput(const CorrectionPlan& plan, const SourcePhoto& photo, bool proxy,
                     PassInput* input) {
    input->pixels = proxy ? &photo.Proxy() : &photo.Pixels();
    ColorCache* whiteBalance = nullptr;
    if (!photo.WhiteBalance(plan, &whiteBalance)) return false;
    // A pass after a slider other than white balance starts from the balanced copy.
    if (whiteBalance && (input->balanced = photo.Balanced(proxy, whiteBalance))) {
        input->pixels = input->balanced->buffer;
        whiteBalance = nullptr;
    }
    input->stages = PlanStages(plan, whiteBalance);
    return true;
}

int ApplyAdjustments(const CorrectionPlan& plan, const SourcePhoto& photo, bool proxy,
                     C_ImgBuff* result, const BgrRows* display) {
    PassInput input;
    // Half-corrected pixels must never pass for a result.
    if (ChoosePassInput(plan, photo, proxy, &input) &&
        ((result->type == PT_HSV16 && result->width == input.pixels->width &&
          result->height == input.pixels->height) ||
         result->Create(input.pixels->width, input.pixels->height, PT_HSV16)) &&
        RunFusedPass(*input.pixels, result, input.stages, display) == 1)
        return 1;
    result->Create(0, 0, PT_NONE);
    return 0;
}

bool ChooseWhiteBalance(const CorrectionPlan& plan, ColorCache* automatic, ColorCache** chosen) {
    *chosen = nullptr;
    if (plan.settings.wbMode == WhiteBalanceMode::Automatic) {
        *chosen = automatic;
        return automatic != nullptr;
    }
    if (plan.settings.wbMode == WhiteBalanceMode::Spot) {
        *chosen = plan.spotWhiteBalance.get();
        return !plan.spotWhiteBalanceShort;
    }
    return true;
}

int ApplyAdjustmentsToBand(const CorrectionPlan& plan, ColorCache* whiteBalance, C_ImgBuff* band) {
    return RunFusedPass(*band, band, PlanStages(plan, whiteBalance), nullptr) == 1;
}

int ApplyAdjustmentsInPlace(const CorrectionPlan& plan, CImgBuff* image) {
    C_ImgBuff& pixels = *image->buffer;
    std::shared_ptr<ColorCache> automatic;
    if (pixels.type == PT_HSV16 && plan.settings.wbMode == WhiteBalanceMode::Automatic)
        automatic = MeasureAutomaticWhiteBalance(*image);
    ColorCache* whiteBalance = nullptr;
    // Half-corrected pixels must never pass for a result.
    if (pixels.type != PT_HSV16 || !ChooseWhiteBalance(plan, automatic.get(), &whiteBalance) ||
        !ApplyAdjustmentsToBand(plan, whiteBalance, &pixels)) {
        pixels.Create(0, 0, PT_NONE);
        return 0;
    }
    return 1;
}
