#include <algorithm>
#include <atomic>
#include <chrono>
#include <latch>
#include <thread>
#include <vector>

#include "tests/adjust/AdjustTest.h"

namespace {

std::atomic<uint32_t> calls{0};
std::atomic<bool> slow{false};

int CountingScramble(uint8_t* r, uint8_t* g, uint8_t* b, void*) {
    calls.fetch_add(1);
    // Slow enough that a second thread arrives while the block is still being filled.
    if (slow) std::this_thread::sleep_for(std::chrono::microseconds(500));
    return Scramble(r, g, b);
}

using ColorCacheThreads = AdjustTest;

// The thread that finds the block being filled does not wait: it transforms its own colour
// directly, so the block is filled once and at most one more transform runs; both get the colour.
TEST_F(ColorCacheThreads, TwoThreadsMissingTheSameBlockComputeItOnce) {
    slow = true;
    cache->transform = CountingScramble;
    std::latch start(2);
    uint8_t got[2][3] = {{128, 64, 252}, {131, 66, 253}}, want[2][3];
    std::memcpy(want, got, sizeof got);
    auto lookUp = [&](uint8_t* c) {
        start.arrive_and_wait();
        EXPECT_EQ(ColorCache_Lookup(cache, &c[0], &c[1], &c[2]), 1);
    };
    std::thread other(lookUp, got[1]);
    lookUp(got[0]);
    other.join();
    for (auto& c : want) Scramble(&c[0], &c[1], &c[2]);
    EXPECT_EQ(std::memcmp(got, want, sizeof got), 0);
    EXPECT_GE(calls.load(), 64u);
    EXPECT_LE(calls.load(), 65u);
    EXPECT_EQ(ListedBlocks(cache), 1u);
    slow = false;
}

// The pool's result must not depend on which worker filled which block.
template <typename Sample>
void ExpectPoolEqualsSerial(ColorCache* cache, PixelType type,
                            int (*mapSerially)(ColorCache*, Sample*, uint32_t)) {
    CImgBuff image;
    ASSERT_EQ(image.buffer->Create(640, 480, type), 1);
    auto* samples = reinterpret_cast<Sample*>(image.buffer->pixels);
    std::mt19937 random(type);
    // The same noisy gradient in every row: all workers need the same blocks at once.
    for (size_t n = 0; n < size_t{640} * 480 * 3; ++n)
        samples[n] = Sample((n % 1920 / 1920.0 * 0.9 + random() % 1000 / 20000.0) * Sample(~0));
    std::vector<Sample> serial(samples, samples + size_t{640} * 480 * 3);
    ASSERT_EQ(ApplyColorCache(cache, &image), 1);
    ColorCache* fresh = ColorCache_Create();
    fresh->transform = Scramble;
    ASSERT_EQ(mapSerially(fresh, serial.data(), 640 * 480), 1);
    ColorCache_Destroy(fresh);
    EXPECT_EQ(0, std::memcmp(serial.data(), samples, serial.size() * sizeof(Sample)));
}

TEST_F(ColorCacheThreads, PoolLookupsEqualSerialLookups) {
    ExpectPoolEqualsSerial<uint8_t>(cache, PT_RGB8, ColorCache_MapRgb8);
    ExpectPoolEqualsSerial<uint16_t>(cache, PT_RGB16, ColorCache_MapRgb16);
    ExpectPoolEqualsSerial<uint32_t>(cache, PT_RGB32, ColorCache_MapRgb32);
    // Each block filled by one worker only: no slot lost its block to another.
    EXPECT_EQ(ListedBlocks(cache),
              size_t(std::count_if(cache->index, cache->index + kColorCacheSlots,
                                   [](auto& block) { return block != nullptr; })));
}

}  // namespace
