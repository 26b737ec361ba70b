#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "image/ColorModel.h"
#include "image/ImgBuff.h"

namespace {

uint64_t Read(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

uint64_t L(uint64_t r, uint64_t g, uint64_t b) {
    return (299 * r + 587 * g + 114 * b + 500) / 1000;
}

// The RGB a pixel stands for at its own sample width; derived for XYZ, HSV and CMYK.
void StoredRgb(PixelType type, const uint8_t* p, uint64_t rgb[3]) {
    const int bytes = static_cast<int>(kBytesPerPixel[type]);
    if (type <= PT_GRAY32) {
        rgb[0] = rgb[1] = rgb[2] = Read(p, bytes);
    } else if (type <= PT_RGB32) {
        for (int c = 0; c < 3; ++c) rgb[c] = Read(p + bytes / 3 * c, bytes / 3);
    } else if (type == PT_XYZ) {
        double xyz[3];
        uint32_t out[3];
        std::memcpy(xyz, p, 24);
        XyzToRgb32(xyz[0], xyz[1], xyz[2], &out[0], &out[1], &out[2]);
        for (int c = 0; c < 3; ++c) rgb[c] = out[c];
    } else if (type == PT_HSV16) {
        uint16_t out[3];
        HsvToRgb16(static_cast<uint16_t>(Read(p, 2)), static_cast<uint16_t>(Read(p + 2, 2)),
                   static_cast<uint16_t>(Read(p + 4, 2)), &out[0], &out[1], &out[2]);
        for (int c = 0; c < 3; ++c) rgb[c] = out[c];
    } else {
        for (int c = 0; c < 3; ++c) rgb[c] = p[c] + p[3] <= 255 ? 255 - p[c] - p[3] : 0;
    }
}

// The grey getters' table written out row by row: GetGray8, GetGray16, GetGray32.
void ReferenceGrey(PixelType type, const uint8_t* p, uint64_t out[3]) {
    uint64_t c[3];
    StoredRgb(type, p, c);
    const uint64_t l = L(c[0], c[1], c[2]);
    switch (type) {
        case PT_GRAY8:
        case PT_CMYK8:
            out[0] = l, out[1] = l * 257, out[2] = l * 16843009;
            return;
        case PT_GRAY16:
        case PT_HSV16:
            out[0] = l >> 8, out[1] = l, out[2] = l * 65537;
            return;
        case PT_RGB8:
            out[0] = l;
            out[1] = L(c[0] * 257, c[1] * 257, c[2] * 257);
            out[2] = L(c[0] * 16843009, c[1] * 16843009, c[2] * 16843009);
            return;
        case PT_RGB16:
            out[0] = l >> 8, out[1] = l, out[2] = L(c[0] * 65537, c[1] * 65537, c[2] * 65537);
            return;
        default:  // 32-bit grey and RGB, XYZ
            out[0] = l >> 24, out[1] = l >> 16, out[2] = l;
            return;
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
        const int32_t outside[4][2] = {{-1, 0}, {0, -1}, {3, 0}, {0, 2}};
        for (const auto& at : outside) {
            const int32_t x = at[0], y = at[1];
            uint8_t b8 = 7;
            uint16_t b16 = 7;
            uint32_t b32 = 7;
            EXPECT_EQ(image.SetGray8(x, y, 9) + image.SetGray16(x, y, 9) +
                          image.SetRGB8(x, y, 9, 9, 9) + image.SetRGB16(x, y, 9, 9, 9) +
                          image.SetHSV16(x, y, 9, 9, 9) + image.GetGray8(x, y, &b8) +
                          image.GetGray16(x, y, &b16) + image.GetGray32(x, y, &b32) +
                          image.GetRGB8(x, y, &b8, &b8, &b8) +
                          image.GetRGB32(x, y, &b32, &b32, &b32) +
                          image.GetHSV16(x, y, &b16, &b16, &b16) +
                          image.GetCMYK8(x, y, &b8, &b8, &b8, &b8) + image.GetXYZ(x, y, &d, &d, &d),
                      0);
            EXPECT_EQ(b8 + b16 + b32, 21u);
        }
        const std::vector<uint8_t> zeros(6 * kBytesPerPixel[type], 0);
        EXPECT_EQ(std::memcmp(image.pixels, zeros.data(), zeros.size()), 0) << type;
        EXPECT_EQ(image.GetGray8(2, 1, nullptr) + image.GetRGB8(2, 1, nullptr, nullptr, nullptr) +
                      image.GetXYZ(2, 1, nullptr, nullptr, nullptr),
                  3);
    }
}

TEST(PixelAccess, WorkedExamples) {
    C_ImgBuff image;
    uint8_t g8 = 0, c8[3] = {};
    uint16_t g16 = 0;
    ASSERT_EQ(image.Create(2, 2, PT_GRAY8), 1);
    image.SetGray8(1, 1, 300);
    image.SetRGB8(0, 1, 255, 0, 0);
    EXPECT_EQ(image.pixels[3], 44);
    EXPECT_EQ(image.pixels[2], 76);
    ASSERT_EQ(image.Create(2, 1, PT_GRAY16), 1);
    image.SetRGB8(0, 0, 255, 255, 255);
    image.SetRGB8(1, 0, 255, 0, 0);
    EXPECT_EQ(Read(image.pixels, 4), 19595u << 16 | 65535u);

    ASSERT_EQ(image.Create(2, 1, PT_RGB16), 1);
    image.SetRGB16(1, 0, 70000, 0x1234, 65535);
    EXPECT_EQ(Read(image.pixels + 6, 4), 0x1234u << 16 | 4464u);  // little-endian samples
    image.SetRGB16(0, 0, 65535, 65535, 65535);
    image.GetGray8(0, 0, &g8);
    EXPECT_EQ(g8, 255);
    ASSERT_EQ(image.Create(1, 1, PT_RGB32), 1);
    std::memset(image.pixels, 0xFF, 12);
    image.GetGray8(0, 0, &g8);
    EXPECT_EQ(g8, 255);

    ASSERT_EQ(image.Create(3, 1, PT_CMYK8), 1);
    const uint8_t cmyk[4] = {200, 0, 0, 100};
    std::memcpy(image.pixels, cmyk, 4);
    image.GetRGB8(0, 0, &c8[0], &c8[1], &c8[2]);
    EXPECT_EQ(Read(c8, 3), 155u << 16 | 155u << 8 | 0u);
    image.SetRGB8(1, 0, 10, 200, 60);
    EXPECT_EQ(Read(image.pixels + 4, 4), 55u << 24 | 140u << 16 | 0u << 8 | 190u);
    for (uint32_t v : {0u, 1u, 128u, 255u}) {
        image.SetGray8(2, 0, v);
        EXPECT_EQ(Read(image.pixels + 8, 4), (255u - v) << 24);
        image.GetGray8(2, 0, &g8);
        EXPECT_EQ(g8, v);
    }
    // Red 1 is grey 77 at 16 bits from RGB8 (channels widened first) but 0 from CMYK8.
    image.SetRGB8(0, 0, 1, 0, 0);
    image.GetGray16(0, 0, &g16);
    EXPECT_EQ(g16, 0);
    ASSERT_EQ(image.Create(1, 1, PT_RGB8), 1);
    image.SetRGB8(0, 0, 1, 0, 0);
    image.GetGray16(0, 0, &g16);
    EXPECT_EQ(g16, 77);

    // Widening repeats bytes, narrowing keeps the top ones.
    uint32_t r32 = 0;
    image.SetRGB8(0, 0, 0x12, 0x80, 0xFE);
    image.GetRGB32(0, 0, &r32, nullptr, nullptr);
    EXPECT_EQ(r32, 0x12121212u);
    ASSERT_EQ(image.Create(1, 1, PT_GRAY32), 1);
    image.SetGray16(0, 0, 0xABCD);
    EXPECT_EQ(Read(image.pixels, 4), 0xABCDABCDu);
    image.GetRGB8(0, 0, nullptr, &c8[1], nullptr);
    EXPECT_EQ(c8[1], 0xAB);

    uint16_t hsv[3] = {1, 1, 1};
    image.GetHSV16(0, 0, &hsv[0], &hsv[1], &hsv[2]);
    EXPECT_EQ(hsv[0] + hsv[1], 0);
    EXPECT_EQ(hsv[2], 0xABCD);

    ASSERT_EQ(image.Create(1, 1, PT_HSV16), 1);
    image.SetHSV16(0, 0, 65534, 1, 0x12345);
    EXPECT_EQ(Read(image.pixels, 6), 0x2345ull << 32 | 1u << 16 | 65534u);
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
            uint64_t want[3];
            ReferenceGrey(type, image.pixels + i * kBytesPerPixel[type], want);
            uint8_t v8 = 0;
            uint16_t v16 = 0;
            uint32_t v32 = 0;
            image.GetGray8(i % 61, i / 61, &v8);
            image.GetGray16(i % 61, i / 61, &v16);
            image.GetGray32(i % 61, i / 61, &v32);
            ASSERT_EQ(v8, want[0]) << "type " << type;
            ASSERT_EQ(v16, want[1]) << "type " << type;
            ASSERT_EQ(v32, want[2]) << "type " << type;
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
        const uint64_t r = rng() & 0xFFFF, g = rng() & 0xFFFF, b = rng() & 0xFFFF;
        const uint64_t s = r % 65535;
        uint16_t hr, hg, hb;
        HsvToRgb16(static_cast<uint16_t>(g), static_cast<uint16_t>(s), static_cast<uint16_t>(b),
                   &hr, &hg, &hb);
        const uint64_t want[3][3] = {
            {L(r >> 8, g >> 8, b >> 8), L(r, g, b) >> 8, L(hr, hg, hb) >> 8},
            {L((r >> 8) * 257, (g >> 8) * 257, (b >> 8) * 257), L(r, g, b), L(hr, hg, hb)},
            {L((r >> 8) * 16843009, (g >> 8) * 16843009, (b >> 8) * 16843009),
             L(r * 65537, g * 65537, b * 65537), L(hr, hg, hb) * 65537}};
        for (int t = 0; t < 3; ++t) {
            const int bytes = 1 << t;
            grey[t].SetRGB8(0, 0, static_cast<uint32_t>(r >> 8), static_cast<uint32_t>(g >> 8),
                            static_cast<uint32_t>(b >> 8));
            ASSERT_EQ(Read(grey[t].pixels, bytes), want[t][0]) << t;
            grey[t].SetRGB16(0, 0, static_cast<uint32_t>(r), static_cast<uint32_t>(g),
                             static_cast<uint32_t>(b));
            ASSERT_EQ(Read(grey[t].pixels, bytes), want[t][1]) << t;
            grey[t].SetHSV16(0, 0, static_cast<uint32_t>(g), static_cast<uint32_t>(s),
                             static_cast<uint32_t>(b));
            ASSERT_EQ(Read(grey[t].pixels, bytes), want[t][2]) << t;
        }
    }
}

}  // namespace
