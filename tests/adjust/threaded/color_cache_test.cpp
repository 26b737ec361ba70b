#include <atomic>
#include <chrono>
#include <latch>
#include <thread>
#include <vector>

#include "adjust/ColorCache.h"
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

class ColorCacheThreads : public ::testing::Test {
  protected:
    void SetUp() override {
        calls = 0;
        ASSERT_NE(cache = ColorCache_Create(), nullptr);
        cache->transform = CountingScramble;
    }
    void TearDown() override { ColorCache_Destroy(cache); }
    ColorCache* cache = nullptr;
};

bool LooksUpCorrectly(ColorCache* cache, uint8_t r, uint8_t g, uint8_t b) {
    uint8_t got[3] = {r, g, b}, want[3] = {r, g, b};
    Scramble(&want[0], &want[1], &want[2]);
    return ColorCache_Lookup(cache, &got[0], &got[1], &got[2]) == 1 &&
           std::memcmp(got, want, 3) == 0;
}

// Listed blocks; each slot holds at most one of them.
size_t ListedBlocks(const ColorCache* cache) {
    size_t blocks = 0;
    for (const ColorCacheBlock* block = cache->firstBlock; block; block = block->next) ++blocks;
    return blocks;
}

size_t FilledSlots(const ColorCache* cache) {
    size_t filled = 0;
    for (uint32_t slot = 0; slot < kColorCacheSlots; ++slot)
        filled += cache->index[slot] != nullptr;
    return filled;
}

// The thread that finds the block being filled does not wait: it transforms its own colour
// directly, so the block is filled once and at most one more transform runs.
TEST_F(ColorCacheThreads, TwoThreadsMissingTheSameBlockComputeItOnce) {
    slow = true;
    // Several blocks, so that either thread may be the one that claims.
    const uint8_t corners[][3] = {{0, 0, 0}, {128, 64, 252}, {252, 252, 252}};
    for (uint32_t n = 0; n < std::size(corners); ++n) {
        const uint8_t* c = corners[n];
        std::latch start(2);
        bool ok = false;
        std::thread other([&] {
            start.arrive_and_wait();
            ok = LooksUpCorrectly(cache, c[0], c[1], c[2]);
        });
        start.arrive_and_wait();
        EXPECT_TRUE(LooksUpCorrectly(cache, c[0] + 3, c[1] + 2, c[2] + 1));
        other.join();
        EXPECT_TRUE(ok);
        EXPECT_GE(calls.load(), 64 * (n + 1));
        EXPECT_LE(calls.load(), 65 * (n + 1));
        EXPECT_EQ(ListedBlocks(cache), n + 1);
    }
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
    // Each block filled by one worker only.
    EXPECT_EQ(ListedBlocks(cache), FilledSlots(cache));
}

}  // namespace
