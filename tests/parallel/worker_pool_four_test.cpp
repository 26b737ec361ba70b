// The pool on a four-processor machine: its lifetime, slicing with a queue of 16, and the stock
// byte tasks.
#include <atomic>
#include <chrono>

#include "tests/parallel/SliceLog.h"

namespace {

const int forcedFour = WorkerPool::OverrideProcessorCount(4);

// The thread sanitizer's runtime starts a helper thread with the program's first thread.
const bool threadsWarmedUp = [] {
    std::thread([] {}).join();
    return true;
}();

// A joined thread can stay listed by the kernel for a moment.
size_t SettledThreadCount(size_t expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ProcessThreadCount() != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
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
        // Unmatched Releases must not wrap the count round, or the Acquire below would build
        // nothing.
        WorkerPool::Release();
        exitedWorkers = 0;
        ASSERT_EQ(WorkerPool::Acquire(), 1);
        EXPECT_EQ(ProcessThreadCount(), before + 8);
        ASSERT_EQ(WorkerPool::Acquire(), 1);
        WorkerPool::Release();
        EXPECT_EQ(ProcessThreadCount(), before + 8) << "only the last Release stops threads";
        WorkerPool::Run(MarkWorkerTask, nullptr, 4);
        EXPECT_EQ(exitedWorkers.load(), 0);
        WorkerPool::Release();
        EXPECT_EQ(exitedWorkers.load(), 4) << "four workers ran, and all have exited";
        EXPECT_EQ(SettledThreadCount(before), before);
    }
}

TEST_F(PoolTest, FourProcessorSlicesMatchTheWorkedExample) {
    // q = 2, r = 3: three slices of 3, then thirteen of 2 ending at 35.
    RangeList expected{{0, 3}, {3, 3}, {6, 3}};
    for (uint32_t first = 9; first < 35; first += 2) expected.emplace_back(first, 2);
    EXPECT_EQ(Ranges(RecordRun(35)), expected);
    for (unsigned count : {4u, 15u, 16u}) {
        RangeList single;
        for (uint32_t i = 0; i < count; ++i) single.emplace_back(i, 1);
        EXPECT_EQ(Ranges(RecordRun(count)), single) << count;
    }
    for (uint32_t count : {17u, 33u, 4099u, 0xFFFFFFFFu}) ExpectEvenTiling(count, 16);
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

}  // namespace
