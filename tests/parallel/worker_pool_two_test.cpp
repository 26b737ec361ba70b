// The pool on a two-processor machine: 4 threads, 2 of them working, a queue of 8 slices.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "parallel/WorkerPool.h"
#include "tests/parallel/SliceLog.h"

namespace {

// Fixed before any pool code can read the hardware.
const int forcedTwo = WorkerPool::OverrideProcessorCount(2);

using RangeList = std::vector<std::pair<uint32_t, uint32_t>>;

class TwoProcessorPool : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(WorkerPool::Acquire(), 1); }
    void TearDown() override { WorkerPool::Release(); }
};

TEST(TwoProcessorCount, OverrideHoldsAndCannotChangeLater) {
    EXPECT_EQ(forcedTwo, 1);
    EXPECT_EQ(WorkerPool::ProcessorCount(), 2u);
    EXPECT_EQ(WorkerPool::OverrideProcessorCount(5), 0);
    EXPECT_EQ(WorkerPool::ProcessorCount(), 2u);
}

TEST_F(TwoProcessorPool, SlicesMatchTheWorkedExamples) {
    EXPECT_EQ(Ranges(RecordRun(1)), (RangeList{{0, 1}}));
    EXPECT_EQ(Ranges(RecordRun(5)), (RangeList{{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 1}}));
    // q = 1, r = 2: two slices of 2, then six of 1.
    EXPECT_EQ(Ranges(RecordRun(10)),
              (RangeList{{0, 2}, {2, 2}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 1}, {9, 1}}));
}

TEST_F(TwoProcessorPool, LongRangesAreCutIntoEightEvenSlices) {
    for (uint32_t count : {8u, 9u, 15u, 16u, 17u, 23u, 1001u, 65539u, 0xFFFFFFFFu}) {
        ExpectEvenTiling(RecordRun(count), count, 8);
    }
}

TEST_F(TwoProcessorPool, OnlyTheFirstTwoWorkersRunSlicesAndNeverTheCaller) {
    // With count = N each worker i gets item i, so this identifies the two working threads.
    std::map<uint32_t, std::thread::id> workerOf;
    for (const SliceCall& call : RecordRun(2)) workerOf[call.first] = call.thread;
    ASSERT_EQ(workerOf.size(), 2u);
    ASSERT_NE(workerOf[0], workerOf[1]);
    const std::thread::id caller = std::this_thread::get_id();
    EXPECT_NE(workerOf[0], caller);
    EXPECT_NE(workerOf[1], caller);

    for (int repeat = 0; repeat < 20; ++repeat) {
        // The same worker takes the same item every time.
        for (const SliceCall& call : RecordRun(2)) EXPECT_EQ(call.thread, workerOf[call.first]);
        const auto single = RecordRun(1);
        ASSERT_EQ(single.size(), 1u);
        EXPECT_EQ(single[0].thread, workerOf[0]);
        for (unsigned count : {3u, 8u, 1000u}) {
            for (const SliceCall& call : RecordRun(count)) {
                EXPECT_TRUE(call.thread == workerOf[0] || call.thread == workerOf[1])
                    << "count " << count << " ran on a thread that should only wait";
            }
        }
    }
}

// Item 0 holds its worker until every other item is done, which only finishes if the other
// worker drains the whole queue on its own.
struct HoldFirstContext {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned othersDone = 0;
    unsigned others = 0;
    bool timedOut = false;
};

void HoldFirstTask(void* context, uint32_t first, uint32_t count) {
    HoldFirstContext* hold = static_cast<HoldFirstContext*>(context);
    std::unique_lock<std::mutex> lock(hold->mutex);
    if (first == 0) {
        hold->timedOut = !hold->changed.wait_for(
            lock, std::chrono::seconds(30), [hold] { return hold->othersDone == hold->others; });
        return;
    }
    hold->othersDone += count;
    hold->changed.notify_all();
}

TEST_F(TwoProcessorPool, AFreeWorkerTakesEveryQueuedSlice) {
    for (unsigned count : {5u, 7u, 8u, 40u}) {
        HoldFirstContext hold;
        // Item 0 lies in the first slice; its length is count / 8 rounded up, or 1.
        const unsigned firstLength = count < 8 ? 1 : (count + 7) / 8;
        hold.others = count - firstLength;
        WorkerPool::Run(HoldFirstTask, &hold, count);
        EXPECT_FALSE(hold.timedOut) << "count " << count;
        EXPECT_EQ(hold.othersDone, hold.others);
    }
}

