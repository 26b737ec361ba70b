#include <gtest/gtest.h>

#include <latch>
#include <thread>
#include <vector>

#include "adjust/WhiteBalance.h"
#include "image/ImgBuff.h"
#include "parallel/WorkerPool.h"

namespace {

// Both measurement modes merge the workers' results; the image has one grey quarter so that
// block mode and whole-image mode give different, exactly known answers.
TEST(GreyPointThreads, PoolMeasurementsMatchTheirExactValues) {
    ASSERT_EQ(WorkerPool::Acquire(), 1);
    {
        CImgBuff image;
        ASSERT_EQ(image.buffer->Create(320, 256, PT_RGB16), 1);
        for (int32_t y = 0; y < 256; ++y) {
            for (int32_t x = 0; x < 320; ++x) {
                if (x < 160 && y < 128) {
                    image.buffer->SetRGB16(x, y, 40000, 41000, 42000);
                } else {
                    image.buffer->SetRGB16(x, y, 0, 0, 65535);
                }
            }
        }
        double r = 0, g = 0, b = 0;
        ASSERT_EQ(EstimateGreyPoint(&image, &r, &g, &b, 60, 40), 1);
        EXPECT_EQ(r, 40000 / 65535.0);
        EXPECT_EQ(g, 41000 / 65535.0);
        EXPECT_EQ(b, 42000 / 65535.0);
        // A quarter grey, three quarters blue: (40000 / 4, 41000 / 4, (42000 + 3 * 65535) / 4).
        ASSERT_EQ(EstimateGreyPoint(&image, &r, &g, &b, 0, 0), 1);
        EXPECT_EQ(r, 10000 / 65535.0);
        EXPECT_EQ(g, 10250 / 65535.0);
        EXPECT_EQ(b, 59651 / 65535.0);
    }
    WorkerPool::Release();
}

TEST(GreyPointThreads, WhiteBalanceCachesBuiltFromSeveralThreadsAgree) {
    ASSERT_EQ(WorkerPool::Acquire(), 1);
    constexpr int kThreads = 4;
    std::vector<WhiteBalanceShift> shifts(kThreads);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            ColorCache* cache = CreateWhiteBalanceCache(0.6, 0.55, 0.4);
            if (cache == nullptr) return;
            shifts[t] = *static_cast<const WhiteBalanceShift*>(cache->userData);
            ColorCache_Destroy(cache);
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 1; t < kThreads; ++t) {
        EXPECT_EQ(shifts[t].da, shifts[0].da);
        EXPECT_EQ(shifts[t].db, shifts[0].db);
    }
    EXPECT_NE(shifts[0].db, 0.0);
    WorkerPool::Release();
}

}  // namespace
