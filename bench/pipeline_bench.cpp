// The whole adjustment pass with every stage on, plus the display conversion, on a 24-megapixel
// photo and on its quarter-size proxy (the image processed while a slider is dragged).
#include <benchmark/benchmark.h>

#include <memory>

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
    EngineReference engine;
    std::shared_ptr<const SourcePhoto> photo;
    std::shared_ptr<const CorrectionPlan> plan;
    ColorCache* whiteBalance = nullptr;  // the photo's own, measured once
    CImgBuff results[2];                 // [0] the photo, [1] the proxy
    DibHeader* dib = nullptr;

    BenchPhoto() {
        CImgBuff pixels;
        FillHsv16(pixels.buffer, kWidth, kHeight, PhotoPixel);
        photo = SourcePhoto::Make(pixels);
        CorrectionSettings settings;
        settings.wbMode = WhiteBalanceMode::Automatic;
        settings.SetPosition(AdjustmentId::Brightness, 0, 20);
        settings.SetPosition(AdjustmentId::Vividness, 0, 20);
        settings.SetPosition(AdjustmentId::AddLight, 0, 30);
        settings.SetPosition(AdjustmentId::SuppressLight, 0, 30);
        settings.SetPosition(AdjustmentId::BandVividness, 2, 15);
        plan = CompilePlan(settings);
        // Measures the white balance and fills the colour cache before anything is timed.
        if (photo && plan && photo->WhiteBalance(*plan, &whiteBalance) &&
            results[0].buffer->Create(kWidth, kHeight, PT_HSV16) &&
            results[1].buffer->Create(photo->Proxy().width, photo->Proxy().height, PT_HSV16)) {
            Pass(0);
            Pass(1);
        }
    }
    ~BenchPhoto() { FreeDisplayDib(dib); }

    // Every stage, white balance included, in one pass that writes the display colours itself,
    // as the window has it do.
    void Pass(int32_t proxy) {
        const C_ImgBuff& src = proxy ? photo->Proxy() : photo->Pixels();
        dib = ReserveDisplayDib(src.width, src.height, dib);
        const BgrRows rows = DibRows(dib);
        if (!RunFusedPass(src, results[proxy].buffer, PlanStages(*plan, whiteBalance), &rows)) {
            FreeDisplayDib(dib);
            dib = nullptr;
        }
    }

    // The same stages one whole-image pass after another, then the display conversion: the
    // baseline the fused pass is measured against.
    void PassStageByStage(int32_t proxy) {
        CImgBuff& dst = results[proxy];
        dst.buffer->Copy(proxy ? photo->Proxy() : photo->Pixels());
        ApplyColorCache(whiteBalance, &dst);
        ApplyToneCurves(&dst, &dst, plan->vividnessCurve.get(), plan->brightnessCurve.get());
        ApplyToneCurves(&dst, &dst, nullptr, plan->lightCurve.get());
        ApplyColorBands(&dst, &dst, plan->bands.get());
        dib = MakeDisplayDib(&dst, dib);
    }
};

BenchPhoto& Photo() {
    static BenchPhoto photo;
    return photo;
}

void RunPass(benchmark::State& bench, int32_t proxy, bool fused = true) {
    BenchPhoto& photo = Photo();
    if (!photo.whiteBalance) return bench.SkipWithError("no photo or plan");
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
        photo.dib = MakeDisplayDib(&photo.results[0], photo.dib);
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
