// Synthetic photos and the pixel-rate counter shared by the benchmarks of whole-photo passes.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>

#include "image/ImgBuff.h"
#include "parallel/WorkerPool.h"

// Takes one pool reference for the whole benchmark run, on first call, so that the buffers made
// per iteration do not build and tear down the pool.
inline void HoldPool() {
    static const int held = WorkerPool::Acquire();
    benchmark::DoNotOptimize(held);
}

// Creates image as a width x height PT_HSV16 photo; fill(x, y, hsv) writes the three samples of
// each pixel. Pixels come in row order, so a noise generator inside fill gives the same photo
// on every run.
template <typename Fill>
void FillHsv16(C_ImgBuff* image, int32_t width, int32_t height, Fill fill) {
    image->Create(width, height, PT_HSV16);
    auto* samples = reinterpret_cast<uint16_t*>(image->pixels);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x)
            fill(x, y, samples + (static_cast<size_t>(y) * width + x) * 3);
    }
}

// Times a benchmark in milliseconds of wall time, beside the CPU time of the whole process
// (every worker), which a busy machine disturbs less than the wall time.
inline void WallAndProcessCpu(benchmark::internal::Benchmark* benchmark) {
    benchmark->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
}

// The same for the photo file benchmarks, each run for at least a second.
inline void FileTiming(benchmark::internal::Benchmark* benchmark) {
    WallAndProcessCpu(benchmark);
    benchmark->MinTime(1.0);
}

// Reports the pixels one iteration processes as megapixels per second under the given name.
inline void SetPixelRate(benchmark::State& state, const char* name, double pixels) {
    state.counters[name] =
        benchmark::Counter(pixels * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}

// A 16-bit sample of smooth colour fields with a little noise, which compresses about like a
// photo. Drawn in row order from one generator, it gives the same picture on every run.
inline uint16_t PhotoLikeSample(int x, int y, int channel, std::mt19937& random) {
    const double wave = std::sin(x * (0.0021 + channel * 0.0007)) * std::cos(y * 0.0017 + channel);
    const double value = 32768.0 + 26000.0 * wave + static_cast<int>(random() % 2048) - 1024;
    return static_cast<uint16_t>(std::clamp(value, 0.0, 65535.0));
}
