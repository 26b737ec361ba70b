#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "adjust/ColorCache.h"
#include "image/ColorModel.h"
#include "image/ImgBuff.h"
#include "parallel/WorkerPool.h"

namespace {

// A colour function with no structure the cache could hide: channels mix, and it is not
// monotonic, so interpolation runs both up and down.
void Scramble(uint8_t* r, uint8_t* g, uint8_t* b) {
    const uint8_t r0 = *r;
    const uint8_t g0 = *g;
    const uint8_t b0 = *b;
    *r = static_cast<uint8_t>(255 - g0);
    *g = static_cast<uint8_t>(r0 * 7 + b0);
    *b = static_cast<uint8_t>((b0 ^ 0x5A) + (r0 >> 3));
}

struct CallLog {
    uint32_t calls = 0;
    bool record = true;
    std::vector<uint32_t> colours;  // R << 16 | G << 8 | B of each call, in order
};

int LoggingScramble(uint8_t* r, uint8_t* g, uint8_t* b, void* userData) {
    auto* log = static_cast<CallLog*>(userData);
    ++log->calls;
    if (log->record) log->colours.push_back(uint32_t{*r} << 16 | uint32_t{*g} << 8 | *b);
    Scramble(r, g, b);
    return 0;
}

int PlainScramble(uint8_t* r, uint8_t* g, uint8_t* b, void*) {
    Scramble(r, g, b);
    return 0;
}

int Identity(uint8_t*, uint8_t*, uint8_t*, void*) {
    return 1;
}

class ColorCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(WorkerPool::Acquire(), 1);
        cache = ColorCache_Create();
        ASSERT_NE(cache, nullptr);
        cache->transform = PlainScramble;
    }
    // Routes every transform call through the fixture's log.
    void Log() {
        cache->transform = LoggingScramble;
        cache->userData = &log;
    }
    void TearDown() override {
        if (cache->userData == &log) cache->userData = nullptr;  // not the cache's to free
        ColorCache_Destroy(cache);
        WorkerPool::Release();
    }
    ColorCache* cache = nullptr;
    CallLog log;
};

TEST_F(ColorCacheTest, FirstLookupFillsTheWholeBlockInNestingOrder) {
    Log();
    uint8_t r = 0, g = 0, b = 0;
    ASSERT_EQ(ColorCache_Lookup(cache, &r, &g, &b), 1);
    ASSERT_EQ(log.calls, 64u);
    for (uint32_t n = 0; n < 64; ++n) {
        EXPECT_EQ(log.colours[n], (n / 16) << 16 | (n / 4 % 4) << 8 | (n % 4)) << "call " << n;
    }

    // (3, 2, 1) is entry 57 of the same block and costs no call.
    uint8_t expected[3] = {3, 2, 1};
    Scramble(&expected[0], &expected[1], &expected[2]);
    uint8_t c[3] = {3, 2, 1};
    ASSERT_EQ(ColorCache_Lookup(cache, &c[0], &c[1], &c[2]), 1);
    EXPECT_EQ(log.calls, 64u);
    EXPECT_EQ(0, std::memcmp(c, expected, 3));
    const ColorCacheBlock* block = cache->index[0].load();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(0, std::memcmp(block->entries[57], expected, 3));
    // The last slot holds the block of (252..255, 252..255, 252..255).
    c[0] = c[1] = c[2] = 255;
    ColorCache_Lookup(cache, &c[0], &c[1], &c[2]);
    EXPECT_EQ(log.colours[64], 252u << 16 | 252u << 8 | 252u);
    EXPECT_EQ(cache->index[kColorCacheSlots - 1].load(), cache->lastBlock);
}

