// The pool on a two-processor machine: 4 threads, 2 of them working, a queue of 8 slices.
#include <atomic>

#include "parallel/ParallelFor.h"
#include "tests/parallel/SliceLog.h"

namespace {

// Fixed before any pool code can read the hardware.
const int forcedTwo = WorkerPool::OverrideProcessorCount(2);

TEST_F(PoolTest, TwoProcessorSlicesMatchTheWorkedExamples) {
    ASSERT_EQ(forcedTwo, 1);
    EXPECT_EQ(Ranges(RecordRun(5)), (RangeList{{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 1}}));
    // q = 1, r = 2: two slices of 2, then six of 1.
    EXPECT_EQ(Ranges(RecordRun(10)),
              (RangeList{{0, 2}, {2, 2}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 1}, {9, 1}}));
    for (uint32_t count : {8u, 9u, 15u, 17u, 1001u, 65539u, 0xFFFFFFFFu}) {
        ExpectEvenTiling(count, 8);
    }
}

TEST_F(PoolTest, OnlyTwoWorkersRunSlicesAndNeverTheCaller) {
    const auto pair = RecordRun(2);
    const auto workers = Threads(pair);
    ASSERT_EQ(workers.size(), 2u);
    EXPECT_EQ(workers.count(std::this_thread::get_id()), 0u);
    const std::thread::id firstWorker = pair[pair[0].first == 0 ? 0 : 1].thread;
    std::set<std::thread::id> used;
    for (int repeat = 0; repeat < 20; ++repeat) {
        EXPECT_EQ(Threads(RecordRun(1)), std::set{firstWorker});
        for (unsigned count : {3u, 8u, 1000u}) used.merge(Threads(RecordRun(count)));
    }
    EXPECT_EQ(used, workers);
}

// Each slice runs a Run of 7 from inside the task, which must run inline on that worker.
void NestedTask(void* context, uint32_t, uint32_t) {
    const auto inner = RecordRun(7);
    EXPECT_EQ(Ranges(inner), (RangeList{{0, 7}}));
    EXPECT_EQ(Threads(inner), std::set{std::this_thread::get_id()});
    static_cast<std::atomic<int>*>(context)->fetch_add(1);
}

TEST_F(PoolTest, RunFromATaskRunsInlineOnItsWorker) {
    std::atomic<int> outer{0};
    WorkerPool::Run(NestedTask, &outer, 20);
    EXPECT_EQ(outer.load(), 8);
    // The caller's own Runs are still dispatched.
    EXPECT_EQ(Threads(RecordRun(2)).size(), 2u);
}

// Every item counts itself, so a lost, doubled or misplaced item shows.
void CountTask(void* context, uint32_t first, uint32_t count) {
    auto* hits = static_cast<std::vector<std::atomic<uint32_t>>*>(context);
    for (uint32_t i = first; i < first + count; ++i) (*hits)[i].fetch_add(1);
}

TEST_F(PoolTest, ManyThreadsRunningConcurrentlyEachGetTheirWholeRange) {
    std::atomic<int> failures{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t) {
        callers.emplace_back([t, &failures] {
            for (int run = 0; run < 150; ++run) {
                std::vector<std::atomic<uint32_t>> hits((run * 37 + t * 11) % 300 + 1);
                WorkerPool::Run(CountTask, &hits, static_cast<unsigned>(hits.size()));
                for (const auto& hit : hits) failures += hit.load() != 1;
            }
        });
    }
    for (std::thread& caller : callers) caller.join();
    EXPECT_EQ(failures.load(), 0);
}

// The lambda form runs on the pool's own slices and workers, and reaches its captures from each.
TEST_F(PoolTest, ParallelForRunsItsBodyOnThePoolsSlices) {
    std::mutex mutex;
    std::vector<SliceCall> calls;
    ParallelFor(10, [&](uint32_t first, uint32_t count) {
        std::lock_guard<std::mutex> guard(mutex);
        calls.push_back({first, count, std::this_thread::get_id()});
    });
    EXPECT_EQ(Ranges(calls), Ranges(RecordRun(10)));
    EXPECT_EQ(Threads(calls).size(), 2u);
    EXPECT_EQ(Threads(calls).count(std::this_thread::get_id()), 0u);

    std::vector<std::atomic<uint32_t>> hits(100003);
    ParallelFor(static_cast<uint32_t>(hits.size()), [&hits](uint32_t first, uint32_t count) {
        for (uint32_t i = first; i < first + count; ++i) hits[i].fetch_add(1);
    });
    EXPECT_TRUE(std::all_of(hits.begin(), hits.end(), [](const auto& hit) { return hit == 1; }));
    ParallelFor(0, [](uint32_t, uint32_t) { ADD_FAILURE() << "an empty range runs nothing"; });
}

}  // namespace
