// Whole-buffer copy, clear, type conversion and turns of a 6000 x 4000 photo, with plain memcpy
// and memset of the same bytes on one thread as the yardstick for copy and clear, and the copy as
// the yardstick for the turns (which make a new buffer each, as the copy does).
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "bench/BenchPhotos.h"
#include "image/ImageTurn.h"
#include "image/ImgBuff.h"
#include "parallel/WorkerPool.h"

namespace {

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;
constexpr size_t kHsvBytes = static_cast<size_t>(kWidth) * kHeight * 6;

void FillRandom(uint8_t* bytes, size_t n) {
    std::mt19937 rng(1);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(rng());
}

void BM_CopyHsv16(benchmark::State& state) {
    C_ImgBuff source;
    C_ImgBuff target;
    source.Create(kWidth, kHeight, PT_HSV16);
    FillRandom(source.pixels, kHsvBytes);
    target.Copy(source);
    for (auto _ : state) {
        target.Copy(source);
        benchmark::DoNotOptimize(target.pixels);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kHsvBytes);
    state.counters["processors"] = WorkerPool::ProcessorCount();
}

// Argument: quarter turns clockwise, 4 for a mirror alone.
void BM_TurnHsv16(benchmark::State& state) {
    C_ImgBuff source;
    C_ImgBuff target;
    source.Create(kWidth, kHeight, PT_HSV16);
    FillRandom(source.pixels, kHsvBytes);
    const auto arg = static_cast<int32_t>(state.range(0));
    const ImageTurn turn = arg == 4 ? kMirror : ImageTurn{arg, false};
    for (auto _ : state) {
        TurnImage(source, turn, &target);
        benchmark::DoNotOptimize(target.pixels);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kHsvBytes);
    state.counters["processors"] = WorkerPool::ProcessorCount();
}

void BM_MemcpyOneThread(benchmark::State& state) {
    std::vector<uint8_t> source(kHsvBytes);
    std::vector<uint8_t> target(kHsvBytes);
    FillRandom(source.data(), kHsvBytes);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), kHsvBytes);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kHsvBytes);
}

void BM_ClearHsv16(benchmark::State& state) {
    C_ImgBuff image;
    image.Create(kWidth, kHeight, PT_HSV16);
    for (auto _ : state) {
        image.Clear();
        benchmark::DoNotOptimize(image.pixels);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kHsvBytes);
    state.counters["processors"] = WorkerPool::ProcessorCount();
}

void BM_MemsetOneThread(benchmark::State& state) {
    std::vector<uint8_t> target(kHsvBytes);
    for (auto _ : state) {
        std::memset(target.data(), 0, kHsvBytes);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kHsvBytes);
}

// Converts a fresh copy each time (the conversion replaces the buffer's memory); the copy is
// kept out of the timing.
void ConvertBench(benchmark::State& state, PixelType from, PixelType to) {
    C_ImgBuff original;
    original.Create(kWidth, kHeight, from);
    FillRandom(original.pixels, static_cast<size_t>(kWidth) * kHeight * kBytesPerPixel[from]);
    C_ImgBuff work;
    for (auto _ : state) {
        state.PauseTiming();
        work.Copy(original);
        state.ResumeTiming();
        work.ConvertType(to);
        benchmark::DoNotOptimize(work.pixels);
    }
    state.counters["Mpixel/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kWidth * kHeight / 1e6,
                           benchmark::Counter::kIsRate);
    state.counters["processors"] = WorkerPool::ProcessorCount();
}

void BM_ConvertRgb8ToHsv16(benchmark::State& state) {
    ConvertBench(state, PT_RGB8, PT_HSV16);
}

void BM_ConvertHsv16ToRgb16(benchmark::State& state) {
    ConvertBench(state, PT_HSV16, PT_RGB16);
}

BENCHMARK(BM_CopyHsv16)->Apply(WallAndProcessCpu);
BENCHMARK(BM_TurnHsv16)->DenseRange(1, 4)->Apply(WallAndProcessCpu);
BENCHMARK(BM_MemcpyOneThread)->Apply(WallAndProcessCpu);
BENCHMARK(BM_ClearHsv16)->Apply(WallAndProcessCpu);
BENCHMARK(BM_MemsetOneThread)->Apply(WallAndProcessCpu);
BENCHMARK(BM_ConvertRgb8ToHsv16)->Apply(WallAndProcessCpu);
BENCHMARK(BM_ConvertHsv16ToRgb16)->Apply(WallAndProcessCpu);

}  // namespace