TEST_F(ColorCacheTest, EveryColourMatchesTheTransformAndIsComputedOnce) {
    Log();
    log.record = false;
    std::vector<uint8_t> pixels(size_t{3} << 24);
    for (uint32_t c = 0; c < (1u << 24); ++c) {
        pixels[c * size_t{3}] = static_cast<uint8_t>(c >> 16);
        pixels[c * size_t{3} + 1] = static_cast<uint8_t>(c >> 8);
        pixels[c * size_t{3} + 2] = static_cast<uint8_t>(c);
    }
    ColorCache_MapRgb8(cache, pixels.data(), 1u << 24);
    EXPECT_EQ(log.calls, 1u << 24);
    size_t mismatches = 0;
    for (uint32_t c = 0; c < (1u << 24); ++c) {
        uint8_t e[3] = {static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8),
                        static_cast<uint8_t>(c)};
        Scramble(&e[0], &e[1], &e[2]);
        mismatches += std::memcmp(&pixels[c * size_t{3}], e, 3) != 0;
    }
    EXPECT_EQ(mismatches, 0u);
}

TEST_F(ColorCacheTest, ClearForgetsEveryBlockAndRecomputesOnDemand) {
    Log();
    uint8_t c[3] = {200, 100, 50};
    ColorCache_Lookup(cache, &c[0], &c[1], &c[2]);
    ASSERT_EQ(log.calls, 64u);
    EXPECT_EQ(ColorCache_Clear(cache), 1);
    EXPECT_EQ(cache->firstBlock, nullptr);
    size_t kept = 0;
    for (uint32_t slot = 0; slot < kColorCacheSlots; ++slot) kept += cache->index[slot] != nullptr;
    EXPECT_EQ(kept, 0u);
    c[0] = 200, c[1] = 100, c[2] = 50;
    ColorCache_Lookup(cache, &c[0], &c[1], &c[2]);
    EXPECT_EQ(log.calls, 128u);
}

TEST(ColorCacheLifecycle, NullCachesAndNullTransformsMapNothing) {
    EXPECT_EQ(ColorCache_Clear(nullptr), 0);
    EXPECT_EQ(ColorCache_Destroy(nullptr), 0);
    uint8_t c[3] = {10, 20, 30};
    EXPECT_EQ(ColorCache_Lookup(nullptr, &c[0], &c[1], &c[2]), 0);

    ColorCache* cache = ColorCache_Create();
    ASSERT_NE(cache, nullptr);
    EXPECT_EQ(ColorCache_Lookup(cache, &c[0], &c[1], &c[2]), 1);
    EXPECT_EQ(c[0] | c[1] << 8 | c[2] << 16, 10 | 20 << 8 | 30 << 16);
    uint16_t wide[3] = {1000, 40000, 65535};
    ColorCache_MapRgb16(cache, wide, 1);
    EXPECT_EQ(wide[0] + wide[1] + wide[2], 1000 + 40000 + 65535);

    CImgBuff image;
    ASSERT_EQ(image.buffer->Create(5, 4, PT_HSV16), 1);
    image.buffer->SetHSV16(2, 3, 12345, 30000, 50000);
    std::vector<uint8_t> before(image.buffer->pixels, image.buffer->pixels + 5 * 4 * 6);
    EXPECT_EQ(ApplyColorCache(cache, &image), 1);
    EXPECT_EQ(0, std::memcmp(before.data(), image.buffer->pixels, before.size()));
    EXPECT_EQ(cache->firstBlock, nullptr);

    cache->transform = PlainScramble;
    CImgBuff empty;
    EXPECT_EQ(ApplyColorCache(cache, &empty), 0);
    EXPECT_EQ(ApplyColorCache(cache, nullptr), 0);
    EXPECT_EQ(ApplyColorCache(nullptr, &image), 0);

    // The cache owns its userData and frees it (the leak checker would report otherwise).
    cache->userData = std::calloc(1, 64);
    EXPECT_EQ(ColorCache_Destroy(cache), 1);
}

