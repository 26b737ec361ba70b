#include <algorithm>
#include <cstdlib>
#include <vector>

#include "adjust/ColorCacheTesting.h"
#include "tests/adjust/AdjustTest.h"

namespace {

using ColorCacheTest = AdjustTest;

// The lattice interpolation written out directly from the transform, without the cache.
template <typename Sample>
void ExpectedWide(Sample* pixel, int64_t step, double maxValue) {
    uint8_t lo[3], hi[3], low[3], high[3];
    for (int c = 0; c < 3; ++c) {
        low[c] = lo[c] = static_cast<uint8_t>(pixel[c] / step);
        high[c] = hi[c] = static_cast<uint8_t>(std::min<int>(lo[c] + 1, 255));
    }
    Scramble(&low[0], &low[1], &low[2]);
    Scramble(&high[0], &high[1], &high[2]);
    for (int c = 0; c < 3; ++c) {
        double out = double(low[c] * step);
        if (hi[c] > lo[c])
            out += (double(pixel[c] - lo[c] * step) / double(step)) *
                   double(high[c] * step - low[c] * step);
        pixel[c] = static_cast<Sample>(std::min(out, maxValue));
    }
}

// Ten million 16-bit pixels, the first 65536 holding every value in each channel, mapped packed
// and as separate channel arrays at every vector level, each level from an empty cache so that
// its groups meet unfilled blocks; random 32-bit pixels with the edges of the range and values
// on and next to the lattice.
TEST_F(ColorCacheTest, WideSamplesInterpolateBetweenLatticeColours) {
    std::mt19937 random(3);
    const size_t n = 10'000'000;
    std::vector<uint16_t> packed(n * 3), planes[3];
    for (size_t i = 0; i < n; ++i)
        for (int c = 0; c < 3; ++c)
            packed[i * 3 + c] = i < 65536 ? uint16_t(i * (2 * c + 1)) : uint16_t(random());
    for (int c = 0; c < 3; ++c)
        for (size_t i = 0; i < n; ++i) planes[c].push_back(packed[i * 3 + c]);
    std::vector<uint16_t> expected = packed;
    for (size_t i = 0; i < n; ++i) ExpectedWide<uint16_t>(&expected[i * 3], 257, 65535.0);
    ASSERT_EQ(ColorCache_MapRgb16(cache, packed.data(), uint32_t(n)), 1);
    EXPECT_EQ(FirstDifference(packed, expected), packed.size());
    AtEveryVectorLevel([&] {
        ColorCache_Clear(cache);
        std::vector<uint16_t> out[3] = {planes[0], planes[1], planes[2]}, mapped(n * 3);
        // Uneven pieces, so that runs and vectors end at every offset.
        for (size_t first = 0, length = 1; first < n; first += length, length = length * 3 % 1031)
            ASSERT_EQ(
                ColorCache_MapRgb16Planes(cache, &out[0][first], &out[1][first], &out[2][first],
                                          uint32_t(std::min(length, n - first))),
                1);
        for (size_t i = 0; i < n * 3; ++i) mapped[i] = out[i % 3][i / 3];
        EXPECT_EQ(FirstDifference(mapped, expected), mapped.size());
    });

    std::vector<uint32_t> wide(300000 * 3);
    for (auto& sample : wide) sample = static_cast<uint32_t>(random());
    const uint32_t edges[] = {0u,          1u,          16843008u,        16843009u,           77u,
                              4294967294u, 4294967295u, 128u * 16843009u, 128u * 16843009u - 1};
    std::copy(std::begin(edges), std::end(edges), wide.begin());
    std::vector<uint32_t> wideExpected = wide;
    for (size_t p = 0; p < wide.size() / 3; ++p)
        ExpectedWide<uint32_t>(&wideExpected[p * 3], 16843009, 4294967295.0);
    ColorCache_MapRgb32(cache, wide.data(), static_cast<uint32_t>(wide.size() / 3));
    EXPECT_EQ(FirstDifference(wide, wideExpected), wide.size());
}

// Every type is mapped through the RGB type of its width, pixel by pixel without the cache.
TEST_F(ColorCacheTest, ApplyMatchesPixelByPixelMappingForEveryType) {
    const PixelType viaRgb[10] = {PT_NONE,  PT_RGB8,  PT_RGB16, PT_RGB32, PT_RGB8,
                                  PT_RGB16, PT_RGB32, PT_RGB32, PT_RGB16, PT_RGB8};
    for (PixelType type = PT_GRAY8; type <= PT_CMYK8; ++type) {
        SCOPED_TRACE(testing::Message() << "type " << type);
        CImgBuff image, expected;
        FillRandomHsv(image, 61, 47, type);  // rows enough for the pool to split
        ASSERT_EQ(image.ConvertType(type), 1);
        expected.Copy(image);
        ASSERT_EQ(expected.ConvertType(viaRgb[type]), 1);
        uint8_t* p = expected.buffer->pixels;
        for (size_t n = 0; n < 61u * 47u; ++n, p += kBytesPerPixel[viaRgb[type]]) {
            if (viaRgb[type] == PT_RGB8) Scramble(&p[0], &p[1], &p[2]);
            if (viaRgb[type] == PT_RGB16) ExpectedWide(reinterpret_cast<uint16_t*>(p), 257, 65535.);
            if (viaRgb[type] == PT_RGB32)
                ExpectedWide(reinterpret_cast<uint32_t*>(p), 16843009, 4294967295.0);
        }
        ASSERT_EQ(expected.ConvertType(type), 1);
        ASSERT_EQ(ApplyColorCache(cache, &image), 1);
        EXPECT_TRUE(SamePixels(image, expected));
    }
}

// A block that cannot be allocated stops the map at its pixel: the pixels before it are
// mapped, it and the rest are left alone, and no later block is tried.
TEST_F(ColorCacheTest, AFailedBlockStopsTheMapThere) {
    std::vector<uint16_t> before;
    for (uint32_t n = 0; n < 64; ++n)
        for (uint32_t c : {n * 1024u, 65535 - n * 1024u, n * 512u}) before.push_back(uint16_t(c));
    std::vector<uint16_t> full = before, pixels = before;
    ASSERT_EQ(ColorCache_MapRgb16(cache, full.data(), 64), 1);
    ColorCache_Clear(cache);
    ColorCache_FailBlockAllocation(5);
    EXPECT_EQ(ColorCache_MapRgb16(cache, pixels.data(), 64), 0);
    ColorCache_FailBlockAllocation(0);
    EXPECT_EQ(ListedBlocks(cache), 4u);  // the clear emptied the list
    const size_t mapped = FirstDifference(pixels, full) / 3 * 3;
    EXPECT_GT(mapped, 0u);
    EXPECT_LT(mapped, pixels.size());
    EXPECT_TRUE(std::equal(pixels.begin() + mapped, pixels.end(), before.begin() + mapped));
    // The whole image's map fails with it.
    CImgBuff image;
    FillRandomHsv(image, 64, 64, 3);
    ColorCache_Clear(cache);
    ColorCache_FailBlockAllocation(1);
    EXPECT_EQ(ApplyColorCache(cache, &image), 0);
    ColorCache_FailBlockAllocation(0);
}

}  // namespace
