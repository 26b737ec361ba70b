// The pool on a four-processor machine: slicing with a queue of 16, and the pool's lifetime.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "parallel/WorkerPool.h"
#include "tests/parallel/SliceLog.h"

namespace {

const int forcedFour = WorkerPool::OverrideProcessorCount(4);

// Some runtimes (the thread sanitizer's, for one) start a helper thread of their own with the
// first thread a program makes; making one here keeps it out of the counts below.
const bool threadsWarmedUp = [] {
    std::thread([] {}).join();
    return true;
}();

using RangeList = std::vector<std::pair<uint32_t, uint32_t>>;

// Polls the kernel's thread list until it shows `expected` threads; a thread that has been joined
// can stay listed for a moment. Returns the last count seen.
size_t SettledThreadCount(size_t expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    size_t count = ProcessThreadCount();
    while (count != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        count = ProcessThreadCount();
    }
    return count;
}

// Kept first in the file: it needs a process in which no pool has existed yet.
TEST(FourProcessorLifetime, PoolKeepsEightThreadsWhileHeldAndEndsThemAllOnTheLastRelease) {
    ASSERT_EQ(forcedFour, 1);
    ASSERT_TRUE(threadsWarmedUp);
    const size_t before = ProcessThreadCount();
    ASSERT_EQ(WorkerPool::Acquire(), 1);
    EXPECT_EQ(ProcessThreadCount(), before + 8);
    ASSERT_EQ(WorkerPool::Acquire(), 1);
    EXPECT_EQ(ProcessThreadCount(), before + 8) << "a second Acquire must only count";
    WorkerPool::Release();
    EXPECT_EQ(ProcessThreadCount(), before + 8) << "a Release that is not the last stops nothing";
    EXPECT_EQ(Threads(RecordRun(4)).size(), 4u);
    WorkerPool::Release();
    EXPECT_EQ(SettledThreadCount(before), before);

    // The next Acquire builds a complete new pool.
    ASSERT_EQ(WorkerPool::Acquire(), 1);
    EXPECT_EQ(ProcessThreadCount(), before + 8);
    const auto calls = RecordRun(4);
    EXPECT_EQ(Threads(calls).size(), 4u);
    EXPECT_EQ(Ranges(calls), (RangeList{{0, 1}, {1, 1}, {2, 1}, {3, 1}}));
    WorkerPool::Release();
    EXPECT_EQ(SettledThreadCount(before), before);
}

// Counts worker threads that have run their thread-exit cleanup; a thread that has only been
// told to quit, but not waited for, may not have got there yet.
std::atomic<int> exitedWorkers{0};

struct ExitMarker {
    bool armed = false;
    ~ExitMarker() {
        if (armed) exitedWorkers.fetch_add(1);
    }
};

void MarkWorkerTask(void*, uint32_t, uint32_t) {
    thread_local ExitMarker marker;
    marker.armed = true;
}

TEST(FourProcessorLifetime, LastReleaseReturnsOnlyAfterTheWorkersHaveExited) {
    for (int cycle = 0; cycle < 5; ++cycle) {
        exitedWorkers = 0;
        ASSERT_EQ(WorkerPool::Acquire(), 1);
        WorkerPool::Run(MarkWorkerTask, nullptr, 4);
        EXPECT_EQ(exitedWorkers.load(), 0);
        WorkerPool::Release();
        EXPECT_EQ(exitedWorkers.load(), 4) << "cycle " << cycle;
    }
}

TEST(FourProcessorLifetime, ReleaseWithoutAReferenceChangesNothing) {
    WorkerPool::Release();
    WorkerPool::Release();
    // Had the count wrapped around, this Acquire would only count and build no threads.
    const size_t before = ProcessThreadCount();
    ASSERT_EQ(WorkerPool::Acquire(), 1);
    EXPECT_EQ(ProcessThreadCount(), before + 8);
    EXPECT_EQ(RecordRun(16).size(), 16u);
    WorkerPool::Release();
    EXPECT_EQ(SettledThreadCount(before), before);
}

TEST(FourProcessorLifetime, AcquireFromManyThreadsAtOnceBuildsOnePool) {
    const size_t before = ProcessThreadCount();
    std::vector<std::thread> holders;
    std::atomic<int> refused{0};
    for (int t = 0; t < 6; ++t) {
        holders.emplace_back([&refused] {
            if (WorkerPool::Acquire() != 1) ++refused;
        });
    }
    for (std::thread& holder : holders) holder.join();
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(SettledThreadCount(before + 8), before + 8);
    holders.clear();
    for (int t = 0; t < 6; ++t) holders.emplace_back([] { WorkerPool::Release(); });
    for (std::thread& holder : holders) holder.join();
    EXPECT_EQ(SettledThreadCount(before), before);
}

class FourProcessorPool : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(WorkerPool::Acquire(), 1); }
    void TearDown() override { WorkerPool::Release(); }
};

TEST_F(FourProcessorPool, ThirtyFiveItemsMatchTheWorkedExample) {
    // q = 2, r = 3: three slices of 3, then thirteen of 2 ending at 35.
    RangeList expected{{0, 3}, {3, 3}, {6, 3}, {9, 2}};
    for (uint32_t first = 11; first < 35; first += 2) expected.emplace_back(first, 2);
    ASSERT_EQ(expected.size(), 16u);
    EXPECT_EQ(Ranges(RecordRun(35)), expected);
}

TEST_F(FourProcessorPool, CountsAtTheRuleBoundaries) {
    // N items: one each on four different workers.
    const auto four = RecordRun(4);
    EXPECT_EQ(Ranges(four), (RangeList{{0, 1}, {1, 1}, {2, 1}, {3, 1}}));
    EXPECT_EQ(Threads(four).size(), 4u);
    for (unsigned count : {5u, 15u, 16u}) {
        RangeList expected;
        for (uint32_t i = 0; i < count; ++i) expected.emplace_back(i, 1);
        EXPECT_EQ(Ranges(RecordRun(count)), expected) << "count " << count;
    }
    for (uint32_t count : {17u, 31u, 32u, 33u, 4099u, 1000000u, 0xFFFFFFFFu}) {
        ExpectEvenTiling(RecordRun(count), count, 16);
    }
}

}  // namespace
