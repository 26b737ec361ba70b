#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "image/ColorModel.h"
#include "image/ConvertTasks.h"
#include "image/ImgBuff.h"

namespace {

size_t ByteCount(const C_ImgBuff& image) {
    return static_cast<size_t>(image.width) * image.height * kBytesPerPixel[image.type];
}

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
}

// The pixel of target type that the matching getter reads from the source at (x, y).
std::vector<uint8_t> ReadAs(const C_ImgBuff& src, PixelType target, int32_t x, int32_t y) {
    std::vector<uint8_t> out(kBytesPerPixel[target]);
    uint8_t* q = out.data();
    uint16_t s16[3];
    uint32_t s32[3];
    double d[3];
    switch (target) {
        case PT_GRAY8:
            src.GetGray8(x, y, q);
            break;
        case PT_GRAY16:
            src.GetGray16(x, y, s16);
            std::memcpy(q, s16, 2);
            break;
        case PT_GRAY32:
            src.GetGray32(x, y, s32);
            std::memcpy(q, s32, 4);
            break;
        case PT_RGB8:
            src.GetRGB8(x, y, q, q + 1, q + 2);
            break;
        case PT_RGB16:
            src.GetRGB16(x, y, &s16[0], &s16[1], &s16[2]);
            std::memcpy(q, s16, 6);
            break;
        case PT_RGB32:
            src.GetRGB32(x, y, &s32[0], &s32[1], &s32[2]);
            std::memcpy(q, s32, 12);
            break;
        case PT_XYZ:
            src.GetXYZ(x, y, &d[0], &d[1], &d[2]);
            std::memcpy(q, d, 24);
            break;
        case PT_HSV16:
            src.GetHSV16(x, y, &s16[0], &s16[1], &s16[2]);
            std::memcpy(q, s16, 6);
            break;
        default:
            src.GetCMYK8(x, y, q, q + 1, q + 2, q + 3);
            break;
    }
    return out;
}

void Convert(const C_ImgBuff& src, C_ImgBuff& dst, PixelType target, RowTask task) {
    ASSERT_EQ(dst.Create(src.width, src.height, target), 1);
    ConvertContext context{target, &src, &dst, src.width};
    task(&context, 0, static_cast<uint32_t>(src.height));
}

TEST(ConvertType, DedicatedTasksMatchTheGenericTaskBitForBit) {
    const struct {
        PixelType from, to;
        RowTask task;
    } pairs[] = {
        {PT_RGB8, PT_GRAY8, GrayFromRgbRows},   {PT_RGB16, PT_GRAY16, GrayFromRgbRows},
        {PT_RGB32, PT_GRAY32, GrayFromRgbRows}, {PT_GRAY8, PT_RGB8, RgbFromGrayRows},
        {PT_GRAY16, PT_RGB16, RgbFromGrayRows}, {PT_GRAY32, PT_RGB32, RgbFromGrayRows},
        {PT_GRAY8, PT_GRAY16, WidenRows},       {PT_GRAY16, PT_GRAY32, WidenRows},
        {PT_RGB8, PT_RGB16, WidenRows},         {PT_RGB16, PT_RGB32, WidenRows},
        {PT_GRAY32, PT_GRAY16, NarrowRows},     {PT_GRAY16, PT_GRAY8, NarrowRows},
        {PT_RGB32, PT_RGB16, NarrowRows},       {PT_RGB16, PT_RGB8, NarrowRows},
    };
    std::mt19937 rng(41);
    for (const auto& pair : pairs) {
        EXPECT_EQ(ChooseConvertTask(pair.from, pair.to), pair.task);
        C_ImgBuff src;
        ASSERT_EQ(src.Create(257, 131, pair.from), 1);
        Randomise(src, rng);
        C_ImgBuff fast, slow;
        Convert(src, fast, pair.to, pair.task);
        Convert(src, slow, pair.to, ConvertRowsGeneric);
        EXPECT_EQ(std::memcmp(fast.pixels, slow.pixels, ByteCount(slow)), 0)
            << pair.from << " -> " << pair.to;

        // The whole conversion through the pool gives the same bytes.
        ASSERT_EQ(src.ConvertType(pair.to), 1);
        EXPECT_EQ(std::memcmp(src.pixels, slow.pixels, ByteCount(slow)), 0);
    }
    for (PixelType from = PT_GRAY8; from <= PT_CMYK8; ++from) {
        for (PixelType to : {PT_XYZ, PT_HSV16, PT_CMYK8}) {
            EXPECT_EQ(ChooseConvertTask(from, to), ConvertRowsGeneric);
        }
    }
    EXPECT_EQ(ChooseConvertTask(PT_GRAY8, PT_GRAY32), ConvertRowsGeneric);
    EXPECT_EQ(ChooseConvertTask(PT_RGB8, PT_GRAY16), ConvertRowsGeneric);
}

