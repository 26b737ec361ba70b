// The pool on a two-processor machine: 4 threads, 2 of them working, a queue of 8 slices.
#include <atomic>

#include "parallel/ParallelFor.h"
#include "tests/parallel/SliceLog.h"

// Fixed before any pool code can read the hardware.
const int forcedTwo = WorkerPool::OverrideProcessorCount(2);

// Slices go to the first two of the four threads only, never to the caller.
TEST_F(PoolTest, TwoProcessorRunsCutAtMostEightEvenSlicesForTwoWorkers) {
    ASSERT_EQ(forcedTwo, 1);
    ExpectEvenSlices(8, {0, 1, 2, 5, 8, 9, 10, 15, 17, 1001, 65539, 0xFFFFFFFFu});
    std::set<std::thread::id> used;
    for (int repeat = 0; repeat < 20; ++repeat)
        for (unsigned count : {1u, 2u, 3u, 8u, 1000u}) used.merge(Threads(RecordRun(count)));
    EXPECT_TRUE(used.size() == 2 && !used.count(std::this_thread::get_id()));
}

// Three callers at once, through the lambda form: every item of every range (empty ones too) is
// counted exactly once, so a lost, doubled or misplaced item shows. Each slice also makes a Run
// of its own, which must run inline on its worker: waiting for the others could deadlock.
TEST_F(PoolTest, ManyThreadsRunningConcurrentlyEachGetTheirWholeRange) {
    std::atomic<int> failures{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t) {
        callers.emplace_back([t, &failures] {
            for (int run = 0; run < 150; ++run) {
                std::vector<std::atomic<uint32_t>> hits((run * 37 + t * 11) % 301);
                ParallelFor(static_cast<uint32_t>(hits.size()),
                            [&hits](uint32_t first, uint32_t n) {
                                EXPECT_EQ(Ranges(RecordRun(7)), (RangeList{{0, 7}}));
                                for (uint32_t i = first; i < first + n; ++i)
                                    hits.at(i).fetch_add(1);
                            });
                for (const auto& hit : hits) failures += hit.load() != 1;
            }
        });
    }
    for (std::thread& caller : callers) caller.join();
    EXPECT_EQ(failures.load(), 0);
}