// The lattice interpolation written out directly from the transform, without the cache.
template <typename Sample>
void ExpectedWide(Sample* pixel, int64_t step, double maxValue) {
    uint8_t lo[3], hi[3], low[3], high[3];
    for (int c = 0; c < 3; ++c) {
        low[c] = lo[c] = static_cast<uint8_t>(pixel[c] / step);  // floor for u >= 0
        high[c] = hi[c] = static_cast<uint8_t>(std::min<int>(lo[c] + 1, 255));
    }
    Scramble(&low[0], &low[1], &low[2]);
    Scramble(&high[0], &high[1], &high[2]);
    for (int c = 0; c < 3; ++c) {
        double out = double(low[c] * step);
        if (hi[c] > lo[c]) {
            out += (double(pixel[c] - lo[c] * step) / double(step)) *
                   double(high[c] * step - low[c] * step);
        }
        pixel[c] = static_cast<Sample>(std::min(out, maxValue));
    }
}

template <typename Sample>
size_t CountMismatches(const std::vector<Sample>& a, const std::vector<Sample>& b) {
    size_t mismatches = 0;
    for (size_t n = 0; n < a.size(); ++n) mismatches += a[n] != b[n];
    return mismatches;
}

TEST_F(ColorCacheTest, SixteenBitLatticeAndInterpolation) {
    // Every 16-bit value in every channel position.
    std::vector<uint16_t> pixels(65536 * 3);
    for (uint32_t u = 0; u < 65536; ++u) {
        pixels[u * 3] = static_cast<uint16_t>(u);
        pixels[u * 3 + 1] = static_cast<uint16_t>(65535 - u);
        pixels[u * 3 + 2] = static_cast<uint16_t>(u * 40503u);
    }
    const std::vector<uint16_t> original = pixels;
    std::vector<uint16_t> expected = pixels;
    for (uint32_t u = 0; u < 65536; ++u) ExpectedWide<uint16_t>(&expected[u * 3], 257, 65535.0);
    ColorCache_MapRgb16(cache, pixels.data(), 65536);
    EXPECT_EQ(CountMismatches(pixels, expected), 0u);

    // Lattice colours map to exactly 257 times the 8-bit transform: white (lo = hi = 255) and
    // (0x12, 0x80, 0xFE).
    for (const uint32_t rgb : {0xFFFFFFu, 0x1280FEu}) {
        uint8_t t[3] = {uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb)};
        uint16_t p[3] = {uint16_t(t[0] * 257), uint16_t(t[1] * 257), uint16_t(t[2] * 257)};
        Scramble(&t[0], &t[1], &t[2]);
        ColorCache_MapRgb16(cache, p, 1);
        EXPECT_EQ(p[0] | uint64_t{p[1]} << 16 | uint64_t{p[2]} << 32,
                  t[0] * 257u | uint64_t{t[1] * 257u} << 16 | uint64_t{t[2] * 257u} << 32);
    }

    // An identity transform keeps every 16-bit value exactly.
    cache->transform = Identity;
    ColorCache_Clear(cache);
    pixels = original;
    ColorCache_MapRgb16(cache, pixels.data(), 65536);
    EXPECT_EQ(CountMismatches(pixels, original), 0u);
}

TEST_F(ColorCacheTest, ThirtyTwoBitLatticeAndInterpolation) {
    std::mt19937 random(7);
    std::vector<uint32_t> pixels(300000 * 3);
    for (auto& s : pixels) s = static_cast<uint32_t>(random());
    // The edges of the range and values on and next to the lattice.
    const uint32_t edges[] = {0u,          1u,          16843008u,        16843009u,
                              4294967294u, 4294967295u, 128u * 16843009u, 128u * 16843009u - 1};
    for (size_t n = 0; n < std::size(edges); ++n) {
        pixels[n * 3] = pixels[n * 3 + 1] = pixels[n * 3 + 2] = edges[n];
    }
    const std::vector<uint32_t> original = pixels;
    std::vector<uint32_t> expected = pixels;
    for (size_t p = 0; p < pixels.size() / 3; ++p) {
        ExpectedWide<uint32_t>(&expected[p * 3], 16843009, 4294967295.0);
    }
    ColorCache_MapRgb32(cache, pixels.data(), static_cast<uint32_t>(pixels.size() / 3));
    EXPECT_EQ(CountMismatches(pixels, expected), 0u);
    uint8_t t[3] = {255, 255, 255};
    Scramble(&t[0], &t[1], &t[2]);
    EXPECT_EQ(pixels[5 * 3], t[0] * 16843009u);

    // With an identity transform the result is the input or one below it.
    cache->transform = Identity;
    ColorCache_Clear(cache);
    pixels = original;
    ColorCache_MapRgb32(cache, pixels.data(), static_cast<uint32_t>(pixels.size() / 3));
    size_t outside = 0;
    for (size_t n = 0; n < pixels.size(); ++n) {
        outside += !(pixels[n] == original[n] || pixels[n] + 1 == original[n]);
    }
    EXPECT_EQ(outside, 0u);
}

