#include <algorithm>
#include <cstdlib>
#include <vector>

#include "adjust/ColorCache.h"
#include "image/ColorModel.h"
#include "image/ColorRows.h"
#include "tests/adjust/AdjustTest.h"

namespace {

struct CallLog {
    uint32_t calls = 0;
    std::vector<uint32_t> colours;  // R << 16 | G << 8 | B of each call, while recording
    bool record = true;
};

int LoggingScramble(uint8_t* r, uint8_t* g, uint8_t* b, void* userData) {
    auto* log = static_cast<CallLog*>(userData);
    ++log->calls;
    if (log->record) log->colours.push_back(uint32_t{*r} << 16 | uint32_t{*g} << 8 | *b);
    return Scramble(r, g, b);
}

class ColorCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(cache = ColorCache_Create(), nullptr);
        cache->transform = LoggingScramble;
        cache->userData = &log;
    }
    void TearDown() override {
        cache->userData = nullptr;  // not the cache's to free
        ColorCache_Destroy(cache);
    }
    ColorCache* cache = nullptr;
    CallLog log;
};

TEST_F(ColorCacheTest, BlockNumberingAndClear) {
    uint8_t c[3] = {0, 0, 0};
    ASSERT_EQ(ColorCache_Lookup(cache, &c[0], &c[1], &c[2]), 1);
    ASSERT_EQ(log.calls, 64u);
    for (uint32_t n = 0; n < 64; ++n)
        EXPECT_EQ(log.colours[n], (n / 16) << 16 | (n / 4 % 4) << 8 | (n % 4)) << "call " << n;

    // (3, 2, 1) is entry 57 of the same block and costs no call.
    uint8_t expected[3] = {3, 2, 1};
    Scramble(&expected[0], &expected[1], &expected[2]);
    c[0] = 3, c[1] = 2, c[2] = 1;
    ASSERT_EQ(ColorCache_Lookup(cache, &c[0], &c[1], &c[2]), 1);
    EXPECT_EQ(log.calls, 64u);
    EXPECT_EQ(0, std::memcmp(c, expected, 3));
    EXPECT_EQ(0, std::memcmp(cache->index[0].load()->entries[57], expected, 3));
    // The last slot holds the block of (252..255, 252..255, 252..255).
    c[0] = c[1] = c[2] = 255;
    ColorCache_Lookup(cache, &c[0], &c[1], &c[2]);
    EXPECT_EQ(log.colours[64], 252u << 16 | 252u << 8 | 252u);
    EXPECT_EQ(cache->index[kColorCacheSlots - 1].load(), cache->lastBlock);

    EXPECT_EQ(ColorCache_Clear(cache), 1);
    EXPECT_EQ(cache->firstBlock, nullptr);
    size_t kept = 0;
    for (uint32_t slot = 0; slot < kColorCacheSlots; ++slot) kept += cache->index[slot] != nullptr;
    EXPECT_EQ(kept, 0u);
    ColorCache_Lookup(cache, &c[0], &c[1], &c[2]);
    EXPECT_EQ(log.calls, 192u);
}

TEST_F(ColorCacheTest, EveryColourMatchesTheTransformAndIsComputedOnce) {
    log.record = false;
    std::vector<uint8_t> pixels(size_t{3} << 24), expected(size_t{3} << 24);
    for (size_t c = 0; c < (1u << 24); ++c) {
        for (int k = 0; k < 3; ++k) pixels[c * 3 + k] = static_cast<uint8_t>(c >> (16 - 8 * k));
        std::copy_n(&pixels[c * 3], 3, &expected[c * 3]);
        Scramble(&expected[c * 3], &expected[c * 3 + 1], &expected[c * 3 + 2]);
    }
    ColorCache_MapRgb8(cache, pixels.data(), 1u << 24);
    EXPECT_EQ(log.calls, 1u << 24);
    EXPECT_TRUE(pixels == expected);
}

TEST(ColorCacheLifecycle, NullCachesAndNullTransformsMapNothing) {
    uint8_t c[3] = {10, 20, 30};
    EXPECT_EQ(ColorCache_Clear(nullptr) + ColorCache_Destroy(nullptr), 0);
    EXPECT_EQ(ColorCache_Lookup(nullptr, &c[0], &c[1], &c[2]), 0);
    ColorCache* cache = ColorCache_Create();
    ASSERT_NE(cache, nullptr);
    CImgBuff image, before;
    FillRandomHsv(image, 5, 4, 1);
    before.Copy(image);
    EXPECT_EQ(ApplyColorCache(cache, &image), 1);
    EXPECT_TRUE(SamePixels(image, before));
    uint16_t wide[3] = {1000, 40000, 65535};
    ColorCache_MapRgb16(cache, wide, 1);
    EXPECT_EQ(wide[1], 40000);
    EXPECT_EQ(cache->firstBlock, nullptr);
    cache->transform = Scramble;
    EXPECT_EQ(ApplyColorCache(cache, nullptr), 0);
    EXPECT_EQ(ApplyColorCache(nullptr, &image), 0);
    cache->userData = std::calloc(1, 64);  // the cache's to free: the leak checker would tell
    EXPECT_EQ(ColorCache_Destroy(cache), 1);
}

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

