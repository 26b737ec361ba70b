#include <array>
#include <latch>
#include <thread>
#include <vector>

#include "adjust/WhiteBalance.h"
#include "tests/adjust/AdjustTest.h"

namespace {

// Threads measuring one photo through the pool at once, each also building the grey table on
// first use, all get the exact answers: a grey quarter and blue elsewhere, so that block mode
// sees only the grey and whole-image mode the mean of both.
TEST(GreyPointThreads, ConcurrentMeasurementsAndCachesAgree) {
    CImgBuff image;
    ASSERT_EQ(image.buffer->Create(320, 256, PT_RGB16), 1);
    for (int32_t y = 0; y < 256; ++y)
        for (int32_t x = 0; x < 320; ++x) {
            const bool grey = x < 160 && y < 128;
            image.buffer->SetRGB16(x, y, grey ? 40000 : 0, grey ? 41000 : 0, grey ? 42000 : 65535);
        }
    // (40000 / 4, 41000 / 4, (42000 + 3 * 65535) / 4) over the whole image.
    const double exact[6] = {40000, 41000, 42000, 10000, 10250, 59651};
    std::vector<std::array<double, 8>> seen(4);
    std::latch start(4);
    std::vector<std::thread> threads;
    for (auto& p : seen)
        threads.emplace_back([&] {
            start.arrive_and_wait();
            ColorCache* cache = CreateWhiteBalanceCache(0.6, 0.55, 0.4);
            if (cache == nullptr) return;
            p[0] = static_cast<const WhiteBalanceShift*>(cache->userData)->da;
            p[1] = static_cast<const WhiteBalanceShift*>(cache->userData)->db;
            ColorCache_Destroy(cache);
            EstimateGreyPoint(&image, &p[2], &p[3], &p[4], 60, 40);
            EstimateGreyPoint(&image, &p[5], &p[6], &p[7], 0, 0);
        });
    for (auto& thread : threads) thread.join();
    EXPECT_NE(seen[0][1], 0.0);
    for (const auto& p : seen) {
        EXPECT_EQ(p[0], seen[0][0]);
        EXPECT_EQ(p[1], seen[0][1]);
        for (int k = 0; k < 6; ++k) EXPECT_EQ(p[k + 2], exact[k] / 65535.0) << k;
    }
}

}  // namespace
