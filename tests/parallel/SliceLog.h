// Shared by the pool tests: records every call a task receives, with the thread it ran on.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <latch>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "parallel/WorkerPool.h"
#include "parallel/WorkerPoolTesting.h"

struct SliceCall {
    uint32_t first;
    uint32_t count;
    std::thread::id thread;
};

using RangeList = std::vector<std::pair<uint32_t, uint32_t>>;

// Each slice first waits at gate, when one is given.
inline std::vector<SliceCall> RecordRun(unsigned count, std::latch* gate = nullptr) {
    struct Log {
        std::latch* gate;
        std::mutex mutex;
        std::vector<SliceCall> calls;
    } log{gate, {}, {}};
    WorkerPool::Run(
        [](void* context, uint32_t first, uint32_t length) {
            Log* log = static_cast<Log*>(context);
            if (log->gate) log->gate->arrive_and_wait();
            std::lock_guard<std::mutex> guard(log->mutex);
            log->calls.push_back({first, length, std::this_thread::get_id()});
        },
        &log, count);
    return log.calls;
}

// The (first, count) pairs in ascending order of first.
inline RangeList Ranges(const std::vector<SliceCall>& calls) {
    RangeList ranges;
    for (const SliceCall& call : calls) ranges.emplace_back(call.first, call.count);
    std::sort(ranges.begin(), ranges.end());
    return ranges;
}

inline std::set<std::thread::id> Threads(const std::vector<SliceCall>& calls) {
    std::set<std::thread::id> threads;
    for (const SliceCall& call : calls) threads.insert(call.thread);
    return threads;
}

inline size_t ProcessThreadCount() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                             std::filesystem::directory_iterator()));
}

// Runs over each count with a queue of `queue` slices: exactly min(count, queue) slices tiling
// [0, count) in order, the longer ones first, lengths differing by at most one. That fixes every
// slice, so a worked example (35 items in 16 slices: three of 3, then thirteen of 2) adds nothing.
inline void ExpectEvenSlices(unsigned queue, std::initializer_list<uint32_t> counts) {
    for (uint32_t count : counts) {
        const RangeList ranges = Ranges(RecordRun(count));
        ASSERT_EQ(ranges.size(), std::min(count, queue)) << count;
        uint64_t next = 0;
        for (size_t k = 0; k < ranges.size(); next += ranges[k++].second) {
            EXPECT_TRUE(ranges[k].first == next &&
                        ranges[k].second <= ranges[k ? k - 1 : 0].second &&
                        ranges[k].second >= ranges[0].second - 1)
                << count << " slice " << k;
        }
        EXPECT_EQ(next, count);
    }
}

class PoolTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(WorkerPool::Acquire(), 1); }
    void TearDown() override { WorkerPool::Release(); }
};