TEST_F(ColorCacheTest, WideLatticeAndInterpolation) {
    log.record = false;
    std::vector<uint16_t> pixels(65536 * 3);  // every 16-bit value in every channel position
    for (uint32_t u = 0; u < 65536; ++u) {
        pixels[u * 3] = static_cast<uint16_t>(u);
        pixels[u * 3 + 1] = static_cast<uint16_t>(65535 - u);
        pixels[u * 3 + 2] = static_cast<uint16_t>(u * 40503u);
    }
    const std::vector<uint16_t> original = pixels;
    std::vector<uint16_t> expected = pixels;
    for (uint32_t u = 0; u < 65536; ++u) ExpectedWide<uint16_t>(&expected[u * 3], 257, 65535.0);
    ColorCache_MapRgb16(cache, pixels.data(), 65536);
    EXPECT_TRUE(pixels == expected);
    // 32 bits: random pixels, the first three holding the edges of the range and values on and
    // next to the lattice.
    std::mt19937 random(7);
    std::vector<uint32_t> wide(300000 * 3);
    for (auto& sample : wide) sample = static_cast<uint32_t>(random());
    const uint32_t edges[] = {0u,          1u,          16843008u,        16843009u,           77u,
                              4294967294u, 4294967295u, 128u * 16843009u, 128u * 16843009u - 1};
    std::copy(std::begin(edges), std::end(edges), wide.begin());
    std::vector<uint32_t> wideExpected = wide;
    for (size_t p = 0; p < wide.size() / 3; ++p)
        ExpectedWide<uint32_t>(&wideExpected[p * 3], 16843009, 4294967295.0);
    ColorCache_MapRgb32(cache, wide.data(), static_cast<uint32_t>(wide.size() / 3));
    EXPECT_TRUE(wide == wideExpected);

    // Lattice colours map to exactly 257 times the 8-bit transform, white (lo = hi) included.
    for (const uint32_t rgb : {0xFFFFFFu, 0x1280FEu}) {
        uint8_t t[3] = {uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb)};
        uint16_t p[3] = {uint16_t(t[0] * 257), uint16_t(t[1] * 257), uint16_t(t[2] * 257)};
        Scramble(&t[0], &t[1], &t[2]);
        ColorCache_MapRgb16(cache, p, 1);
        for (int k = 0; k < 3; ++k) EXPECT_EQ(p[k], t[k] * 257) << rgb << " " << k;
    }

    // An identity transform keeps every 16-bit value exactly.
    cache->transform = [](uint8_t*, uint8_t*, uint8_t*, void*) { return 0; };
    ColorCache_Clear(cache);
    pixels = original;
    ColorCache_MapRgb16(cache, pixels.data(), 65536);
    EXPECT_TRUE(pixels == original);
}

// The map of separate channel arrays, at every vector level, on ten million random pixels and
// on every 16-bit value in each channel.
TEST_F(ColorCacheTest, ChannelArraysMapAsPixelByPixel) {
    log.record = false;
    std::mt19937 random(3);
    const size_t n = 10'000'000;
    std::vector<uint16_t> planes[3];
    for (auto& plane : planes) plane.resize(n);
    for (size_t i = 0; i < n; ++i)
        for (int c = 0; c < 3; ++c)
            planes[c][i] = i < 65536 ? uint16_t(i * (2 * c + 1)) : uint16_t(random());
    std::vector<uint16_t> expected(n * 3);
    for (size_t i = 0; i < n; ++i) {
        for (int c = 0; c < 3; ++c) expected[i * 3 + c] = planes[c][i];
        ExpectedWide<uint16_t>(&expected[i * 3], 257, 65535.0);
    }
    for (VectorLevel level : {VectorLevel::kAvx512, VectorLevel::kAvx2, VectorLevel::kScalar}) {
        LimitVectorLevel(level);
        // Each level starts from an empty cache, so that its groups meet unfilled blocks.
        ColorCache_Clear(cache);
        std::vector<uint16_t> out[3] = {planes[0], planes[1], planes[2]};
        // Uneven pieces, so that runs and vectors end at every offset.
        for (size_t first = 0, length = 1; first < n; first += length, length = length * 3 % 1031)
            ASSERT_EQ(
                ColorCache_MapRgb16Planes(cache, &out[0][first], &out[1][first], &out[2][first],
                                          uint32_t(std::min(length, n - first))),
                1);
        size_t i = 0;
        while (i < n && out[0][i] == expected[i * 3] && out[1][i] == expected[i * 3 + 1] &&
               out[2][i] == expected[i * 3 + 2])
            ++i;
        EXPECT_EQ(i, n) << "first differing pixel, level " << int(level);
    }
    LimitVectorLevel(VectorLevel::kAvx512);
}

// Every type is mapped through the RGB type of its width, pixel by pixel without the cache.
TEST_F(ColorCacheTest, ApplyMatchesPixelByPixelMappingForEveryType) {
    log.record = false;
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

}  // namespace
