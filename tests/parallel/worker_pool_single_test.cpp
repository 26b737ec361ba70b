// The pool on a one-processor machine: nothing is built and every task runs on its caller.
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "parallel/WorkerPool.h"
#include "tests/parallel/SliceLog.h"

namespace {

const int forcedOne = WorkerPool::OverrideProcessorCount(1);

TEST(SingleProcessorPool, AcquireBuildsNothingAndRunCallsTheTaskOnceOnTheCaller) {
    ASSERT_EQ(forcedOne, 1);
    EXPECT_EQ(WorkerPool::ProcessorCount(), 1u);
    const size_t before = ProcessThreadCount();
    EXPECT_EQ(WorkerPool::Acquire(), 1);
    EXPECT_EQ(WorkerPool::Acquire(), 1);
    EXPECT_EQ(ProcessThreadCount(), before);
    for (unsigned count : {1u, 4u, 1000u, 0xFFFFFFFFu}) {
        const auto calls = RecordRun(count);
        ASSERT_EQ(calls.size(), 1u) << "count " << count;
        EXPECT_EQ(calls[0].first, 0u);
        EXPECT_EQ(calls[0].count, count);
        EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
    }
    WorkerPool::Release();
    WorkerPool::Release();
    EXPECT_EQ(ProcessThreadCount(), before);
    // Nothing is held any more, and Run still works.
    EXPECT_EQ(RecordRun(12).size(), 1u);
}

TEST(SingleProcessorPool, EmptyRangeCallsNothing) {
    SliceLog log;
    EXPECT_EQ(WorkerPool::Run(SliceLog::Task, &log, 0), 1);
    EXPECT_TRUE(log.calls.empty());
}

}  // namespace
