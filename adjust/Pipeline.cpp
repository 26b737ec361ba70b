#include "adjust/Pipeline.h"

#include <cstdlib>

#include "adjust/FusedPass.h"
#include "adjust/WhiteBalance.h"
#include "parallel/WorkerPool.h"

namespace {

bool SameGeometry(const CImgBuff& a, const CImgBuff& b) {
    int32_t aw = 0, ah = 0, bw = 0, bh = 0;
    a.buffer->GetInfo(&aw, &ah, nullptr, nullptr);
    b.buffer->GetInfo(&bw, &bh, nullptr, nullptr);
    return aw == bw && ah == bh;
}

bool IsEmpty(const CImgBuff& image) {
    return !image.buffer->GetInfo(nullptr, nullptr, nullptr, nullptr);
}

// The steps every slider update shares. A position outside the row's range, or an unchanged one
// while dragging, changes nothing; otherwise rebuild stores it and rebuilds its table, and the
// next pass runs on the proxy while dragging and on the full photo after the release.
template <typename Rebuild>
int MoveSlider(AdjustmentState& state, AdjustmentId id, int32_t final, int32_t position,
               int32_t current, Rebuild rebuild) {
    if (!InAdjustmentRange(id, position)) return 0;
    if (position == current && !final) return 0;
    rebuild();
    state.needsApply = 1;
    state.useProxy = 1 - final;
    return 1;
}

// Band k of the table; null without a table or for k outside 0..5.
ColorBand* BandAt(const AdjustmentState& state, int32_t k) {
    if (!state.colorBandTable || k < 0 || k >= kColorBandCount) return nullptr;
    return &state.colorBandTable->bands[k];
}

// The band the band sliders act on.
ColorBand* SelectedBand(const AdjustmentState& state) {
    return BandAt(state, state.selectedBand);
}

}  // namespace

AdjustmentState::AdjustmentState() {
    WorkerPool::Acquire();
    InitEngineTables();
    brightnessCurve = static_cast<ToneCurve*>(std::calloc(1, sizeof(ToneCurve)));
    vividnessCurve = static_cast<ToneCurve*>(std::calloc(1, sizeof(ToneCurve)));
    lightCurve = static_cast<ToneCurve*>(std::calloc(1, sizeof(ToneCurve)));
    colorBandTable = static_cast<ColorBandTable*>(std::calloc(1, sizeof(ColorBandTable)));
}

AdjustmentState::~AdjustmentState() {
    if (autoWbCache) ColorCache_Destroy(autoWbCache);
    if (spotWbCache) ColorCache_Destroy(spotWbCache);
    std::free(brightnessCurve);
    std::free(vividnessCurve);
    std::free(lightCurve);
    std::free(colorBandTable);
    ReleaseEngineTables();
    WorkerPool::Release();
}

int AdjustmentState::OnBrightnessChanged(int32_t final, int32_t position) {
    if (!brightnessCurve) return 0;
    return MoveSlider(*this, AdjustmentId::Brightness, final, position, brightnessCurve->position,
                      [&] { BuildToneCurve(brightnessCurve, position); });
}

int AdjustmentState::OnVividnessChanged(int32_t final, int32_t position) {
    if (!vividnessCurve) return 0;
    return MoveSlider(*this, AdjustmentId::Vividness, final, position, vividnessCurve->position,
                      [&] { BuildToneCurve(vividnessCurve, position); });
}

int AdjustmentState::OnAddLightChanged(int32_t final, int32_t position) {
    if (!lightCurve) return 0;
    return MoveSlider(*this, AdjustmentId::AddLight, final, position, addLight, [&] {
        addLight = position;
        BuildLightCurve(lightCurve, addLight, suppressLight);
    });
}

int AdjustmentState::OnSuppressLightChanged(int32_t final, int32_t position) {
    if (!lightCurve) return 0;
    return MoveSlider(*this, AdjustmentId::SuppressLight, final, position, suppressLight, [&] {
        suppressLight = position;
        BuildLightCurve(lightCurve, addLight, suppressLight);
    });
}

