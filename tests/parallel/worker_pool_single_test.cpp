// The pool on a one-processor machine: nothing is built and every task runs on its caller.
#include "tests/parallel/SliceLog.h"

const int forcedOne = WorkerPool::OverrideProcessorCount(1);

TEST(SingleProcessorPool, AcquireBuildsNothingAndRunCallsTheTaskOnceOnTheCaller) {
    ASSERT_EQ(forcedOne, 1);
    const size_t before = ProcessThreadCount();
    EXPECT_EQ(WorkerPool::Acquire(), 1);
    EXPECT_EQ(ProcessThreadCount(), before);
    ExpectEvenSlices(1, {0, 1, 1000, 0xFFFFFFFFu});
    EXPECT_EQ(Threads(RecordRun(1000)), std::set{std::this_thread::get_id()});
    WorkerPool::Release();
}
