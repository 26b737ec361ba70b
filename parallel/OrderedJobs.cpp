#include "parallel/OrderedJobs.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

size_t RunOneByOne(size_t count, const std::function<void(size_t)>& work,
                   const std::function<void(size_t)>& report,
                   const std::function<bool()>& proceed) {
    size_t k = 0;
    for (; k < count && (!proceed || proceed()); ++k) {
        work(k);
        report(k);
    }
    return k;
}

}  // namespace

size_t RunInOrder(size_t count, unsigned jobs, const std::function<void(size_t)>& work,
                  const std::function<void(size_t)>& report, const std::function<bool()>& proceed) {
    if (jobs <= 1 || count <= 1) return RunOneByOne(count, work, report, proceed);
    std::mutex lock;
    std::condition_variable changed;
    std::vector<char> done(count, 0);
    size_t next = 0;  // the next k to start
    bool stopped = false;
    // Each thread takes the next k until none is left or proceed says stop.
    auto take = [&] {
        for (;;) {
            size_t k;
            {
                std::lock_guard<std::mutex> guard(lock);
                if (!stopped && next < count && proceed && !proceed()) stopped = true;
                if (stopped || next == count) {
                    changed.notify_all();
                    return;
                }
                k = next++;
            }
            work(k);
            {
                std::lock_guard<std::mutex> guard(lock);
                done[k] = 1;
            }
            changed.notify_all();
        }
    };
    std::vector<std::thread> threads;
    try {
        for (size_t t = 0; t < std::min<size_t>(jobs, count); ++t) threads.emplace_back(take);
    } catch (const std::system_error&) {
        // Fewer threads than asked for still work through every k.
    }
    if (threads.empty()) return RunOneByOne(count, work, report, proceed);
    size_t reported = 0;
    for (; reported < count; ++reported) {
        {
            std::unique_lock<std::mutex> guard(lock);
            changed.wait(guard, [&] { return done[reported] || (stopped && reported >= next); });
            if (!done[reported]) break;
        }
        report(reported);
    }
    for (std::thread& thread : threads) thread.join();
    return reported;
}
