// Overlapping jobs reported in order: whatever order the work finishes in, each report comes
// after its own work and after the report before it; no more than jobs run at once, and more
// than one do; a stop finishes and reports what was started and starts nothing more.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "parallel/OrderedJobs.h"

TEST(RunInOrder, ReportsInOrderAfterTheWorkAndStopsStartingWhenAsked) {
    const struct {
        size_t count;
        unsigned jobs;
        size_t starts;  // proceed says yes this many times
    } cases[] = {{0, 3, 99},  {1, 3, 99}, {7, 1, 99}, {7, 3, 99},
                 {30, 8, 99}, {7, 1, 3},  {20, 4, 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " by " << c.jobs << ", " << c.starts);
        std::mutex lock;
        std::vector<int> worked(c.count, 0);
        int inFlight = 0, mostInFlight = 0;
        std::vector<size_t> reports;
        size_t asked = 0;
        const size_t reported = RunInOrder(
            c.count, c.jobs,
            [&](size_t k) {
                {
                    std::lock_guard<std::mutex> guard(lock);
                    mostInFlight = std::max(mostInFlight, ++inFlight);
                }
                // The first waits for a second to start (when one may), later ones finish first.
                for (int wait = 0; k == 0 && c.jobs > 1 && c.count > 1 && wait < 5000; ++wait) {
                    if (std::lock_guard<std::mutex> guard(lock); inFlight > 1) break;
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                std::this_thread::sleep_for(std::chrono::microseconds((c.count - k) * 100));
                std::lock_guard<std::mutex> guard(lock);
                ++worked[k];
                --inFlight;
            },
            [&](size_t k) {
                std::lock_guard<std::mutex> guard(lock);
                EXPECT_EQ(worked[k], 1) << k;
                reports.push_back(k);
            },
            [&] { return asked++ < c.starts; });
        const size_t started = std::min(c.count, c.starts);
        EXPECT_EQ(reported, started);
        ASSERT_EQ(reports.size(), started);
        for (size_t k = 0; k < c.count; ++k) {
            if (k < started) {
                EXPECT_EQ(reports[k], k);
            }
            EXPECT_EQ(worked[k], k < started ? 1 : 0) << k;
        }
        EXPECT_LE(mostInFlight, int(std::max(c.jobs, 1u)));
        if (c.jobs > 1 && started > 1) {
            EXPECT_GE(mostInFlight, 2);
        }
    }
}
