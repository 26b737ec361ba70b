#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "image/ConvertTasks.h"
#include "image/ImgBuff.h"

namespace {

size_t ByteCount(const C_ImgBuff& image) {
    return static_cast<size_t>(image.width) * image.height * kBytesPerPixel[image.type];
}

void Randomise(C_ImgBuff& image, std::mt19937& rng) {
    for (size_t i = 0; i < ByteCount(image); ++i) image.pixels[i] = static_cast<uint8_t>(rng());
}

uint16_t Sample16(const C_ImgBuff& image, size_t pixel, int sample) {
    const uint8_t* p = image.pixels + pixel * 6 + sample * 2;
    return static_cast<uint16_t>(p[0] | p[1] << 8);
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
        C_ImgBuff source;
        ASSERT_EQ(source.Create(257, 131, pair.from), 1);
        Randomise(source, rng);
        C_ImgBuff generic;
        ASSERT_EQ(generic.Create(257, 131, pair.to), 1);
        ConvertContext context{pair.to, &source, &generic, 257};
        ConvertRowsGeneric(&context, 0, 131);

        // The whole conversion, with the dedicated task sliced over the pool.
        ASSERT_EQ(source.ConvertType(pair.to), 1);
        EXPECT_EQ(std::memcmp(source.pixels, generic.pixels, ByteCount(generic)), 0)
            << pair.from << " -> " << pair.to;
    }
    for (PixelType from = PT_GRAY8; from <= PT_CMYK8; ++from) {
        for (PixelType to : {PT_XYZ, PT_HSV16, PT_CMYK8}) {
            EXPECT_EQ(ChooseConvertTask(from, to), ConvertRowsGeneric);
        }
    }
    EXPECT_EQ(ChooseConvertTask(PT_GRAY8, PT_GRAY32), ConvertRowsGeneric);
    EXPECT_EQ(ChooseConvertTask(PT_RGB8, PT_GRAY16), ConvertRowsGeneric);
}

// 8-bit colour and grey through every other type and back: exact, except for a step of rounding
// through HSV16 and XYZ.
TEST(ConvertType, RoundTripsThroughEveryType) {
    std::mt19937 rng(45);
    for (PixelType start : {PixelType{PT_RGB8}, PixelType{PT_GRAY8}}) {
        C_ImgBuff original;
        ASSERT_EQ(original.Create(19, 23, start), 1);
        Randomise(original, rng);
        for (PixelType via = PT_GRAY8; via <= PT_CMYK8; ++via) {
            if (via == start || (start == PT_RGB8 && via <= PT_GRAY32)) continue;
            C_ImgBuff image;
            image.Copy(original);
            ASSERT_EQ(image.ConvertType(via), 1);
            ASSERT_EQ(image.ConvertType(start), 1);
            const int tolerance = via == PT_HSV16 || via == PT_XYZ ? 1 : 0;
            for (size_t i = 0; i < ByteCount(image); ++i) {
                ASSERT_LE(std::abs(image.pixels[i] - original.pixels[i]), tolerance)
                    << start << " via " << via << " byte " << i;
            }
        }
    }
}

TEST(ConvertType, WorkedExamples) {
    C_ImgBuff image;
    ASSERT_EQ(image.Create(1, 1, PT_RGB16), 1);
    image.SetRGB16(0, 0, 0x12FF, 0x0000, 0xFFFF);
    ASSERT_EQ(image.ConvertType(PT_RGB8), 1);
    EXPECT_EQ(image.pixels[0] << 16 | image.pixels[1] << 8 | image.pixels[2], 0x1200FF);

    ASSERT_EQ(image.Create(1, 1, PT_GRAY8), 1);
    image.SetGray8(0, 0, 200);
    ASSERT_EQ(image.ConvertType(PT_RGB16), 1);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(Sample16(image, 0, c), 51400);

    ASSERT_EQ(image.Create(1, 1, PT_GRAY16), 1);
    image.SetGray16(0, 0, 0x80FF);
    ASSERT_EQ(image.ConvertType(PT_GRAY8), 1);
    EXPECT_EQ(image.pixels[0], 0x80);

    ASSERT_EQ(image.Create(3, 1, PT_RGB8), 1);
    image.SetRGB8(0, 0, 255, 255, 255);
    image.SetRGB8(1, 0, 0, 0, 255);
    image.SetRGB8(2, 0, 255, 0, 0);
    ASSERT_EQ(image.ConvertType(PT_GRAY8), 1);
    EXPECT_EQ(image.pixels[0], 255);
    EXPECT_EQ(image.pixels[1], 29);
    EXPECT_EQ(image.pixels[2], 76);
}

TEST(ConvertType, RefusalsAndTheOwnTypeLeaveTheBufferAsItWas) {
    C_ImgBuff empty;
    EXPECT_EQ(empty.ConvertType(PT_RGB8), 0);
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
        EXPECT_EQ(image.width * 10 + image.height, 94);
        EXPECT_EQ(std::memcmp(image.pixels, before.data(), before.size()), 0);
    }
}

}  // namespace
