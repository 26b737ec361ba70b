#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

#include "adjust/SourcePhoto.h"
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

// A colour transform with no structure a cache could hide: channels mix, and it is not
// monotonic, so interpolation runs both up and down.
inline int Scramble(uint8_t* r, uint8_t* g, uint8_t* b, void* = nullptr) {
    const uint8_t r0 = *r, g0 = *g, b0 = *b;
    *r = static_cast<uint8_t>(255 - g0);
    *g = static_cast<uint8_t>(r0 * 7 + b0);
    *b = static_cast<uint8_t>((b0 ^ 0x5A) + (r0 >> 3));
    return 0;
}

// A pass run on a random photo of the given type, into another image and in place, equals
// mapping its pixels one at a time through their HSV16 values.
template <typename Pass, typename Map>
void ExpectPassMatchesPlainLoop(PixelType type, Pass pass, Map map) {
    SCOPED_TRACE(testing::Message() << "type " << type);
    CImgBuff src, dst, expected;
    FillRandomHsv(src, 257, 131, type);
    ASSERT_EQ(src.ConvertType(type), 1);
    expected.Copy(src);
    for (int32_t y = 0; y < 131; ++y)
        for (int32_t x = 0; x < 257; ++x) {
            uint16_t h, s, v;
            expected.buffer->GetHSV16(x, y, &h, &s, &v);
            map(h, s, v);
            expected.buffer->SetHSV16(x, y, h, s, v);
        }
    ASSERT_EQ(dst.buffer->Create(257, 131, type), 1);
    ASSERT_EQ(pass(&dst, &src), 1);
    ASSERT_EQ(pass(&src, &src), 1);
    EXPECT_TRUE(SamePixels(dst, expected));
    EXPECT_TRUE(SamePixels(src, expected));
}
