// The whole adjustment pass with every stage on, plus the display conversion, on a 24-megapixel
// photo and on its quarter-size proxy (the image processed while a slider is dragged).
#include <benchmark/benchmark.h>

#include "adjust/Pipeline.h"
#include "app/display/DisplayDib.h"
#include "bench/BenchPhotos.h"

namespace {

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;

// Smooth hue, saturation and value gradients with some texture, so that every band, the shadows
// and the highlights all occur.
void PhotoPixel(int32_t x, int32_t y, uint16_t* hsv) {
    const uint32_t texture = (x * 7919u + y * 104729u) % 4096u;
    hsv[0] = static_cast<uint16_t>((x * 65535u / kWidth + texture) % 65535u);
    hsv[1] = static_cast<uint16_t>((y * 65534u / kHeight + texture) % 65535u);
    hsv[2] = static_cast<uint16_t>(((x + y) * 65535u / (kWidth + kHeight) + texture) % 65536u);
}

struct BenchPhoto {
    AdjustmentState state;
    DibHeader* dib = nullptr;

    BenchPhoto() {
        FillHsv16(state.sourceImage.buffer, kWidth, kHeight, PhotoPixel);
        // Every fourth pixel of every fourth row.
        FillHsv16(state.proxySource.buffer, kWidth / 4, kHeight / 4,
                  [](int32_t x, int32_t y, uint16_t* hsv) { PhotoPixel(x * 4, y * 4, hsv); });
        state.ResetAdjustments();
        state.wbMode = WhiteBalanceMode::Automatic;
        state.OnBrightnessChanged(1, 20);
        state.OnVividnessChanged(1, 20);
        state.OnAddLightChanged(1, 30);
        state.OnSuppressLightChanged(1, 30);
        state.selectedBand = 2;
        state.OnBandVividnessChanged(1, 15);
        // Measures the white balance and fills the colour cache before anything is timed.
        Pass(0);
        Pass(1);
    }
    ~BenchPhoto() { FreeDisplayDib(dib); }

    // The pass writes the display colours itself, as the window has it do.
    void Pass(int32_t proxy) {
        const C_ImgBuff& src = *(proxy ? state.proxySource : state.sourceImage).buffer;
        dib = ReserveDisplayDib(src.width, src.height, dib);
        const BgrRows rows = DibRows(dib);
        state.needsApply = 1;
        state.ApplyAdjustmentStages(proxy, &rows);
    }

    // The same stages one whole-image pass after another, then the display conversion: the
    // baseline the fused pass is measured against.
    void PassStageByStage(int32_t proxy) {
        CImgBuff& src = proxy ? state.proxySource : state.sourceImage;
        CImgBuff& dst = proxy ? state.proxyResult : state.resultImage;
        dst.Copy(src);
        ApplyColorCache(state.autoWbCache, &dst);
        ApplyToneCurves(&dst, &dst, state.vividnessCurve, state.brightnessCurve);
        ApplyToneCurves(&dst, &dst, nullptr, state.lightCurve);
        ApplyColorBands(&dst, &dst, state.colorBandTable);
        dib = MakeDisplayDib(&dst, dib);
    }
};

BenchPhoto& Photo() {
    static BenchPhoto photo;
    return photo;
}

void RunPass(benchmark::State& bench, int32_t proxy, bool fused = true) {
    BenchPhoto& photo = Photo();
    for (auto _ : bench) {
        if (fused) {
            photo.Pass(proxy);
        } else {
            photo.PassStageByStage(proxy);
        }
        benchmark::DoNotOptimize(photo.dib);
    }
    SetPixelRate(bench, "MP/s",
                 proxy ? double(kWidth / 4) * (kHeight / 4) : double(kWidth) * kHeight);
    if (!photo.dib) bench.SkipWithError("no display bitmap");
}

void BM_FullPassWithDisplay(benchmark::State& bench) {
    RunPass(bench, 0);
}
void BM_ProxyPassWithDisplay(benchmark::State& bench) {
    RunPass(bench, 1);
}

void BM_FullPassStageByStage(benchmark::State& bench) {
    RunPass(bench, 0, false);
}
void BM_ProxyPassStageByStage(benchmark::State& bench) {
    RunPass(bench, 1, false);
}

void BM_DisplayConversionFull(benchmark::State& bench) {
    BenchPhoto& photo = Photo();
    for (auto _ : bench) {
        photo.dib = MakeDisplayDib(&photo.state.resultImage, photo.dib);
        benchmark::DoNotOptimize(photo.dib);
    }
    SetPixelRate(bench, "MP/s", double(kWidth) * kHeight);
}

BENCHMARK(BM_FullPassWithDisplay)->Apply(WallAndProcessCpu);
BENCHMARK(BM_ProxyPassWithDisplay)->Apply(WallAndProcessCpu);
BENCHMARK(BM_FullPassStageByStage)->Apply(WallAndProcessCpu);
BENCHMARK(BM_ProxyPassStageByStage)->Apply(WallAndProcessCpu);
BENCHMARK(BM_DisplayConversionFull)->Apply(WallAndProcessCpu);

}  // namespace
