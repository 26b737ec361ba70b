// Cost of handing a range to the pool and waiting for it, with a task that does nothing.
#include <benchmark/benchmark.h>

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

}  // namespace
