// The 16-bit HSV <-> RGB row conversions at each vector level, on one thread: 4000 rows of 6000
// random pixels (a 24-megapixel photo), read from a band of rows that stays in cache as the fused
// pass's chunks do, so the figures are the arithmetic's and not the memory's. Run with
// --benchmark_repetitions and --benchmark_enable_random_interleaving to alternate the levels.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "bench/BenchPhotos.h"
#include "image/ColorRows.h"
#include "image/ColorRowsTesting.h"

namespace {

constexpr size_t kWidth = 6000;
constexpr size_t kHeight = 4000;
constexpr size_t kBandRows = 8;

using RunFn = void (*)(const uint16_t*, const uint16_t*, const uint16_t*, uint16_t*, uint16_t*,
                       uint16_t*, size_t);

void RunRows(benchmark::State& state, RunFn run) {
    const VectorLevel level = static_cast<VectorLevel>(state.range(0));
    LimitVectorLevel(level);
    if (ActiveVectorLevel() != level) {
        state.SkipWithError("this processor lacks the level");
        LimitVectorLevel(VectorLevel::kAvx512);
        return;
    }
    std::vector<uint16_t> in[3], out[3];
    std::mt19937 random(3);
    for (auto& plane : in) {
        plane.resize(kWidth * kBandRows);
        for (uint16_t& x : plane) x = static_cast<uint16_t>(random());
    }
    for (auto& plane : out) plane.resize(kWidth * kBandRows);
    for (auto _ : state) {
        for (size_t y = 0; y < kHeight; ++y) {
            const size_t row = y % kBandRows * kWidth;
            run(&in[0][row], &in[1][row], &in[2][row], &out[0][row], &out[1][row], &out[2][row],
                kWidth);
        }
        benchmark::DoNotOptimize(out[0].data());
        benchmark::ClobberMemory();
    }
    LimitVectorLevel(VectorLevel::kAvx512);
    SetPixelRate(state, "Mpixel/s", static_cast<double>(kWidth) * kHeight);
}

void BM_HsvToRgb16Run(benchmark::State& state) {
    RunRows(state, HsvToRgb16Run);
}

void BM_RgbToHsv16Run(benchmark::State& state) {
    RunRows(state, RgbToHsv16Run);
}

void Levels(benchmark::internal::Benchmark* bench) {
    bench->ArgName("level");
    for (VectorLevel level : {VectorLevel::kScalar, VectorLevel::kAvx2, VectorLevel::kAvx512})
        bench->Arg(static_cast<int64_t>(level));
}

BENCHMARK(BM_HsvToRgb16Run)->Apply(Levels)->Apply(WallAndProcessCpu);
BENCHMARK(BM_RgbToHsv16Run)->Apply(Levels)->Apply(WallAndProcessCpu);

}  // namespace
