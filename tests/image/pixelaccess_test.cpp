#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "image/ColorModel.h"
#include "image/ImgBuff.h"

namespace {

using Triple = std::array<uint64_t, 3>;

// Little-endian value of `bytes` bytes at p.
uint64_t Read(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

uint64_t L(uint64_t r, uint64_t g, uint64_t b) {
    return (299 * r + 587 * g + 114 * b + 500) / 1000;
}

// The RGB a pixel stands for at its own sample width; derived for XYZ, HSV and CMYK.
Triple StoredRgb(PixelType type, const uint8_t* p) {
    const int bytes = static_cast<int>(kBytesPerPixel[type]);
    if (type <= PT_GRAY32) return {Read(p, bytes), Read(p, bytes), Read(p, bytes)};
    if (type <= PT_RGB32)
        return {Read(p, bytes / 3), Read(p + bytes / 3, bytes / 3),
                Read(p + bytes / 3 * 2, bytes / 3)};
    if (type == PT_XYZ) {
        double xyz[3];
        uint32_t rgb[3];
        std::memcpy(xyz, p, 24);
        XyzToRgb32(xyz[0], xyz[1], xyz[2], &rgb[0], &rgb[1], &rgb[2]);
        return {rgb[0], rgb[1], rgb[2]};
    }
    if (type == PT_HSV16) {
        uint16_t rgb[3];
        HsvToRgb16(static_cast<uint16_t>(Read(p, 2)), static_cast<uint16_t>(Read(p + 2, 2)),
                   static_cast<uint16_t>(Read(p + 4, 2)), &rgb[0], &rgb[1], &rgb[2]);
        return {rgb[0], rgb[1], rgb[2]};
    }
    Triple rgb;
    for (int c = 0; c < 3; ++c) rgb[c] = p[c] + p[3] <= 255 ? 255 - p[c] - p[3] : 0;
    return rgb;
}

// The grey getters' table written out row by row: GetGray8, GetGray16, GetGray32.
Triple ReferenceGrey(PixelType type, const uint8_t* p) {
    const Triple c = StoredRgb(type, p);
    const uint64_t l = L(c[0], c[1], c[2]);
    const auto wide = [&c](uint64_t f) { return L(c[0] * f, c[1] * f, c[2] * f); };
    switch (type) {
        case PT_GRAY8:
        case PT_CMYK8:
            return {l, l * 257, l * 16843009};
        case PT_GRAY16:
        case PT_HSV16:
            return {l >> 8, l, l * 65537};
        case PT_RGB8:
            return {l, wide(257), wide(16843009)};
        case PT_RGB16:
            return {l >> 8, l, wide(65537)};
        default:  // 32-bit grey and RGB, XYZ
            return {l >> 24, l >> 16, l};
    }
}

TEST(PixelAccess, OutsideOrEmptyNothingIsReadOrWritten) {
    C_ImgBuff empty;
    double d = 0;
    EXPECT_EQ(
        empty.SetGray8(0, 0, 1) + empty.GetGray8(0, 0, nullptr) + empty.GetXYZ(0, 0, &d, &d, &d),
        0);
    for (PixelType type = PT_GRAY8; type <= PT_CMYK8; ++type) {
        C_ImgBuff image;
        ASSERT_EQ(image.Create(3, 2, type), 1);
        for (const auto& [x, y] : {std::pair{-1, 0}, {0, -1}, {3, 0}, {0, 2}}) {
            uint8_t b8 = 7;
            uint16_t b16 = 7;
            uint32_t b32 = 7;
            EXPECT_EQ(image.SetGray8(x, y, 9) + image.SetGray16(x, y, 9) +
                          image.SetRGB8(x, y, 9, 9, 9) + image.SetRGB16(x, y, 9, 9, 9) +
                          image.SetHSV16(x, y, 9, 9, 9) + image.GetGray8(x, y, &b8) +
                          image.GetGray16(x, y, &b16) + image.GetGray32(x, y, &b32) +
                          image.GetRGB8(x, y, &b8, &b8, &b8) +
                          image.GetRGB16(x, y, &b16, &b16, &b16) +
                          image.GetRGB32(x, y, &b32, &b32, &b32) +
                          image.GetHSV16(x, y, &b16, &b16, &b16) +
                          image.GetCMYK8(x, y, &b8, &b8, &b8, &b8) + image.GetXYZ(x, y, &d, &d, &d),
                      0);
            EXPECT_EQ(b8 + b16 + b32, 21u);
        }
        EXPECT_EQ(std::vector<uint8_t>(image.pixels, image.pixels + 6 * kBytesPerPixel[type]),
                  std::vector<uint8_t>(6 * kBytesPerPixel[type], 0))
            << type;
        EXPECT_EQ(image.GetGray8(2, 1, nullptr) + image.GetRGB8(2, 1, nullptr, nullptr, nullptr) +
                      image.GetXYZ(2, 1, nullptr, nullptr, nullptr),
                  3);
    }
}

// Grey from RGB, RGB from grey and the grey getters are checked on random pixels below.
TEST(PixelAccess, WorkedExamples) {
    C_ImgBuff image;
    uint8_t g8 = 0, c8[3] = {};
    uint16_t hsv[3] = {1, 1, 1};
    uint32_t r32 = 0;
    ASSERT_EQ(image.Create(2, 2, PT_GRAY8), 1);
    image.SetGray8(1, 1, 300);
    image.SetRGB8(0, 1, 255, 0, 0);
    EXPECT_EQ(Read(image.pixels + 2, 2), 44u << 8 | 76u);
    ASSERT_EQ(image.Create(2, 1, PT_GRAY16), 1);
    image.SetRGB8(0, 0, 255, 255, 255);
    image.SetRGB8(1, 0, 255, 0, 0);
    EXPECT_EQ(Read(image.pixels, 4), 19595u << 16 | 65535u);
    ASSERT_EQ(image.Create(2, 1, PT_RGB16), 1);
    image.SetRGB16(1, 0, 70000, 0x1234, 65535);
    EXPECT_EQ(Read(image.pixels + 6, 4), 0x1234u << 16 | 4464u);  // little-endian samples

    ASSERT_EQ(image.Create(3, 1, PT_CMYK8), 1);
    const uint8_t cmyk[4] = {200, 0, 0, 100};
    std::memcpy(image.pixels, cmyk, 4);
    image.GetRGB8(0, 0, &c8[0], &c8[1], &c8[2]);
    EXPECT_EQ(Read(c8, 3), 155u << 16 | 155u << 8 | 0u);
    image.SetRGB8(1, 0, 10, 200, 60);
    EXPECT_EQ(Read(image.pixels + 4, 4), 55u << 24 | 140u << 16 | 0u << 8 | 190u);
    for (uint32_t v : {0u, 1u, 128u, 255u}) {
        image.SetGray8(2, 0, v);
        image.GetGray8(2, 0, &g8);
        EXPECT_TRUE(Read(image.pixels + 8, 4) == (255u - v) << 24 && g8 == v) << v;
    }

    ASSERT_EQ(image.Create(1, 1, PT_RGB8), 1);
    image.SetRGB8(0, 0, 0x12, 0x80, 0xFE);
    image.GetRGB32(0, 0, &r32, nullptr, nullptr);  // widening repeats bytes
    EXPECT_EQ(r32, 0x12121212u);
    ASSERT_EQ(image.Create(1, 1, PT_GRAY32), 1);
    image.SetGray16(0, 0, 0xABCD);
    EXPECT_EQ(Read(image.pixels, 4), 0xABCDABCDu);
    image.GetRGB8(0, 0, nullptr, &c8[1], nullptr);  // narrowing keeps the top byte
    EXPECT_EQ(c8[1], 0xAB);
    image.GetHSV16(0, 0, &hsv[0], &hsv[1], &hsv[2]);
    EXPECT_TRUE(hsv[0] == 0 && hsv[1] == 0 && hsv[2] == 0xABCD);
    ASSERT_EQ(image.Create(1, 1, PT_HSV16), 1);
    image.SetHSV16(0, 0, 65534, 1, 0x12345);
    image.GetHSV16(0, 0, &hsv[0], &hsv[1], &hsv[2]);
    EXPECT_EQ(Read(image.pixels, 6), 0x2345ull << 32 | 1u << 16 | 65534u);
    EXPECT_TRUE(hsv[0] == 65534 && hsv[1] == 1 && hsv[2] == 0x2345);
}

TEST(PixelAccess, GreyGettersOnRandomPixelsOfEveryType) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> unit(0.0, 1.1);
    for (PixelType type = PT_GRAY8; type <= PT_CMYK8; ++type) {
        C_ImgBuff image;
        ASSERT_EQ(image.Create(61, 67, type), 1);  // odd width: XYZ doubles off 8-byte alignment
        const size_t n = 61 * 67 * kBytesPerPixel[type];
        for (size_t i = 0; i < n; ++i) image.pixels[i] = static_cast<uint8_t>(rng());
        for (size_t i = 0; type == PT_XYZ && i < n; i += 8) {
            const double v = unit(rng);
            std::memcpy(image.pixels + i, &v, 8);
        }
        for (int32_t i = 0; i < 61 * 67; ++i) {
            uint8_t v8 = 0;
            uint16_t v16 = 0;
            uint32_t v32 = 0;
            image.GetGray8(i % 61, i / 61, &v8);
            image.GetGray16(i % 61, i / 61, &v16);
            image.GetGray32(i % 61, i / 61, &v32);
            ASSERT_EQ((Triple{v8, v16, v32}),
                      ReferenceGrey(type, image.pixels + i * kBytesPerPixel[type]))
                << "type " << type;
        }
    }
}

// SetRGB8 and SetRGB16 widen the channels before the weighting, SetHSV16 widens the luma of
// the RGB it derives.
TEST(PixelAccess, ColourSettersIntoGreyBuffers) {
    std::mt19937 rng(23);
    C_ImgBuff grey[3];
    for (int i = 0; i < 3; ++i) ASSERT_EQ(grey[i].Create(1, 1, PT_GRAY8 + i), 1);
    for (int i = 0; i < 20000; ++i) {
        const uint64_t r = rng() & 0xFFFF, g = rng() & 0xFFFF, b = rng() & 0xFFFF, s = r % 65535;
        uint16_t hr, hg, hb;
        HsvToRgb16(static_cast<uint16_t>(g), static_cast<uint16_t>(s), static_cast<uint16_t>(b),
                   &hr, &hg, &hb);
        const uint64_t want[3][3] = {
            {L(r >> 8, g >> 8, b >> 8), L(r, g, b) >> 8, L(hr, hg, hb) >> 8},
            {L((r >> 8) * 257, (g >> 8) * 257, (b >> 8) * 257), L(r, g, b), L(hr, hg, hb)},
            {L((r >> 8) * 16843009, (g >> 8) * 16843009, (b >> 8) * 16843009),
             L(r * 65537, g * 65537, b * 65537), L(hr, hg, hb) * 65537}};
        for (int t = 0; t < 3; ++t) {
            const auto u = [](uint64_t v) { return static_cast<uint32_t>(v); };
            grey[t].SetRGB8(0, 0, u(r >> 8), u(g >> 8), u(b >> 8));
            ASSERT_EQ(Read(grey[t].pixels, 1 << t), want[t][0]) << t;
            grey[t].SetRGB16(0, 0, u(r), u(g), u(b));
            ASSERT_EQ(Read(grey[t].pixels, 1 << t), want[t][1]) << t;
            grey[t].SetHSV16(0, 0, u(g), u(s), u(b));
            ASSERT_EQ(Read(grey[t].pixels, 1 << t), want[t][2]) << t;
        }
    }
}

}  // namespace
