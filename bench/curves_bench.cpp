// Building each kind of curve, and the tone and colour-band passes over whole HSV16 images.
// Run times are wall-clock: the calling thread sleeps while the pool works.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>

#include "adjust/ColorBands.h"
#include "adjust/ToneCurve.h"
#include "bench/BenchPhotos.h"

namespace {

void EnsureEngine() {
    HoldPool();
    static const int ready = InitEngineTables();
    benchmark::DoNotOptimize(ready);
}

// Photo-like content: hue sweeps across the width, saturation down the height, value in
// diagonal bands, each with a little noise, so that neighbouring pixels share table entries
// the way they do in a real photo. random = true gives white noise, the worst case for caches.
void FillSynthetic(CImgBuff& image, int32_t width, int32_t height, bool random = false) {
    std::mt19937 noise(1);
    FillHsv16(image.buffer, width, height, [&](int32_t x, int32_t y, uint16_t* p) {
        if (random) {
            p[0] = static_cast<uint16_t>(noise());
            p[1] = static_cast<uint16_t>(noise());
            p[2] = static_cast<uint16_t>(noise());
            return;
        }
        uint32_t jitter = noise() & 0x1FF;
        p[0] = static_cast<uint16_t>(uint64_t{65536} * x / width + jitter);
        p[1] = static_cast<uint16_t>(uint64_t{65000} * y / height + jitter);
        p[2] = static_cast<uint16_t>((x + y) * 16 + jitter);
    });
}

void BM_BuildArcCurve(benchmark::State& state) {
    EnsureEngine();
    auto curve = std::make_unique<ToneCurve>();
    curve->rebuild = 1;
    for (auto _ : state) BuildToneCurve(curve.get(), static_cast<int32_t>(state.range(0)));
    benchmark::DoNotOptimize(curve->map[32768]);
}
BENCHMARK(BM_BuildArcCurve)->Arg(30)->Arg(-30)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_BuildLightCurve(benchmark::State& state) {
    EnsureEngine();
    auto curve = std::make_unique<ToneCurve>();
    ResetToneCurve(curve.get());
    for (auto _ : state) BuildLightCurve(curve.get(), 50, 50);
    benchmark::DoNotOptimize(curve->map[1000]);
}
BENCHMARK(BM_BuildLightCurve)->Unit(benchmark::kMicrosecond)->UseRealTime();

std::unique_ptr<ColorBandTable> MakeBands(bool neutral) {
    auto table = std::make_unique<ColorBandTable>();
    ResetColorBands(table.get());
    if (neutral) return table;
    for (int32_t k = 0; k < kColorBandCount; ++k) {
        table->bands[k].hueShift = static_cast<int16_t>(k * 700 - 2000);
        table->bands[k].vividness = static_cast<int16_t>(k * 15 - 40);
        table->bands[k].brightness = static_cast<int16_t>(40 - k * 15);
        BuildBandVividness(table.get(), k);
        BuildBandBrightness(table.get(), k);
    }
    BuildHueMap(table.get());
    return table;
}

void BM_BuildHueMap(benchmark::State& state) {
    EnsureEngine();
    auto table = MakeBands(false);
    for (auto _ : state) BuildHueMap(table.get());
    benchmark::DoNotOptimize(table->hueMap[100].mappedHue);
}
BENCHMARK(BM_BuildHueMap)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Band 0 also refreshes its copy in band 6; band 3 does not.
void BM_BuildBandVividness(benchmark::State& state) {
    EnsureEngine();
    auto table = MakeBands(false);
    for (auto _ : state) BuildBandVividness(table.get(), static_cast<int32_t>(state.range(0)));
    benchmark::DoNotOptimize(table->bands[0].vividMap[100]);
}
BENCHMARK(BM_BuildBandVividness)->Arg(0)->Arg(3)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_BuildBandBrightness(benchmark::State& state) {
    EnsureEngine();
    auto table = MakeBands(false);
    for (auto _ : state) BuildBandBrightness(table.get(), static_cast<int32_t>(state.range(0)));
    benchmark::DoNotOptimize(table->bands[0].brightMap[100]);
}
BENCHMARK(BM_BuildBandBrightness)->Arg(0)->Arg(3)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Both passes read the photo size from the first two arguments.
void SetRangePixelRate(benchmark::State& state) {
    SetPixelRate(state, "Mpix/s",
                 static_cast<double>(state.range(0)) * static_cast<double>(state.range(1)));
}

void BM_ApplyToneCurves(benchmark::State& state) {
    EnsureEngine();
    CImgBuff src, dst;
    FillSynthetic(src, static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
    dst.Copy(src);
    auto sCurve = std::make_unique<ToneCurve>(), vCurve = std::make_unique<ToneCurve>();
    ResetToneCurve(sCurve.get());
    ResetToneCurve(vCurve.get());
    BuildToneCurve(sCurve.get(), 25);
    BuildToneCurve(vCurve.get(), -15);
    for (auto _ : state) ApplyToneCurves(&dst, &src, sCurve.get(), vCurve.get());
    SetRangePixelRate(state);
}
BENCHMARK(BM_ApplyToneCurves)
    ->Args({6000, 4000})
    ->Args({1500, 1000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Argument 2: 1 for neutral bands (the pass that runs on every pipeline run), 0 for adjusted;
// argument 3: 1 for white-noise pixels.
void BM_ApplyColorBands(benchmark::State& state) {
    EnsureEngine();
    CImgBuff src, dst;
    FillSynthetic(src, static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)),
                  state.range(3) != 0);
    dst.Copy(src);
    auto table = MakeBands(state.range(2) != 0);
    for (auto _ : state) ApplyColorBands(&dst, &src, table.get());
    SetRangePixelRate(state);
}
BENCHMARK(BM_ApplyColorBands)
    ->Args({6000, 4000, 0, 0})
    ->Args({1500, 1000, 0, 0})
    ->Args({1500, 1000, 1, 0})
    ->Args({1500, 1000, 0, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