int AdjustmentState::OnBandHueChanged(int32_t final, int32_t position) {
    ColorBand* band = SelectedBand(*this);
    if (!band) return 0;
    return MoveSlider(*this, AdjustmentId::BandHue, final, position, band->hueShift, [&] {
        band->hueShift = static_cast<int16_t>(position);
        BuildHueMap(colorBandTable);
    });
}

int AdjustmentState::OnBandVividnessChanged(int32_t final, int32_t position) {
    ColorBand* band = SelectedBand(*this);
    if (!band) return 0;
    return MoveSlider(*this, AdjustmentId::BandVividness, final, position, band->vividness, [&] {
        band->vividness = static_cast<int16_t>(position);
        BuildBandVividness(colorBandTable, selectedBand);
    });
}

int AdjustmentState::OnBandBrightnessChanged(int32_t final, int32_t position) {
    ColorBand* band = SelectedBand(*this);
    if (!band) return 0;
    return MoveSlider(*this, AdjustmentId::BandBrightness, final, position, band->brightness, [&] {
        band->brightness = static_cast<int16_t>(position);
        BuildBandBrightness(colorBandTable, selectedBand);
    });
}

int AdjustmentState::OnAdjustmentChanged(AdjustmentId id, int32_t final, int32_t position) {
    switch (id) {
        case AdjustmentId::Brightness:
            return OnBrightnessChanged(final, position);
        case AdjustmentId::Vividness:
            return OnVividnessChanged(final, position);
        case AdjustmentId::AddLight:
            return OnAddLightChanged(final, position);
        case AdjustmentId::SuppressLight:
            return OnSuppressLightChanged(final, position);
        case AdjustmentId::BandHue:
            return OnBandHueChanged(final, position);
        case AdjustmentId::BandVividness:
            return OnBandVividnessChanged(final, position);
        case AdjustmentId::BandBrightness:
            return OnBandBrightnessChanged(final, position);
    }
    return 0;
}

int32_t AdjustmentState::AdjustmentPosition(AdjustmentId id) const {
    return AdjustmentPosition(id, selectedBand);
}

int32_t AdjustmentState::AdjustmentPosition(AdjustmentId id, int32_t k) const {
    const ColorBand* band = BandAt(*this, k);
    switch (id) {
        case AdjustmentId::Brightness:
            if (brightnessCurve) return brightnessCurve->position;
            break;
        case AdjustmentId::Vividness:
            if (vividnessCurve) return vividnessCurve->position;
            break;
        case AdjustmentId::AddLight:
            return addLight;
        case AdjustmentId::SuppressLight:
            return suppressLight;
        case AdjustmentId::BandHue:
            if (band) return band->hueShift;
            break;
        case AdjustmentId::BandVividness:
            if (band) return band->vividness;
            break;
        case AdjustmentId::BandBrightness:
            if (band) return band->brightness;
            break;
    }
    return Adjustment(id).neutral;
}

void AdjustmentState::ResetAdjustments() {
    // The identity is the curve of position 0, where the reset puts both sliders. Recording that
    // position lets a drag back to the old position rebuild the curve; keeping the old one would
    // show the proxy unadjusted at exactly that position until the thumb is released.
    if (vividnessCurve) {
        ResetToneCurve(vividnessCurve);
        vividnessCurve->position = Adjustment(AdjustmentId::Vividness).neutral;
    }
    if (brightnessCurve) {
        ResetToneCurve(brightnessCurve);
        brightnessCurve->position = Adjustment(AdjustmentId::Brightness).neutral;
    }
    if (lightCurve) ResetToneCurve(lightCurve);
    if (colorBandTable) ResetColorBands(colorBandTable);
    wbMode = WhiteBalanceMode::Off;
    suppressLight = Adjustment(AdjustmentId::SuppressLight).neutral;
    addLight = Adjustment(AdjustmentId::AddLight).neutral;
}

