#include "adjust/Pipeline.h"

#include <cstdlib>

#include "adjust/WhiteBalance.h"
#include "parallel/WorkerPool.h"

namespace {

bool InRange(int32_t value, int32_t low, int32_t high) {
    return value >= low && value <= high;
}

bool SameGeometry(const CImgBuff& a, const CImgBuff& b) {
    int32_t aw = 0, ah = 0, bw = 0, bh = 0;
    a.buffer->GetInfo(&aw, &ah, nullptr, nullptr);
    b.buffer->GetInfo(&bw, &bh, nullptr, nullptr);
    return aw == bw && ah == bh;
}

bool IsEmpty(const CImgBuff& image) {
    return !image.buffer->GetInfo(nullptr, nullptr, nullptr, nullptr);
}

// The steps every slider update shares. A position outside low .. high, or an unchanged one
// while dragging, changes nothing; otherwise rebuild stores it and rebuilds its table, and the
// next pass runs on the proxy while dragging and on the full photo after the release.
template <typename Rebuild>
int MoveSlider(AdjustmentState& state, int32_t final, int32_t position, int32_t current,
               int32_t low, int32_t high, Rebuild rebuild) {
    if (!InRange(position, low, high)) return 0;
    if (position == current && !final) return 0;
    rebuild();
    state.needsApply = 1;
    state.useProxy = 1 - final;
    return 1;
}

// The band the band sliders act on; null without a table or for a selection outside 0..5.
ColorBand* SelectedBand(AdjustmentState& state) {
    if (!state.colorBandTable || !InRange(state.selectedBand, 0, kColorBandCount - 1))
        return nullptr;
    return &state.colorBandTable->bands[state.selectedBand];
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
    return MoveSlider(*this, final, position, brightnessCurve->position, kToneSliderMin,
                      kToneSliderMax, [&] { BuildToneCurve(brightnessCurve, position); });
}

int AdjustmentState::OnVividnessChanged(int32_t final, int32_t position) {
    if (!vividnessCurve) return 0;
    return MoveSlider(*this, final, position, vividnessCurve->position, kToneSliderMin,
                      kToneSliderMax, [&] { BuildToneCurve(vividnessCurve, position); });
}

int AdjustmentState::OnAddLightChanged(int32_t final, int32_t position) {
    if (!lightCurve) return 0;
    return MoveSlider(*this, final, position, addLight, kLightSliderMin, kLightSliderMax, [&] {
        addLight = position;
        BuildLightCurve(lightCurve, addLight, suppressLight);
    });
}

int AdjustmentState::OnSuppressLightChanged(int32_t final, int32_t position) {
    if (!lightCurve) return 0;
    return MoveSlider(*this, final, position, suppressLight, kLightSliderMin, kLightSliderMax, [&] {
        suppressLight = position;
        BuildLightCurve(lightCurve, addLight, suppressLight);
    });
}

int AdjustmentState::OnBandHueChanged(int32_t final, int32_t position) {
    ColorBand* band = SelectedBand(*this);
    if (!band) return 0;
    return MoveSlider(*this, final, position, band->hueShift, kBandHueSliderMin, kBandHueSliderMax,
                      [&] {
                          band->hueShift = static_cast<int16_t>(position);
                          BuildHueMap(colorBandTable);
                      });
}

int AdjustmentState::OnBandVividnessChanged(int32_t final, int32_t position) {
    ColorBand* band = SelectedBand(*this);
    if (!band) return 0;
    return MoveSlider(*this, final, position, band->vividness, kBandToneSliderMin,
                      kBandToneSliderMax, [&] {
                          band->vividness = static_cast<int16_t>(position);
                          BuildBandVividness(colorBandTable, selectedBand);
                      });
}

int AdjustmentState::OnBandBrightnessChanged(int32_t final, int32_t position) {
    ColorBand* band = SelectedBand(*this);
    if (!band) return 0;
    return MoveSlider(*this, final, position, band->brightness, kBandToneSliderMin,
                      kBandToneSliderMax, [&] {
                          band->brightness = static_cast<int16_t>(position);
                          BuildBandBrightness(colorBandTable, selectedBand);
                      });
}

void AdjustmentState::ResetAdjustments() {
    // The identity is the curve of position 0, where the reset puts both sliders. Recording that
    // position lets a drag back to the old position rebuild the curve; keeping the old one would
    // show the proxy unadjusted at exactly that position until the thumb is released.
    if (vividnessCurve) {
        ResetToneCurve(vividnessCurve);
        vividnessCurve->position = 0;
    }
    if (brightnessCurve) {
        ResetToneCurve(brightnessCurve);
        brightnessCurve->position = 0;
    }
    if (lightCurve) ResetToneCurve(lightCurve);
    if (colorBandTable) ResetColorBands(colorBandTable);
    wbMode = 0;
    suppressLight = -1;
    addLight = -1;
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
    if (spotWbCache) ColorCache_Destroy(spotWbCache);
    spotWbCache = CreateWhiteBalanceCache(sum[0] / reads / 65535.0, sum[1] / reads / 65535.0,
                                          sum[2] / reads / 65535.0);
    needsApply = 1;
    return 1;
}

void AdjustmentState::DropWhiteBalanceCaches() {
    if (autoWbCache) ColorCache_Destroy(autoWbCache);
    if (spotWbCache) ColorCache_Destroy(spotWbCache);
    autoWbCache = nullptr;
    spotWbCache = nullptr;
}

CImgBuff* AdjustmentState::ApplyAdjustmentStages(int32_t proxyPair, int32_t brightnessPosition,
                                                 int32_t vividnessPosition) {
    if (!needsApply) return nullptr;
    needsApply = 0;

    CImgBuff& src = proxyPair ? proxySource : sourceImage;
    CImgBuff& dst = proxyPair ? proxyResult : resultImage;
    CImgBuff* in = &src;
    if (IsEmpty(dst) || !SameGeometry(dst, src)) dst.Copy(src);
    // No photo, or no memory for the result: there is nothing the stages could write.
    if (IsEmpty(src) || !SameGeometry(dst, src)) return &dst;

    ColorCache* wbCache = nullptr;
    if (wbMode == 1) {
        if (!autoWbCache) {
            // Always measured on the full photo, so that the proxy and the full pass agree.
            double r, g, b;
            if (EstimateGreyPoint(&sourceImage, &r, &g, &b, kAutoWbSaturationLimit,
                                  kAutoWbMinValue))
                autoWbCache = CreateWhiteBalanceCache(r, g, b);
        }
        wbCache = autoWbCache;
    } else if (wbMode == 2) {
        wbCache = spotWbCache;
    }
    if (wbCache) {
        dst.Copy(src);
        ApplyColorCache(wbCache, &dst);
        in = &dst;
    }

    if (brightnessPosition != 0 || vividnessPosition != 0) {
        ApplyToneCurves(&dst, in, vividnessCurve, brightnessCurve);
        in = &dst;
    }
    if (addLight >= 0 || suppressLight >= 0) {
        ApplyToneCurves(&dst, in, nullptr, lightCurve);
        in = &dst;
    }
    if (colorBandTable && colorBandTable->built) {
        ApplyColorBands(&dst, in, colorBandTable);
        in = &dst;
    }
    // Without any stage the result would keep the pixels of an earlier pass.
    if (in == &src) dst.Copy(src);
    return &dst;
}