struct NestedContext {
    std::mutex mutex;
    std::vector<std::pair<SliceCall, std::vector<SliceCall>>> outer;
};

void NestedTask(void* context, uint32_t first, uint32_t count) {
    NestedContext* nested = static_cast<NestedContext*>(context);
    SliceCall self{first, count, std::this_thread::get_id()};
    std::vector<SliceCall> inner = RecordRun(7);
    std::lock_guard<std::mutex> guard(nested->mutex);
    nested->outer.emplace_back(self, inner);
}

TEST_F(TwoProcessorPool, RunFromInsideATaskRunsInlineAndTheOuterRunCompletes) {
    NestedContext nested;
    WorkerPool::Run(NestedTask, &nested, 20);
    ASSERT_EQ(nested.outer.size(), 8u);
    uint64_t covered = 0;
    for (const auto& [self, inner] : nested.outer) {
        covered += self.count;
        EXPECT_NE(self.thread, std::this_thread::get_id());
        ASSERT_EQ(inner.size(), 1u);
        EXPECT_EQ(inner[0].first, 0u);
        EXPECT_EQ(inner[0].count, 7u);
        EXPECT_EQ(inner[0].thread, self.thread);
    }
    EXPECT_EQ(covered, 20u);
    // The pool dispatches again once the outer Run is over.
    const auto after = RecordRun(2);
    EXPECT_EQ(Threads(after).size(), 2u);
}

// Holds the pool busy until a second thread has finished its own Run.
struct GateContext {
    std::mutex mutex;
    std::condition_variable changed;
    bool inside = false;
    bool otherFinished = false;
};

void GateTask(void* context, uint32_t, uint32_t) {
    GateContext* gate = static_cast<GateContext*>(context);
    std::unique_lock<std::mutex> lock(gate->mutex);
    gate->inside = true;
    gate->changed.notify_all();
    gate->changed.wait(lock, [gate] { return gate->otherFinished; });
}

TEST_F(TwoProcessorPool, RunFromAnotherThreadWhileBusyRunsInlineOnThatThread) {
    GateContext gate;
    std::vector<SliceCall> otherCalls;
    std::thread::id otherId;
    std::thread other([&] {
        otherId = std::this_thread::get_id();
        {
            std::unique_lock<std::mutex> lock(gate.mutex);
            gate.changed.wait(lock, [&] { return gate.inside; });
        }
        otherCalls = RecordRun(9);
        std::lock_guard<std::mutex> guard(gate.mutex);
        gate.otherFinished = true;
        gate.changed.notify_all();
    });
    WorkerPool::Run(GateTask, &gate, 1);
    other.join();
    ASSERT_EQ(otherCalls.size(), 1u);
    EXPECT_EQ(otherCalls[0].first, 0u);
    EXPECT_EQ(otherCalls[0].count, 9u);
    EXPECT_EQ(otherCalls[0].thread, otherId);
}

// Every item adds its own index to its own counter, so a lost, doubled or misplaced item shows.
struct CounterContext {
    std::vector<std::atomic<uint32_t>> hits;
    explicit CounterContext(size_t size) : hits(size) {}
};

void CounterTask(void* context, uint32_t first, uint32_t count) {
    CounterContext* counters = static_cast<CounterContext*>(context);
    for (uint32_t i = first; i < first + count; ++i) counters->hits[i].fetch_add(1);
}

TEST_F(TwoProcessorPool, ManyThreadsRunningConcurrentlyEachGetTheirWholeRange) {
    constexpr int kThreads = 3;
    constexpr int kRuns = 150;
    std::atomic<int> failures{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([t, &failures] {
            for (int run = 0; run < kRuns; ++run) {
                const unsigned count = 1 + static_cast<unsigned>((run * 37 + t * 11) % 300);
                CounterContext counters(count);
                WorkerPool::Run(CounterTask, &counters, count);
                for (unsigned i = 0; i < count; ++i) {
                    if (counters.hits[i].load() != 1) ++failures;
                }
            }
        });
    }
    for (std::thread& caller : callers) caller.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