int AdjustmentState::PickSpotWhiteBalance(int32_t x, int32_t y) {
    int32_t width = 0, height = 0;
    if (!sourceImage.buffer->GetInfo(&width, &height, nullptr, nullptr)) return 0;
    if (x < 0 || y < 0 || x >= width || y >= height) return 0;

    // Pixels of the block that fall outside the photo fail to read and are left out.
    double sum[3] = {0, 0, 0};
    int reads = 0;
    for (int32_t row = y - 2; row <= y + 2; ++row) {
        for (int32_t column = x - 2; column <= x + 2; ++column) {
            uint16_t r, g, b;
            if (!sourceImage.buffer->GetRGB16(column, row, &r, &g, &b)) continue;
            sum[0] += r;
            sum[1] += g;
            sum[2] += b;
            ++reads;
        }
    }
    SetSpotGreyPoint(
        GreyPoint{sum[0] / reads / 65535.0, sum[1] / reads / 65535.0, sum[2] / reads / 65535.0});
    return 1;
}

void AdjustmentState::SetSpotGreyPoint(const std::optional<GreyPoint>& grey) {
    if (spotWbCache) ColorCache_Destroy(spotWbCache);
    spotWbCache = grey ? CreateWhiteBalanceCache(grey->r, grey->g, grey->b) : nullptr;
    spotGreyPoint = grey;
    needsApply = 1;
}

void AdjustmentState::DropWhiteBalanceCaches() {
    // What a cache of the photo made is no use to the next one.
    for (KeptBalance& keep : kept) Forget(&keep);
    if (autoWbCache) ColorCache_Destroy(autoWbCache);
    if (spotWbCache) ColorCache_Destroy(spotWbCache);
    autoWbCache = nullptr;
    spotWbCache = nullptr;
    spotGreyPoint.reset();
}

CImgBuff* AdjustmentState::ApplyAdjustmentStages(int32_t proxyPair, const BgrRows* display) {
    if (!needsApply) return nullptr;
    needsApply = 0;
    CImgBuff& src = proxyPair ? proxySource : sourceImage;
    CImgBuff& dst = proxyPair ? proxyResult : resultImage;
    KeptBalance* keep = nullptr;
    if (proxyPair ? useProxy != 0
                  : keepFullBalance && uint64_t(src.buffer->width) * uint64_t(src.buffer->height) <=
                                           kKeptBalanceMaxPixels)
        keep = &kept[proxyPair ? 1 : 0];
    // Memory held for a photo that no longer allows keeping (one too large, opened since) goes.
    if (!proxyPair && keep == nullptr) Forget(&kept[0]);
    // Half-corrected pixels must never pass for a result.
    if (!RunStages(src, dst, display, keep)) dst.buffer->Create(0, 0, PT_NONE);
    return &dst;
}

CImgBuff* AdjustmentState::ApplyAdjustmentStagesInPlace() {
    if (!needsApply) return nullptr;
    needsApply = 0;
    Forget(&kept[0]);  // the photo itself changes
    if (!RunStages(sourceImage, sourceImage, nullptr, nullptr))
        sourceImage.buffer->Create(0, 0, PT_NONE);
    return &sourceImage;
}

bool AdjustmentState::ChooseWhiteBalance(ColorCache** cache) {
    *cache = nullptr;
    if (wbMode == WhiteBalanceMode::Automatic) {
        if (!autoWbCache) {
            // Always measured on the full photo, so that the proxy and the full pass agree.
            double r, g, b;
            if (!EstimateGreyPoint(&sourceImage, &r, &g, &b, kAutoWbSaturationLimit,
                                   kAutoWbMinValue))
                return false;
            autoWbCache = CreateWhiteBalanceCache(r, g, b);
            if (!autoWbCache) return false;
        }
        *cache = autoWbCache;
    } else if (wbMode == WhiteBalanceMode::Spot && spotGreyPoint) {
        // A cache that memory did not allow at the pick is tried again on each pass.
        if (!spotWbCache)
            spotWbCache =
                CreateWhiteBalanceCache(spotGreyPoint->r, spotGreyPoint->g, spotGreyPoint->b);
        if (!spotWbCache) return false;
        *cache = spotWbCache;
    }
    return true;
}

