// Cost of handing a range to the pool and waiting for it, with a task that does nothing, and the
// pixel rate of callers that share the pool at once.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "parallel/WorkerPool.h"

namespace {

void EmptyTask(void* context, uint32_t, uint32_t) {
    benchmark::DoNotOptimize(context);
}

void BM_RunEmptyTask(benchmark::State& state) {
    WorkerPool::Acquire();
    const unsigned count = static_cast<unsigned>(state.range(0));
    for (auto _ : state) WorkerPool::Run(EmptyTask, nullptr, count);
    state.counters["processors"] = WorkerPool::ProcessorCount();
    WorkerPool::Release();
}

// 1, N and 4N exercise the three ways of cutting a range; 10000 the usual image height.
void RunCounts(benchmark::internal::Benchmark* benchmark) {
    const long processors = WorkerPool::ProcessorCount();
    for (long count : {1L, processors, 4 * processors, 10000L}) benchmark->Arg(count);
}

BENCHMARK(BM_RunEmptyTask)->Apply(RunCounts)->Unit(benchmark::kMicrosecond)->UseRealTime();

constexpr uint32_t kPictureWidth = 2000;
constexpr uint32_t kPictureHeight = 1500;

// Rows of 8-bit RGB through a 3x3 colour matrix in place, about the work of a correction pass.
void MatrixRowsTask(void* context, uint32_t first, uint32_t count) {
    static constexpr float kMatrix[9] = {1.1f,   -0.05f, -0.05f, -0.03f, 1.06f,
                                         -0.03f, 0.02f,  -0.08f, 1.06f};
    uint8_t* pixel = static_cast<uint8_t*>(context) + size_t{first} * kPictureWidth * 3;
    for (uint32_t i = 0; i < count * kPictureWidth; ++i, pixel += 3) {
        const float r = pixel[0], g = pixel[1], b = pixel[2];
        for (int c = 0; c < 3; ++c) {
            const float value =
                kMatrix[3 * c] * r + kMatrix[3 * c + 1] * g + kMatrix[3 * c + 2] * b;
            pixel[c] = static_cast<uint8_t>(std::clamp(value, 0.0f, 255.0f) + 0.5f);
        }
    }
}

// Every benchmark thread is one caller running its own picture through the pool, all at the same
// time: the pixel rate of 2 threads against 1 shows what a second caller (a save during a
// preview) costs or gains.
void BM_RunPixelTaskPerCaller(benchmark::State& state) {
    WorkerPool::Acquire();
    std::vector<uint8_t> picture(size_t{kPictureWidth} * kPictureHeight * 3, 128);
    for (auto _ : state) WorkerPool::Run(MatrixRowsTask, picture.data(), kPictureHeight);
    state.SetItemsProcessed(state.iterations() * int64_t{kPictureWidth} * kPictureHeight);
    state.counters["processors"] =
        benchmark::Counter(WorkerPool::ProcessorCount(), benchmark::Counter::kAvgThreads);
    WorkerPool::Release();
}

BENCHMARK(BM_RunPixelTaskPerCaller)
    ->Threads(1)
    ->Threads(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
