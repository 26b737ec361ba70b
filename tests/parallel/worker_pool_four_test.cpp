// The pool on a four-processor machine: its lifetime, slicing with a queue of 16, and two Runs at
// once.
#include <atomic>
#include <chrono>

#include "tests/parallel/SliceLog.h"

const int forcedFour = WorkerPool::OverrideProcessorCount(4);

// The thread sanitizer's runtime starts a helper thread with the program's first thread.
const bool threadsWarmedUp = [] {
    std::thread([] {}).join();
    return true;
}();

// A joined thread can stay listed by the kernel for a moment.
size_t SettledThreadCount(size_t expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ProcessThreadCount() != expected && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return ProcessThreadCount();
}

// Counts workers that have run their thread-exit cleanup, which a thread only told to quit may
// not have reached yet.
std::atomic<int> exitedWorkers{0};

void MarkWorkerTask(void*, uint32_t, uint32_t) {
    thread_local struct Marker {
        ~Marker() { ++exitedWorkers; }
    } marker;
}

// Needs a process in which no pool has existed yet.
TEST(FourProcessorLifetime, EightThreadsWhileHeldAndTheLastReleaseWaitsForThemAll) {
    ASSERT_TRUE(forcedFour == 1 && threadsWarmedUp);
    const size_t before = ProcessThreadCount();
    for (int cycle = 0; cycle < 3; ++cycle) {
        exitedWorkers = 0;
        ASSERT_EQ(WorkerPool::Acquire() + WorkerPool::Acquire(), 2);
        WorkerPool::Release();
        EXPECT_EQ(ProcessThreadCount(), before + 8) << "only the last Release stops threads";
        WorkerPool::Run(MarkWorkerTask, nullptr, 4);
        EXPECT_EQ(exitedWorkers.load(), 0);
        WorkerPool::Release();
        EXPECT_EQ(exitedWorkers.load(), 4) << "four workers ran, and all have exited";
        EXPECT_EQ(SettledThreadCount(before), before);
        // With no reference held the whole range runs on the caller.
        EXPECT_EQ(Threads(RecordRun(5)), std::set{std::this_thread::get_id()});
    }
}

TEST_F(PoolTest, FourProcessorRunsCutAtMostSixteenEvenSlices) {
    ExpectEvenSlices(16, {0, 1, 4, 15, 16, 17, 33, 35, 4099, 0xFFFFFFFFu});
}

// Every slice waits until all four have started, so the second Run can only finish if the
// workers left idle by the first serve it while the first is still in progress.
TEST_F(PoolTest, ConcurrentRunsEachGetTheirRangeOnTwoWorkers) {
    std::latch gate(4);
    std::vector<SliceCall> calls[2];
    std::thread other([&] { calls[1] = RecordRun(2, &gate); });
    std::set<std::thread::id> threads{std::this_thread::get_id(), other.get_id()};
    calls[0] = RecordRun(2, &gate);
    other.join();
    for (const auto& run : calls) {
        EXPECT_EQ(Ranges(run), (RangeList{{0, 1}, {1, 1}}));
        threads.merge(Threads(run));
    }
    EXPECT_EQ(threads.size(), 6u) << "each slice on a worker of its own, none on a caller";
}
