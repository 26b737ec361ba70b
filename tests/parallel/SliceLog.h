// Shared by the pool tests: records every call a task receives, with the thread it ran on.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "parallel/WorkerPool.h"

struct SliceCall {
    uint32_t first;
    uint32_t count;
    std::thread::id thread;
};

struct SliceLog {
    std::mutex mutex;
    std::vector<SliceCall> calls;

    static void Task(void* context, uint32_t first, uint32_t count) {
        SliceLog* log = static_cast<SliceLog*>(context);
        std::lock_guard<std::mutex> guard(log->mutex);
        log->calls.push_back({first, count, std::this_thread::get_id()});
    }
};

// Runs count items through the pool and returns every call the task received.
inline std::vector<SliceCall> RecordRun(unsigned count) {
    SliceLog log;
    WorkerPool::Run(SliceLog::Task, &log, count);
    return log.calls;
}

// The (first, count) pairs in ascending order of first.
inline std::vector<std::pair<uint32_t, uint32_t>> Ranges(const std::vector<SliceCall>& calls) {
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    for (const SliceCall& call : calls) ranges.emplace_back(call.first, call.count);
    std::sort(ranges.begin(), ranges.end());
    return ranges;
}

// The distinct threads the calls ran on.
inline std::vector<std::thread::id> Threads(const std::vector<SliceCall>& calls) {
    std::vector<std::thread::id> threads;
    for (const SliceCall& call : calls) threads.push_back(call.thread);
    std::sort(threads.begin(), threads.end());
    threads.erase(std::unique(threads.begin(), threads.end()), threads.end());
    return threads;
}

// Number of threads the process has right now, as the kernel lists them.
inline size_t ProcessThreadCount() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                             std::filesystem::directory_iterator()));
}

// Checks the calls of one Run over count >= slots items: exactly `slots` slices that tile
// [0, count) in order, longer ones first, lengths differing by at most one.
inline void ExpectEvenTiling(const std::vector<SliceCall>& calls, uint32_t count, unsigned slots) {
    const auto ranges = Ranges(calls);
    ASSERT_EQ(ranges.size(), slots) << "count " << count;
    uint64_t next = 0;
    for (size_t k = 0; k < ranges.size(); ++k) {
        EXPECT_EQ(ranges[k].first, next) << "count " << count << " slice " << k;
        EXPECT_GE(ranges[k].second, 1u);
        if (k > 0) {
            EXPECT_LE(ranges[k].second, ranges[k - 1].second) << "count " << count;
            EXPECT_LE(ranges[k - 1].second - ranges[k].second, 1u) << "count " << count;
        }
        next += ranges[k].second;
    }
    EXPECT_EQ(next, count);
}
