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
    // Slow enough that a second thread arrives while the colour is still being computed.
    if (slow) std::this_thread::sleep_for(std::chrono::microseconds(500));
    return Scramble(r, g, b);
}

using ColorCacheThreads = AdjustTest;

// The thread that finds the colour being computed does not wait: it transforms the colour itself,
// so the colour is computed at most twice and the block carved once; both get the colour. Once
// ready it is not computed again, and a neighbour in the block is computed alone.
TEST_F(ColorCacheThreads, TwoThreadsMissingTheSameColourNeitherWaitsNorCarvesTwice) {
    slow = true;
    cache->transform = CountingScramble;
    std::latch start(2);
    uint8_t got[2][3] = {{128, 64, 252}, {128, 64, 252}}, want[3] = {128, 64, 252};
    auto lookUp = [&](uint8_t* c) {
        start.arrive_and_wait();
        EXPECT_EQ(ColorCache_Lookup(cache, &c[0], &c[1], &c[2]), 1);
    };
    std::thread other(lookUp, got[1]);
    lookUp(got[0]);
    other.join();
    slow = false;
    Scramble(&want[0], &want[1], &want[2]);
    for (const auto& c : got) EXPECT_EQ(std::memcmp(c, want, 3), 0);
    EXPECT_GE(calls.load(), 1u);
    EXPECT_LE(calls.load(), 2u);
    EXPECT_EQ(ListedBlocks(cache), 1u);
    const uint32_t before = calls.load();
    uint8_t again[3] = {128, 64, 252}, neighbour[3] = {129, 65, 253};
    ColorCache_Lookup(cache, &again[0], &again[1], &again[2]);
    ColorCache_Lookup(cache, &neighbour[0], &neighbour[1], &neighbour[2]);
    EXPECT_EQ(std::memcmp(again, want, 3), 0);
    EXPECT_EQ(calls.load(), before + 1);
    EXPECT_EQ(ListedBlocks(cache), 1u);
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