void AdjustmentState::Forget(KeptBalance* keep) {
    keep->image.buffer->Create(0, 0, PT_NONE);
    keep->cacheSerial = 0;
}

bool AdjustmentState::Reserve(const CImgBuff& src, KeptBalance* keep) {
    keep->cacheSerial = 0;
    const C_ImgBuff& in = *src.buffer;
    C_ImgBuff& balanced = *keep->image.buffer;
    return (balanced.type == PT_HSV16 && SameGeometry(keep->image, src)) ||
           balanced.Create(in.width, in.height, PT_HSV16);
}

bool AdjustmentState::RunStages(CImgBuff& src, CImgBuff& dst, const BgrRows* display,
                                KeptBalance* keep) {
    const C_ImgBuff& in = *src.buffer;
    C_ImgBuff& out = *dst.buffer;
    if (IsEmpty(src)) {
        dst.Copy(src);
        return true;
    }
    ColorCache* wbCache = nullptr;
    if (!ChooseWhiteBalance(&wbCache)) return false;
    const bool tone = (brightnessCurve && brightnessCurve->position != 0) ||
                      (vividnessCurve && vividnessCurve->position != 0);
    const bool light = addLight >= 0 || suppressLight >= 0;
    const bool bands = colorBandTable && colorBandTable->built;

    if (in.type == PT_HSV16) {
        if ((out.type != PT_HSV16 || !SameGeometry(dst, src)) &&
            !out.Create(in.width, in.height, PT_HSV16))
            return false;
        PassStages stages;
        stages.whiteBalance = wbCache;
        const C_ImgBuff* input = &in;
        if (wbCache && keep && keep->cacheSerial != wbCache->serial) {
            if (Reserve(src, keep)) {
                PassStages whiteBalanceOnly;
                whiteBalanceOnly.whiteBalance = wbCache;
                if (RunFusedPass(in, keep->image.buffer, whiteBalanceOnly, nullptr) != 1)
                    return false;
                keep->cacheSerial = wbCache->serial;
            } else {
                // Without room to keep the balanced photo the pass runs whole.
                Forget(keep);
                keep = nullptr;
            }
        }
        if (wbCache && keep) {
            stages.whiteBalance = nullptr;
            input = keep->image.buffer;
        }
        if (tone) {
            stages.sCurve = (vividnessCurve ? vividnessCurve : &IdentityCurve)->map;
            stages.vCurve = (brightnessCurve ? brightnessCurve : &IdentityCurve)->map;
        }
        if (light && lightCurve) stages.lightCurve = lightCurve->map;
        // Neutral bands are an exact identity on every pixel.
        if (bands && !ColorBandsNeutral(colorBandTable)) stages.bands = colorBandTable;
        return RunFusedPass(*input, &out, stages, display) == 1;
    }

    // Other pixel types go through the stages one after another.
    CImgBuff* current = &src;
    if (&dst != &src && (IsEmpty(dst) || !SameGeometry(dst, src))) dst.Copy(src);
    if (!SameGeometry(dst, src)) return false;
    if (wbCache) {
        if (&dst != &src) dst.Copy(src);
        if (!SameGeometry(dst, src) || !ApplyColorCache(wbCache, &dst)) return false;
        current = &dst;
    }
    if (tone) {
        ApplyToneCurves(&dst, current, vividnessCurve, brightnessCurve);
        current = &dst;
    }
    if (light) {
        ApplyToneCurves(&dst, current, nullptr, lightCurve);
        current = &dst;
    }
    if (bands) {
        ApplyColorBands(&dst, current, colorBandTable);
        current = &dst;
    }
    // Without any stage the result would keep the pixels of an earlier pass.
    if (current != &dst) dst.Copy(src);
    return SameGeometry(dst, src);
}