// Every pair, over a buffer tall enough to be cut into slices: each target pixel is what the
// matching getter reads from the unconverted pixel at the same place.
TEST(ConvertType, EveryPairStoresWhatTheGetterReads) {
    std::mt19937 rng(43);
    for (PixelType from = PT_GRAY8; from <= PT_CMYK8; ++from) {
        C_ImgBuff original;
        ASSERT_EQ(original.Create(13, 40, from), 1);
        Randomise(original, rng);
        for (PixelType to = PT_GRAY8; to <= PT_CMYK8; ++to) {
            if (to == from) continue;
            C_ImgBuff image;
            image.Copy(original);
            ASSERT_EQ(image.ConvertType(to), 1);
            ASSERT_EQ(image.type, to);
            ASSERT_EQ(image.width, 13);
            ASSERT_EQ(image.height, 40);
            const uint32_t bpp = kBytesPerPixel[to];
            for (int32_t y = 0; y < 40; ++y) {
                for (int32_t x = 0; x < 13; ++x) {
                    const std::vector<uint8_t> want = ReadAs(original, to, x, y);
                    ASSERT_EQ(std::memcmp(image.pixels + (y * 13 + x) * bpp, want.data(), bpp), 0)
                        << from << " -> " << to << " at " << x << "," << y;
                }
            }
        }
    }
}

TEST(ConvertType, WorkedExamples) {
    C_ImgBuff image;
    uint16_t h, s, v;
    ASSERT_EQ(image.Create(2, 1, PT_RGB8), 1);
    image.SetRGB8(1, 0, 255, 0, 0);
    ASSERT_EQ(image.ConvertType(PT_HSV16), 1);
    image.GetHSV16(1, 0, &h, &s, &v);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(s, 65534);
    EXPECT_EQ(v, 65535);

    ASSERT_EQ(image.Create(1, 1, PT_RGB16), 1);
    image.SetRGB16(0, 0, 0x12FF, 0x0000, 0xFFFF);
    ASSERT_EQ(image.ConvertType(PT_RGB8), 1);
    EXPECT_EQ(image.pixels[0], 0x12);
    EXPECT_EQ(image.pixels[1], 0x00);
    EXPECT_EQ(image.pixels[2], 0xFF);

    ASSERT_EQ(image.Create(1, 1, PT_GRAY8), 1);
    image.SetGray8(0, 0, 200);
    ASSERT_EQ(image.ConvertType(PT_RGB16), 1);
    uint16_t r, g, b;
    image.GetRGB16(0, 0, &r, &g, &b);
    EXPECT_EQ(r, 51400);
    EXPECT_EQ(g, 51400);
    EXPECT_EQ(b, 51400);

    ASSERT_EQ(image.Create(1, 1, PT_GRAY16), 1);
    image.SetGray16(0, 0, 0x80FF);
    ASSERT_EQ(image.ConvertType(PT_GRAY8), 1);
    EXPECT_EQ(image.pixels[0], 0x80);

    ASSERT_EQ(image.Create(2, 1, PT_RGB8), 1);
    image.SetRGB8(0, 0, 255, 255, 255);
    image.SetRGB8(1, 0, 0, 0, 255);
    ASSERT_EQ(image.ConvertType(PT_GRAY8), 1);
    EXPECT_EQ(image.pixels[0], 255);
    EXPECT_EQ(image.pixels[1], 29);
}

TEST(ConvertType, RefusalsLeaveTheBufferAsItWas) {
    C_ImgBuff empty;
    EXPECT_EQ(empty.ConvertType(PT_RGB8), 0);
    EXPECT_EQ(empty.type, PT_NONE);
    EXPECT_EQ(empty.pixels, nullptr);

    C_ImgBuff image;
    ASSERT_EQ(image.Create(9, 4, PT_RGB16), 1);
    std::mt19937 rng(47);
    Randomise(image, rng);
    const std::vector<uint8_t> before(image.pixels, image.pixels + ByteCount(image));
    uint8_t* const block = image.pixels;
    for (PixelType target : {PixelType{PT_RGB16}, PixelType{PT_NONE}, PixelType{10}}) {
        EXPECT_EQ(image.ConvertType(target), target == PT_RGB16 ? 1 : 0);
        EXPECT_EQ(image.pixels, block);
        EXPECT_EQ(image.type, PT_RGB16);
        EXPECT_EQ(image.width, 9);
        EXPECT_EQ(image.height, 4);
        EXPECT_EQ(std::memcmp(image.pixels, before.data(), before.size()), 0);
    }
}

}  // namespace