// Fills an image of the given type with varied pixels through its raw samples, keeping XYZ
// samples inside the colours an RGB image can hold.
void FillRandom(C_ImgBuff* image, std::mt19937* random) {
    const size_t count = size_t(image->width) * image->height;
    if (image->type == PT_XYZ) {
        // Pixel memory is only 4-byte aligned: samples go in through memcpy.
        for (size_t p = 0; p < count; ++p) {
            double xyz[3];
            Rgb32ToXyz((*random)(), (*random)(), (*random)(), &xyz[0], &xyz[1], &xyz[2]);
            std::memcpy(image->pixels + p * sizeof xyz, xyz, sizeof xyz);
        }
        return;
    }
    if (image->type == PT_HSV16) {
        for (int32_t y = 0; y < image->height; ++y) {
            for (int32_t x = 0; x < image->width; ++x) {
                uint16_t h, s, v;
                RgbToHsv16((*random)(), (*random)(), (*random)(), &h, &s, &v);
                image->SetHSV16(x, y, h, s, v);
            }
        }
        return;
    }
    for (size_t n = 0; n < count * kBytesPerPixel[image->type]; ++n) {
        image->pixels[n] = static_cast<uint8_t>((*random)());
    }
}

// One pixel of an RGB image mapped without the cache, from the transform itself.
void MapPixelSlowly(PixelType type, uint8_t* pixel) {
    if (type == PT_RGB8) {
        Scramble(&pixel[0], &pixel[1], &pixel[2]);
    } else if (type == PT_RGB16) {
        ExpectedWide(reinterpret_cast<uint16_t*>(pixel), 257, 65535.0);
    } else {
        ExpectedWide(reinterpret_cast<uint32_t*>(pixel), 16843009, 4294967295.0);
    }
}

TEST_F(ColorCacheTest, ApplyMatchesPixelByPixelMappingForEveryType) {
    const PixelType viaRgb[10] = {PT_NONE,  PT_RGB8,  PT_RGB16, PT_RGB32, PT_RGB8,
                                  PT_RGB16, PT_RGB32, PT_RGB32, PT_RGB16, PT_RGB8};
    std::mt19937 random(11);
    for (PixelType type = PT_GRAY8; type <= PT_CMYK8; ++type) {
        SCOPED_TRACE(testing::Message() << "type " << type);
        // Enough rows for the pool to split the work.
        CImgBuff image;
        ASSERT_EQ(image.buffer->Create(61, 47, type), 1);
        FillRandom(image.buffer, &random);

        C_ImgBuff expected;
        expected.Copy(*image.buffer);
        ASSERT_EQ(expected.ConvertType(viaRgb[type]), 1);
        const uint32_t bpp = kBytesPerPixel[viaRgb[type]];
        for (size_t p = 0; p < 61u * 47u; ++p)
            MapPixelSlowly(viaRgb[type], expected.pixels + p * bpp);
        ASSERT_EQ(expected.ConvertType(type), 1);

        ASSERT_EQ(ApplyColorCache(cache, &image), 1);
        int32_t w = 0, h = 0;
        PixelType t = PT_NONE;
        const uint8_t* data = image.GetData(&w, &h, &t);
        ASSERT_EQ(t, type);
        ASSERT_EQ(w, 61);
        ASSERT_EQ(h, 47);
        EXPECT_EQ(0, std::memcmp(data, expected.pixels, 61u * 47u * kBytesPerPixel[type]));
    }
}

}  // namespace
