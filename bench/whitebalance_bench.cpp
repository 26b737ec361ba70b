// The automatic grey point measurement and the white balance map of a whole HSV16 photo, with
// the colour cache already holding every colour the photo needs. Times are wall-clock: the
// calling thread sleeps while the pool works.
#include <benchmark/benchmark.h>

#include <random>

#include "adjust/ColorCache.h"
#include "adjust/WhiteBalance.h"
#include "bench/BenchPhotos.h"
#include "image/ImgBuff.h"

namespace {

// Photo-like content with a warm cast: hue sweeps across the width, saturation down the
// height, value in diagonal bands, each with a little noise.
void FillSynthetic(CImgBuff& image, int32_t width, int32_t height) {
    std::mt19937 noise(1);
    FillHsv16(image.buffer, width, height, [&](int32_t x, int32_t y, uint16_t* p) {
        const uint32_t jitter = noise() & 0x1FF;
        p[0] = static_cast<uint16_t>(uint64_t{8000} * x / width + jitter);
        p[1] = static_cast<uint16_t>(uint64_t{30000} * y / height + jitter);
        p[2] = static_cast<uint16_t>(20000 + (x + y) * 8 % 45000 + jitter);
    });
}

void SetPixelCounters(benchmark::State& state, int32_t width, int32_t height) {
    SetPixelRate(state, "Mpixel/s", static_cast<double>(width) * height);
}

void BM_EstimateGreyPoint(benchmark::State& state) {
    HoldPool();
    const auto width = static_cast<int32_t>(state.range(0));
    const auto height = static_cast<int32_t>(state.range(1));
    CImgBuff image;
    FillSynthetic(image, width, height);
    double r = 0, g = 0, b = 0;
    for (auto _ : state) {
        EstimateGreyPoint(&image, &r, &g, &b, 60, 40);
        benchmark::DoNotOptimize(r);
    }
    SetPixelCounters(state, width, height);
}

void BM_ApplyWhiteBalanceWarm(benchmark::State& state) {
    HoldPool();
    const auto width = static_cast<int32_t>(state.range(0));
    const auto height = static_cast<int32_t>(state.range(1));
    CImgBuff source;
    FillSynthetic(source, width, height);
    double r = 0, g = 0, b = 0;
    EstimateGreyPoint(&source, &r, &g, &b, 60, 40);
    ColorCache* cache = CreateWhiteBalanceCache(r, g, b);
    CImgBuff image;
    image.Copy(source);
    ApplyColorCache(cache, &image);  // fills every block this photo needs
    for (auto _ : state) {
        state.PauseTiming();
        image.Copy(source);
        state.ResumeTiming();
        ApplyColorCache(cache, &image);
    }
    SetPixelCounters(state, width, height);
    ColorCache_Destroy(cache);
}

// Fills every block of the lattice: a fresh cache maps a picture holding all 16,777,216 colours.
// The written-out transform colour by colour (every channel through the real pow both ways) is
// the baseline.
void FillEveryBlock(benchmark::State& state, bool writtenOut) {
    HoldPool();
    CImgBuff colours;
    colours.buffer->Create(4096, 4096, PT_RGB8);
    uint8_t* pixels = colours.buffer->pixels;
    for (uint32_t n = 0; n < (1u << 24); ++n) {
        pixels[3 * n] = static_cast<uint8_t>(n >> 16);
        pixels[3 * n + 1] = static_cast<uint8_t>(n >> 8);
        pixels[3 * n + 2] = static_cast<uint8_t>(n);
    }
    CImgBuff image;
    for (auto _ : state) {
        state.PauseTiming();
        image.Copy(colours);
        ColorCache* cache = CreateWhiteBalanceCache(0.55, 0.5, 0.42);
        if (writtenOut) {
            cache->transform = WhiteBalanceColor;
            cache->transformMany = nullptr;
        }
        state.ResumeTiming();
        ApplyColorCache(cache, &image);
        state.PauseTiming();
        ColorCache_Destroy(cache);
        state.ResumeTiming();
    }
    SetPixelRate(state, "Mcolour/s", double(1u << 24));
}

void BM_WhiteBalanceCacheFill(benchmark::State& state) {
    FillEveryBlock(state, false);
}
void BM_WhiteBalanceCacheFillWrittenOut(benchmark::State& state) {
    FillEveryBlock(state, true);
}

BENCHMARK(BM_WhiteBalanceCacheFill)->Apply(WallAndProcessCpu);
BENCHMARK(BM_WhiteBalanceCacheFillWrittenOut)->Apply(WallAndProcessCpu);
BENCHMARK(BM_EstimateGreyPoint)
    ->Args({6000, 4000})
    ->Args({1500, 1000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ApplyWhiteBalanceWarm)
    ->Args({6000, 4000})
    ->Args({1500, 1000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
