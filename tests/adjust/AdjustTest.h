#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <random>

#include "adjust/ColorCache.h"
#include "adjust/Pipeline.h"
#include "image/ColorRows.h"
#include "image/ColorRowsTesting.h"
#include "image/ImgBuff.h"
#include "parallel/WorkerPool.h"

// Every pass of the engine runs through the pool.
class PoolEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_EQ(WorkerPool::Acquire(), 1); }
    void TearDown() override { WorkerPool::Release(); }
};
inline ::testing::Environment* const poolEnvironment =
    ::testing::AddGlobalTestEnvironment(new PoolEnvironment);

// A colour transform with no structure a cache could hide: channels mix, and it is not
// monotonic, so interpolation runs both up and down.
inline int Scramble(uint8_t* r, uint8_t* g, uint8_t* b, void* = nullptr) {
    const uint8_t r0 = *r, g0 = *g, b0 = *b;
    *r = static_cast<uint8_t>(255 - g0);
    *g = static_cast<uint8_t>(r0 * 7 + b0);
    *b = static_cast<uint8_t>((b0 ^ 0x5A) + (r0 >> 3));
    return 0;
}

// The engine tables held for the test, a spare tone curve and a colour cache that scrambles.
class AdjustTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(cache = ColorCache_Create(), nullptr);
        cache->transform = Scramble;
    }
    void TearDown() override { EXPECT_EQ(ColorCache_Destroy(cache), int(cache != nullptr)); }
    EngineReference engine;
    std::unique_ptr<ToneCurve> curve = std::make_unique<ToneCurve>();
    ColorCache* cache = nullptr;
};

// The blocks on the cache's list.
inline size_t ListedBlocks(const ColorCache* cache) {
    size_t blocks = 0;
    for (const ColorCacheBlock* block = cache->firstBlock; block; block = block->next) ++blocks;
    return blocks;
}

// Random PT_HSV16 pixels over the whole range of each channel.
inline void FillRandomHsv(CImgBuff& image, int32_t width, int32_t height, uint32_t seed) {
    ASSERT_EQ(image.buffer->Create(width, height, PT_HSV16), 1);
    std::mt19937 random(seed);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            image.buffer->SetHSV16(x, y, random() & 0xFFFF, random() & 0xFFFF, random() & 0xFFFF);
}

inline bool SamePixels(const C_ImgBuff& p, const C_ImgBuff& q) {
    if (p.width != q.width || p.height != q.height || p.type != q.type) return false;
    const size_t bytes = size_t(p.width) * p.height * kBytesPerPixel[p.type];
    return bytes == 0 || std::memcmp(p.pixels, q.pixels, bytes) == 0;
}
inline bool SamePixels(const CImgBuff& a, const CImgBuff& b) {
    return SamePixels(*a.buffer, *b.buffer);
}

// A position for row: often the neutral one, the one next to it or an end of the range, where
// faults hide; otherwise any in the range.
inline int32_t RandomPosition(const AdjustmentSpec& row, std::mt19937& random) {
    const int32_t positions[] = {row.neutral, row.neutral + 1, row.minimum, row.maximum};
    return random() % 6 < 4
               ? positions[random() % 4]
               : std::uniform_int_distribution<int32_t>(row.minimum, row.maximum)(random);
}

// A loaded photo holding a copy of image's pixels.
inline std::shared_ptr<const SourcePhoto> PhotoOf(const CImgBuff& image) {
    CImgBuff copy;
    copy.Copy(image);
    return SourcePhoto::Make(copy);
}

// The mean RGB16 colour of the pixels of [x0, x1) x [y0, y1) that lie inside image.
inline std::array<double, 3> BoxMean(const C_ImgBuff& image, int32_t x0, int32_t y0, int32_t x1,
                                     int32_t y1) {
    std::array<double, 3> sum{};
    int n = 0;
    for (int32_t y = std::max(y0, 0); y < std::min(y1, image.height); ++y)
        for (int32_t x = std::max(x0, 0); x < std::min(x1, image.width); ++x, ++n) {
            uint16_t c[3];
            image.GetRGB16(x, y, &c[0], &c[1], &c[2]);
            for (int k = 0; k < 3; ++k) sum[k] += c[k];
        }
    for (double& s : sum) s /= n;
    return sum;
}

// Runs check with the vector code capped at each level from top down to scalar, then lifts the
// cap again.
template <typename Check>
void AtEveryVectorLevel(Check check, VectorLevel top = VectorLevel::kAvx512) {
    for (VectorLevel level : {VectorLevel::kAvx512, VectorLevel::kAvx2, VectorLevel::kScalar}) {
        if (level > top) continue;
        SCOPED_TRACE(testing::Message() << "vector level " << int(level));
        LimitVectorLevel(level);
        check();
    }
    LimitVectorLevel(VectorLevel::kAvx512);
}

// The index of the first element where a and b differ, a.size() when none does.
template <typename Range>
size_t FirstDifference(const Range& a, const Range& b) {
    return size_t(std::mismatch(a.begin(), a.end(), b.begin()).first - a.begin());
}
