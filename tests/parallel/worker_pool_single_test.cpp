// The pool on a one-processor machine: nothing is built and every task runs on its caller.
#include "tests/parallel/SliceLog.h"

namespace {

const int forcedOne = WorkerPool::OverrideProcessorCount(1);

TEST(SingleProcessorPool, AcquireBuildsNothingAndRunCallsTheTaskOnceOnTheCaller) {
    ASSERT_EQ(forcedOne, 1);
    const size_t before = ProcessThreadCount();
    EXPECT_EQ(WorkerPool::Acquire(), 1);
    EXPECT_EQ(ProcessThreadCount(), before);
    for (unsigned count : {1u, 1000u, 0xFFFFFFFFu}) {
        const auto calls = RecordRun(count);
        EXPECT_EQ(Ranges(calls), (RangeList{{0, count}}));
        EXPECT_EQ(Threads(calls), std::set{std::this_thread::get_id()});
    }
    EXPECT_TRUE(RecordRun(0).empty());
    WorkerPool::Release();
    EXPECT_EQ(RecordRun(12).size(), 1u);
}

}  // namespace
