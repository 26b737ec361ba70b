// Single-pixel access in every representation against the rules written out: the native RGB view
// of each type, luma taken before or after widening, bytes repeated to widen and dropped to
// narrow.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>

#include "image/ImgBuff.h"

using Triple = std::array<uint64_t, 3>;

// Little-endian value of `bytes` bytes at p.
uint64_t Read(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

uint64_t L(const Triple& c, uint64_t f = 1) {
    return (299 * c[0] * f + 587 * c[1] * f + 114 * c[2] * f + 500) / 1000;
}

// Bytes as stored: little-endian samples, only the low bits of a setter's arguments, the luma
// weights, and HSV16 stored as given. Red into wider grey: stored 8-bit channels are widened
// before the weighting, an HSV colour's luma after it.
TEST(PixelAccess, WorkedExamples) {
    C_ImgBuff image;
    ASSERT_EQ(image.Create(2, 2, PT_GRAY8), 1);
    image.SetGray8(1, 1, 300);
    image.SetRGB8(0, 1, 255, 0, 0);
    image.SetRGB8(1, 0, 0, 0, 255);
    EXPECT_EQ(Read(image.pixels, 4), 44u << 24 | 76u << 16 | 29u << 8);
    ASSERT_EQ(image.Create(2, 1, PT_RGB16), 1);
    image.SetRGB16(1, 0, 70000, 0x1234, 65535);
    EXPECT_EQ(Read(image.pixels + 6, 4), 0x1234u << 16 | 4464u);
    ASSERT_EQ(image.Create(1, 1, PT_HSV16), 1);
    image.SetHSV16(0, 0, 65534, 1, 0x12345);
    EXPECT_EQ(Read(image.pixels, 6), 0x2345ull << 32 | 1u << 16 | 65534u);
    ASSERT_EQ(image.Create(2, 1, PT_GRAY32), 1);
    image.SetRGB8(0, 0, 255, 0, 0);
    image.SetHSV16(1, 0, 0, 65534, 65535);
    EXPECT_EQ(Read(image.pixels, 8), uint64_t{19595u * 65537u} << 32 | 1284195221u);
}

// Grey at `to` bits of a pixel whose RGB view c has `bits` bits. Widening repeats bytes (x 257,
// x 65537, x 16843009), narrowing keeps the top ones; stored 8- and 16-bit RGB is widened before
// the weighting, every other type has its finished luma widened.
uint64_t ReferenceGrey(PixelType type, const Triple& c, int bits, int to) {
    if (to <= bits) return L(c) >> (bits - to);
    const uint64_t f = to - bits == 8 ? 257 : to - bits == 16 ? 65537 : 16843009;
    return type == PT_RGB8 || type == PT_RGB16 ? L(c, f) : L(c) * f;
}

TEST(PixelAccess, GreyGettersOnRandomPixelsOfEveryType) {
    const int bits[] = {0, 8, 16, 32, 8, 16, 32, 32, 16, 8};  // of each type's RGB view
    std::mt19937 rng(11);
    for (PixelType type = PT_GRAY8; type <= PT_CMYK8; ++type) {
        C_ImgBuff image;
        ASSERT_EQ(image.Create(61, 67, type), 1);  // odd width: XYZ doubles off 8-byte alignment
        const size_t n = 61 * 67 * kBytesPerPixel[type];
        for (size_t i = 0; i < n; ++i) image.pixels[i] = static_cast<uint8_t>(rng());
        for (size_t i = 0; type == PT_XYZ && i < n; i += 8) {
            const double v = std::uniform_real_distribution<double>(0.0, 1.1)(rng);
            std::memcpy(image.pixels + i, &v, 8);
        }
        for (int32_t i = 0; i < 61 * 67; ++i) {
            uint8_t v8 = 0;
            uint16_t v16 = 0;
            uint32_t v32 = 0, c[3];
            image.GetGray8(i % 61, i / 61, &v8);
            image.GetGray16(i % 61, i / 61, &v16);
            image.GetGray32(i % 61, i / 61, &v32);
            image.GetRGB32(i % 61, i / 61, &c[0], &c[1], &c[2]);
            const int drop = 32 - bits[type];  // widening to 32 bits repeats bytes
            const Triple view = {c[0] >> drop, c[1] >> drop, c[2] >> drop};
            ASSERT_EQ((Triple{v8, v16, v32}), (Triple{ReferenceGrey(type, view, bits[type], 8),
                                                      ReferenceGrey(type, view, bits[type], 16),
                                                      ReferenceGrey(type, view, bits[type], 32)}))
                << "type " << type;
        }
    }
}
