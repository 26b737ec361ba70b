#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "image/ColorModel.h"
#include "image/ImgBuff.h"

namespace {

size_t ByteCount(const C_ImgBuff& image) {
    return static_cast<size_t>(image.width) * image.height * kBytesPerPixel[image.type];
}

uint32_t Read(const uint8_t* p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

// Fills a buffer with random samples; XYZ and HSV get values inside their models' ranges.
void Randomise(C_ImgBuff& image, std::mt19937& rng) {
    const size_t n = ByteCount(image);
    if (image.type == PT_XYZ) {
        std::uniform_real_distribution<double> unit(0.0, 1.1);
        for (size_t i = 0; i < n; i += 8) {
            const double v = unit(rng);
            std::memcpy(image.pixels + i, &v, 8);
        }
        return;
    }
    for (size_t i = 0; i < n; ++i) image.pixels[i] = static_cast<uint8_t>(rng());
    if (image.type == PT_HSV16) {
        for (size_t i = 0; i < n; i += 6) {
            if (image.pixels[i + 2] == 0xFF && image.pixels[i + 3] == 0xFF) image.pixels[i + 3] = 0;
        }
    }
}

// Luma written out as defined, in 64 bits throughout.
uint64_t L(uint64_t r, uint64_t g, uint64_t b) {
    return (299 * r + 587 * g + 114 * b + 500) / 1000;
}

// The RGB a pixel stands for, at the width of its own samples; derived for XYZ, HSV and CMYK.
void StoredRgb(PixelType type, const uint8_t* p, uint64_t rgb[3]) {
    switch (type) {
        case PT_GRAY8:
        case PT_GRAY16:
        case PT_GRAY32:
            rgb[0] = rgb[1] = rgb[2] = Read(p, static_cast<int>(kBytesPerPixel[type]));
            return;
        case PT_RGB8:
        case PT_RGB16:
        case PT_RGB32: {
            const int w = static_cast<int>(kBytesPerPixel[type] / 3);
            for (int c = 0; c < 3; ++c) rgb[c] = Read(p + w * c, w);
            return;
        }
        case PT_XYZ: {
            double xyz[3];
            std::memcpy(xyz, p, 24);
            uint32_t r, g, b;
            XyzToRgb32(xyz[0], xyz[1], xyz[2], &r, &g, &b);
            rgb[0] = r, rgb[1] = g, rgb[2] = b;
            return;
        }
        case PT_HSV16: {
            uint16_t r, g, b;
            HsvToRgb16(static_cast<uint16_t>(Read(p, 2)), static_cast<uint16_t>(Read(p + 2, 2)),
                       static_cast<uint16_t>(Read(p + 4, 2)), &r, &g, &b);
            rgb[0] = r, rgb[1] = g, rgb[2] = b;
            return;
        }
        default:
            for (int c = 0; c < 3; ++c) rgb[c] = p[c] + p[3] <= 255 ? 255 - p[c] - p[3] : 0;
            return;
    }
}

// The grey getters' table, row by row: (GetGray8, GetGray16, GetGray32).
void ReferenceGrey(PixelType type, const uint8_t* p, uint64_t out[3]) {
    uint64_t c[3];
    StoredRgb(type, p, c);
    const uint64_t v = c[0];
    switch (type) {
        case PT_GRAY8:
            out[0] = v, out[1] = v * 257, out[2] = v * 16843009;
            return;
        case PT_GRAY16:
            out[0] = v >> 8, out[1] = v, out[2] = v * 65537;
            return;
        case PT_GRAY32:
            out[0] = v >> 24, out[1] = v >> 16, out[2] = v;
            return;
        case PT_RGB8:
            out[0] = L(c[0], c[1], c[2]);
            out[1] = L(c[0] * 257, c[1] * 257, c[2] * 257);
            out[2] = L(c[0] * 16843009, c[1] * 16843009, c[2] * 16843009);
            return;
        case PT_RGB16:
            out[0] = L(c[0], c[1], c[2]) >> 8;
            out[1] = L(c[0], c[1], c[2]);
            out[2] = L(c[0] * 65537, c[1] * 65537, c[2] * 65537);
            return;
        case PT_RGB32:
        case PT_XYZ:
            out[0] = L(c[0], c[1], c[2]) >> 24;
            out[1] = L(c[0], c[1], c[2]) >> 16;
            out[2] = L(c[0], c[1], c[2]);
            return;
        case PT_HSV16:
            out[0] = L(c[0], c[1], c[2]) >> 8;
            out[1] = L(c[0], c[1], c[2]);
            out[2] = L(c[0], c[1], c[2]) * 65537;
            return;
        default:
            out[0] = L(c[0], c[1], c[2]);
            out[1] = L(c[0], c[1], c[2]) * 257;
            out[2] = L(c[0], c[1], c[2]) * 16843009;
            return;
    }
}

TEST(PixelAccess, OutsideTheBufferNothingIsReadOrWritten) {
    C_ImgBuff empty;
    uint8_t b8 = 0;
    uint16_t b16 = 0;
    double d = 0;
    EXPECT_EQ(empty.SetGray8(0, 0, 1), 0);
    EXPECT_EQ(empty.GetGray8(0, 0, nullptr), 0);
    EXPECT_EQ(empty.GetRGB16(0, 0, &b16, &b16, &b16), 0);
    EXPECT_EQ(empty.GetXYZ(0, 0, &d, &d, &d), 0);

    for (PixelType type = PT_GRAY8; type <= PT_CMYK8; ++type) {
        C_ImgBuff image;
        ASSERT_EQ(image.Create(3, 2, type), 1);
        const int32_t outside[4][2] = {{-1, 0}, {0, -1}, {3, 0}, {0, 2}};
        for (const auto& at : outside) {
            const int32_t x = at[0], y = at[1];
            EXPECT_EQ(image.SetGray8(x, y, 9) + image.SetGray16(x, y, 9) +
                          image.SetRGB8(x, y, 9, 9, 9) + image.SetRGB16(x, y, 9, 9, 9) +
                          image.SetHSV16(x, y, 9, 9, 9),
                      0);
            uint32_t v32 = 7;
            EXPECT_EQ(image.GetGray8(x, y, &b8) + image.GetGray16(x, y, &b16) +
                          image.GetGray32(x, y, &v32) + image.GetRGB8(x, y, &b8, &b8, &b8) +
                          image.GetRGB32(x, y, &v32, &v32, &v32) +
                          image.GetHSV16(x, y, &b16, &b16, &b16) +
                          image.GetCMYK8(x, y, &b8, &b8, &b8, &b8) + image.GetXYZ(x, y, &d, &d, &d),
                      0);
            EXPECT_EQ(v32, 7u);
        }
        const std::vector<uint8_t> zeros(ByteCount(image), 0);
        EXPECT_EQ(std::memcmp(image.pixels, zeros.data(), zeros.size()), 0) << type;
        EXPECT_EQ(image.GetGray8(2, 1, nullptr), 1);
        EXPECT_EQ(image.GetRGB8(2, 1, nullptr, nullptr, nullptr), 1);
        EXPECT_EQ(image.GetXYZ(2, 1, nullptr, nullptr, nullptr), 1);
    }
}

TEST(PixelAccess, WorkedExamples) {
    C_ImgBuff image;
    uint8_t g8 = 0, r8 = 0, gr8 = 0, b8 = 0;
    uint16_t g16 = 0, r16 = 0, gg16 = 0, b16 = 0;

    ASSERT_EQ(image.Create(2, 2, PT_GRAY8), 1);
    EXPECT_EQ(image.SetGray8(1, 1, 300), 1);
    EXPECT_EQ(image.pixels[3], 44);
    image.SetRGB8(0, 1, 255, 0, 0);
    EXPECT_EQ(image.pixels[2], 76);

    ASSERT_EQ(image.Create(2, 2, PT_GRAY16), 1);
    image.SetRGB8(1, 0, 255, 255, 255);
    image.GetGray16(1, 0, &g16);
    EXPECT_EQ(g16, 65535);
    image.SetRGB8(1, 0, 255, 0, 0);
    image.GetGray16(1, 0, &g16);
    EXPECT_EQ(g16, 19595);

    ASSERT_EQ(image.Create(2, 1, PT_RGB16), 1);
    image.SetRGB16(1, 0, 70000, 0x1234, 65535);
    EXPECT_EQ(Read(image.pixels + 6, 2), 4464u);
    EXPECT_EQ(image.pixels[8], 0x34);  // little-endian
    EXPECT_EQ(image.pixels[9], 0x12);
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
    image.GetRGB8(0, 0, &r8, &gr8, &b8);
    EXPECT_EQ(r8, 0);
    EXPECT_EQ(gr8, 155);
    EXPECT_EQ(b8, 155);
    image.SetRGB8(1, 0, 10, 200, 60);
    EXPECT_EQ(Read(image.pixels + 4, 4), 55u << 24 | 140u << 16 | 0u << 8 | 190u);
    for (uint32_t v : {0u, 1u, 128u, 254u, 255u}) {
        image.SetGray8(2, 0, v);
        EXPECT_EQ(Read(image.pixels + 8, 4), (255u - v) << 24);
        image.GetGray8(2, 0, &g8);
        EXPECT_EQ(g8, v);
    }

    // Widening repeats bytes, narrowing keeps the top ones.
    ASSERT_EQ(image.Create(1, 1, PT_RGB8), 1);
    image.SetRGB8(0, 0, 0x12, 0x80, 0xFE);
    uint32_t r32 = 0, g32 = 0, b32 = 0;
    image.GetRGB32(0, 0, &r32, &g32, &b32);
    EXPECT_EQ(r32, 0x12121212u);
    EXPECT_EQ(b32, 0xFEFEFEFEu);
    image.GetRGB16(0, 0, &r16, &gg16, &b16);
    EXPECT_EQ(gg16, 0x8080);
    ASSERT_EQ(image.Create(1, 1, PT_GRAY32), 1);
    image.SetGray16(0, 0, 0xABCD);
    EXPECT_EQ(Read(image.pixels, 4), 0xABCDABCDu);
    image.GetRGB8(0, 0, &r8, nullptr, nullptr);
    EXPECT_EQ(r8, 0xAB);
}

// Where channels are widened before the weighting and where the finished luma is widened, the
// low bits differ: red 1 at 8 bits is grey 77 at 16 bits from RGB8, but grey 0 from CMYK8.
TEST(PixelAccess, GreyGettersFollowEachTypesOrderOfWideningAndWeighting) {
    C_ImgBuff image;
    uint16_t g16 = 0;
    ASSERT_EQ(image.Create(1, 1, PT_RGB8), 1);
    image.SetRGB8(0, 0, 1, 0, 0);
    image.GetGray16(0, 0, &g16);
    EXPECT_EQ(g16, 77);
    ASSERT_EQ(image.Create(1, 1, PT_CMYK8), 1);
    image.SetRGB8(0, 0, 1, 0, 0);
    g16 = 9;
    image.GetGray16(0, 0, &g16);
    EXPECT_EQ(g16, 0);

    std::mt19937 rng(11);
    for (PixelType type = PT_GRAY8; type <= PT_CMYK8; ++type) {
        ASSERT_EQ(image.Create(64, 64, type), 1);
        Randomise(image, rng);
        for (int32_t y = 0; y < 64; ++y) {
            for (int32_t x = 0; x < 64; ++x) {
                uint64_t want[3];
                ReferenceGrey(type, image.pixels + (y * 64 + x) * kBytesPerPixel[type], want);
                uint8_t v8 = 0;
                uint16_t v16 = 0;
                uint32_t v32 = 0;
                image.GetGray8(x, y, &v8);
                image.GetGray16(x, y, &v16);
                image.GetGray32(x, y, &v32);
                ASSERT_EQ(v8, want[0]) << "type " << type;
                ASSERT_EQ(v16, want[1]) << "type " << type;
                ASSERT_EQ(v32, want[2]) << "type " << type;
            }
        }
    }
}

// Colour written into a grey buffer: channels widened first for SetRGB8/SetRGB16, the luma of
// the derived RGB widened afterwards for SetHSV16.
TEST(PixelAccess, ColourSettersIntoGreyBuffers) {
    std::mt19937 rng(23);
    C_ImgBuff g8, g16, g32;
    ASSERT_EQ(g8.Create(1, 1, PT_GRAY8), 1);
    ASSERT_EQ(g16.Create(1, 1, PT_GRAY16), 1);
    ASSERT_EQ(g32.Create(1, 1, PT_GRAY32), 1);
    for (int i = 0; i < 20000; ++i) {
        const uint32_t r = rng() & 0xFFFF, g = rng() & 0xFFFF, b = rng() & 0xFFFF;
        const uint32_t r8 = r >> 8, gg8 = g >> 8, b8 = b >> 8;
        g8.SetRGB8(0, 0, r8, gg8, b8);
        g16.SetRGB8(0, 0, r8, gg8, b8);
        g32.SetRGB8(0, 0, r8, gg8, b8);
        ASSERT_EQ(g8.pixels[0], L(r8, gg8, b8));
        ASSERT_EQ(Read(g16.pixels, 2), L(r8 * 257, gg8 * 257, b8 * 257));
        ASSERT_EQ(Read(g32.pixels, 4), L(r8 * 16843009, gg8 * 16843009, b8 * 16843009));

        g8.SetRGB16(0, 0, r, g, b);
        g16.SetRGB16(0, 0, r, g, b);
        g32.SetRGB16(0, 0, r, g, b);
        ASSERT_EQ(g8.pixels[0], L(r, g, b) >> 8);
        ASSERT_EQ(Read(g16.pixels, 2), L(r, g, b));
        ASSERT_EQ(Read(g32.pixels, 4), L(r * 65537ull, g * 65537ull, b * 65537ull));

        const uint32_t s = r % 65535;  // saturation in the model's range
        uint16_t rr, gg, bb;
        HsvToRgb16(static_cast<uint16_t>(g), static_cast<uint16_t>(s), static_cast<uint16_t>(b),
                   &rr, &gg, &bb);
        g8.SetHSV16(0, 0, g, s, b);
        g16.SetHSV16(0, 0, g, s, b);
        g32.SetHSV16(0, 0, g, s, b);
        ASSERT_EQ(g8.pixels[0], L(rr, gg, bb) >> 8);
        ASSERT_EQ(Read(g16.pixels, 2), L(rr, gg, bb));
        ASSERT_EQ(Read(g32.pixels, 4), L(rr, gg, bb) * 65537);
    }
}

TEST(PixelAccess, ColourRoundTripsThroughEveryColourType) {
    std::mt19937 rng(29);
    for (PixelType type : {PT_RGB8, PT_RGB16, PT_RGB32, PT_CMYK8, PT_HSV16, PT_XYZ}) {
        C_ImgBuff image;
        ASSERT_EQ(image.Create(7, 5, type), 1);  // odd width: XYZ doubles off 8-byte alignment
        const int tolerance = type == PT_HSV16 || type == PT_XYZ ? 1 : 0;
        for (int i = 0; i < 3000; ++i) {
            const int32_t x = i % 7, y = (i / 7) % 5;
            const uint32_t in[3] = {static_cast<uint32_t>(rng() & 0xFF),
                                    static_cast<uint32_t>(rng() & 0xFF),
                                    static_cast<uint32_t>(rng() & 0xFF)};
            ASSERT_EQ(image.SetRGB8(x, y, in[0], in[1], in[2]), 1);
            uint8_t out[3];
            ASSERT_EQ(image.GetRGB8(x, y, &out[0], &out[1], &out[2]), 1);
            for (int c = 0; c < 3; ++c) {
                ASSERT_LE(std::abs(out[c] - static_cast<int>(in[c])), tolerance)
                    << "type " << type << " " << in[0] << " " << in[1] << " " << in[2];
            }
            uint16_t h, s, v;
            ASSERT_EQ(image.GetHSV16(x, y, &h, &s, &v), 1);
            uint16_t wantH, wantS, wantV;
            RgbToHsv16(static_cast<uint16_t>(in[0] * 257), static_cast<uint16_t>(in[1] * 257),
                       static_cast<uint16_t>(in[2] * 257), &wantH, &wantS, &wantV);
            if (type != PT_XYZ) {
                ASSERT_EQ(h, wantH) << "type " << type;
                ASSERT_EQ(s, wantS) << "type " << type;
                ASSERT_EQ(v, wantV) << "type " << type;
            }
        }
    }
}

TEST(PixelAccess, HsvIsStoredVerbatimAndGreyHasNoHue) {
    C_ImgBuff image;
    ASSERT_EQ(image.Create(2, 1, PT_HSV16), 1);
    EXPECT_EQ(image.SetHSV16(1, 0, 65534, 1, 0x12345), 1);
    uint16_t h = 0, s = 0, v = 0;
    image.GetHSV16(1, 0, &h, &s, &v);
    EXPECT_EQ(h, 65534);
    EXPECT_EQ(s, 1);
    EXPECT_EQ(v, 0x2345);

    for (PixelType type : {PT_GRAY8, PT_GRAY16, PT_GRAY32}) {
        ASSERT_EQ(image.Create(1, 1, type), 1);
        image.SetRGB8(0, 0, 200, 10, 90);
        h = s = 7;
        image.GetHSV16(0, 0, &h, &s, &v);
        EXPECT_EQ(h + s, 0) << type;
        uint8_t c, m, y, k;
        image.GetCMYK8(0, 0, &c, &m, &y, &k);
        EXPECT_EQ(c + m + y, 0) << type;
        EXPECT_EQ(k, 255 - (v >> 8)) << type;
    }
}

TEST(PixelAccess, XyzPixelsHoldTheColourModelsValues) {
    C_ImgBuff image;
    ASSERT_EQ(image.Create(3, 1, PT_XYZ), 1);
    image.SetGray16(1, 0, 0xFFFF);
    double stored[3];
    std::memcpy(stored, image.pixels + 24, 24);
    double x, y, z;
    Rgb32ToXyz(4294967295u, 4294967295u, 4294967295u, &x, &y, &z);
    EXPECT_EQ(stored[0], x);
    EXPECT_EQ(stored[1], y);
    EXPECT_EQ(stored[2], z);
    double gx = 0;
    image.GetXYZ(1, 0, &gx, nullptr, nullptr);
    EXPECT_EQ(gx, x);
    uint32_t grey = 0;
    image.GetGray32(1, 0, &grey);
    EXPECT_GE(grey, 4294967295u - 65536u);
}

}  // namespace
