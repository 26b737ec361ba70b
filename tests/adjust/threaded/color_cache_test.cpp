#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <latch>
#include <random>
#include <thread>
#include <vector>

#include "adjust/ColorCache.h"
#include "image/ImgBuff.h"
#include "parallel/WorkerPool.h"

namespace {

void Scramble(uint8_t* r, uint8_t* g, uint8_t* b) {
    const uint8_t r0 = *r;
    const uint8_t g0 = *g;
    const uint8_t b0 = *b;
    *r = static_cast<uint8_t>(255 - g0);
    *g = static_cast<uint8_t>(r0 * 7 + b0);
    *b = static_cast<uint8_t>((b0 ^ 0x5A) + (r0 >> 3));
}

struct Counter {
    std::atomic<uint32_t> calls{0};
    bool slow = false;
};

int CountingScramble(uint8_t* r, uint8_t* g, uint8_t* b, void* userData) {
    auto* counter = static_cast<Counter*>(userData);
    counter->calls.fetch_add(1);
    // Slow enough that a second thread arrives while the block is still being filled.
    if (counter->slow) std::this_thread::sleep_for(std::chrono::microseconds(500));
    Scramble(r, g, b);
    return 0;
}

class ColorCacheThreads : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(WorkerPool::Acquire(), 1);
        cache = ColorCache_Create();
        ASSERT_NE(cache, nullptr);
        cache->transform = CountingScramble;
        cache->userData = &counter;
    }
    void TearDown() override {
        cache->userData = nullptr;  // not the cache's to free
        ColorCache_Destroy(cache);
        WorkerPool::Release();
    }
    ColorCache* cache = nullptr;
    Counter counter;
};

bool LooksUpCorrectly(ColorCache* cache, uint8_t r, uint8_t g, uint8_t b) {
    uint8_t got[3] = {r, g, b};
    uint8_t want[3] = {r, g, b};
    Scramble(&want[0], &want[1], &want[2]);
    return ColorCache_Lookup(cache, &got[0], &got[1], &got[2]) == 1 &&
           std::memcmp(got, want, 3) == 0;
}

TEST_F(ColorCacheThreads, TwoThreadsMissingTheSameBlockComputeItOnce) {
    counter.slow = true;
    // Several blocks, so that either thread may be the one that claims.
    const uint8_t corners[][3] = {{0, 0, 0}, {128, 64, 252}, {252, 252, 252}};
    uint32_t expectedCalls = 0;
    for (const auto& corner : corners) {
        std::latch start(2);
        bool firstOk = false;
        bool secondOk = false;
        std::thread first([&] {
            start.arrive_and_wait();
            firstOk = LooksUpCorrectly(cache, corner[0], corner[1], corner[2]);
        });
        std::thread second([&] {
            start.arrive_and_wait();
            secondOk = LooksUpCorrectly(cache, corner[0] + 3, corner[1] + 2, corner[2] + 1);
        });
        first.join();
        second.join();
        expectedCalls += 64;
        EXPECT_TRUE(firstOk);
        EXPECT_TRUE(secondOk);
        EXPECT_EQ(counter.calls.load(), expectedCalls);
    }
}

TEST_F(ColorCacheThreads, ConcurrentMissesOverManyBlocksComputeEachOnce) {
    // 4096 blocks: every colour with channels 0..63, looked up by each thread in its own order.
    std::vector<uint32_t> colours(64 * 64 * 64);
    for (uint32_t c = 0; c < colours.size(); ++c) colours[c] = c;
    constexpr int kThreads = 4;
    std::vector<std::vector<uint32_t>> orders(kThreads, colours);
    for (int t = 0; t < kThreads; ++t)
        std::shuffle(orders[t].begin(), orders[t].end(), std::mt19937(t));
    std::vector<int> wrong(kThreads, 0);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (uint32_t c : orders[t]) {
                wrong[t] += !LooksUpCorrectly(cache, static_cast<uint8_t>(c >> 12),
                                              static_cast<uint8_t>((c >> 6) & 63),
                                              static_cast<uint8_t>(c & 63));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
    EXPECT_EQ(counter.calls.load(), 64u * 64u * 64u);
    size_t blocks = 0;
    for (const ColorCacheBlock* block = cache->firstBlock; block != nullptr; block = block->next) {
        ++blocks;
    }
    EXPECT_EQ(blocks, 4096u);
}

// The pool's result must not depend on which worker filled which block.
template <typename Sample>
void ExpectPoolEqualsSerial(ColorCache* cache, PixelType type,
                            void (*mapSerially)(ColorCache*, Sample*, uint32_t)) {
    constexpr int32_t kWidth = 640;
    constexpr int32_t kHeight = 480;
    CImgBuff image;
    ASSERT_EQ(image.buffer->Create(kWidth, kHeight, type), 1);
    std::mt19937 random(type);
    const size_t bytes = size_t{kWidth} * kHeight * kBytesPerPixel[type];
    // Smooth gradients with noise: neighbouring pixels share blocks, as in a photo.
    auto* samples = reinterpret_cast<Sample*>(image.buffer->pixels);
    for (size_t n = 0; n < bytes / sizeof(Sample); ++n) {
        const double ramp = double(n % (kWidth * 3)) / (kWidth * 3);
        const double noise = (random() % 1000) / 20000.0;
        samples[n] = static_cast<Sample>((ramp * 0.9 + noise) * double(Sample(~Sample(0))));
    }
    std::vector<Sample> serial(samples, samples + bytes / sizeof(Sample));

    ASSERT_EQ(ApplyColorCache(cache, &image), 1);

    ColorCache* fresh = ColorCache_Create();
    ASSERT_NE(fresh, nullptr);
    Counter freshCounter;
    fresh->transform = CountingScramble;
    fresh->userData = &freshCounter;
    mapSerially(fresh, serial.data(), uint32_t{kWidth} * kHeight);
    fresh->userData = nullptr;
    ColorCache_Destroy(fresh);

    EXPECT_EQ(0, std::memcmp(serial.data(), image.buffer->pixels, bytes));
}

TEST_F(ColorCacheThreads, PoolLookupsEqualSerialLookups) {
    ExpectPoolEqualsSerial<uint8_t>(cache, PT_RGB8, ColorCache_MapRgb8);
    ExpectPoolEqualsSerial<uint16_t>(cache, PT_RGB16, ColorCache_MapRgb16);
    ExpectPoolEqualsSerial<uint32_t>(cache, PT_RGB32, ColorCache_MapRgb32);
    // Each block was computed by one worker only: whole blocks, none twice.
    size_t blocks = 0;
    for (const ColorCacheBlock* block = cache->firstBlock; block != nullptr; block = block->next) {
        ++blocks;
    }
    EXPECT_EQ(counter.calls.load(), 64u * blocks);
}

}  // namespace
