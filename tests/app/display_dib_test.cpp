#include "app/display/DisplayDib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "image/ImgBuff.h"

namespace {

// Fills every pixel with a pattern that differs per channel, column and row.
void FillPattern(CImgBuff& image, int32_t width, int32_t height, PixelType type) {
    ASSERT_EQ(image.buffer->Create(width, height, type), 1);
    const uint32_t bytes = static_cast<uint32_t>(width * height) * kBytesPerPixel[type];
    for (uint32_t i = 0; i < bytes; ++i)
        image.buffer->pixels[i] = static_cast<uint8_t>(i * 37u + (i >> 5));
    // Doubles from byte noise may be NaN; keep XYZ samples in range instead.
    for (int32_t y = 0; type == PT_XYZ && y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            image.buffer->SetRGB8(x, y, x * 40 % 256, y * 60 % 256, (x + y) * 25 % 256);
}

// Compares every bitmap byte with the image's own accessors, last image row stored first, and
// checks that the padding bytes of each row are zero.
void ExpectBitmapShowsImage(const CImgBuff& image, DibHeader* dib) {
    const int32_t width = image.buffer->width, height = image.buffer->height;
    const uint32_t bytesPerPixel = dib->bitCount / 8u, stride = DibStride(width, dib->bitCount);
    int mismatches = 0;
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = DibPixels(dib) + static_cast<size_t>(height - 1 - y) * stride;
        for (int32_t x = 0; x < width; ++x) {
            const uint8_t* p = row + x * bytesPerPixel;
            uint8_t r, g, b, grey;
            if (dib->bitCount == 24 && image.buffer->GetRGB8(x, y, &r, &g, &b))
                mismatches += p[0] != b || p[1] != g || p[2] != r;
            else if (dib->bitCount == 8 && image.buffer->GetGray8(x, y, &grey))
                mismatches += p[0] != grey;
            else
                ++mismatches;
        }
        for (uint32_t i = width * bytesPerPixel; i < stride; ++i) mismatches += row[i] != 0;
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(DisplayDibLayout, HeaderStridePaletteAndRowsForEveryPixelType) {
    const struct {
        PixelType type;
        int32_t width;
        uint16_t bitCount;
        uint32_t stride;
    } cases[] = {
        {PT_RGB8, 1, 24, 4},  {PT_RGB8, 4, 24, 12}, {PT_RGB8, 5, 24, 16}, {PT_RGB16, 3, 24, 12},
        {PT_HSV16, 2, 24, 8}, {PT_GRAY8, 1, 8, 4},  {PT_GRAY16, 5, 8, 8}, {PT_GRAY32, 4, 8, 4},
        {PT_RGB32, 7, 8, 8},  {PT_XYZ, 3, 8, 4},    {PT_CMYK8, 6, 8, 8},  {PT_HSV16, 333, 24, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " width " << c.width);
        const int32_t height = c.width == 333 ? 517 : 3;  // the last one spreads over the pool
        CImgBuff image;
        FillPattern(image, c.width, height, c.type);
        DibHeader* dib = MakeDisplayDib(&image, nullptr);
        ASSERT_NE(dib, nullptr);
        const DibHeader header{40, c.width,           height, 1, c.bitCount,
                               0,  c.stride * height, 0,      0, c.bitCount == 8 ? 256u : 0u,
                               0};
        EXPECT_EQ(std::memcmp(dib, &header, sizeof header), 0);
        const uint32_t used = 4 + 40 + (c.bitCount == 8 ? 1024 : 0) + c.stride * height;
        uint32_t block = 0;
        std::memcpy(&block, reinterpret_cast<const uint8_t*>(dib) - 4, sizeof block);
        EXPECT_EQ(block, (used + 4095) / 4096 * 4096);
        ExpectBitmapShowsImage(image, dib);
        int wrong = 0;
        for (int i = 0; c.bitCount == 8 && i < 256; ++i) {
            const uint8_t* entry = DibPalette(dib) + 4 * i;
            wrong += entry[0] != i || entry[1] != i || entry[2] != i || entry[3] != 0;
        }
        EXPECT_EQ(wrong, 0);
        FreeDisplayDib(dib);
    }
}

TEST(DisplayDibLayout, KnownColoursLandBottomUpAsBlueGreenRed) {
    CImgBuff image;
    ASSERT_EQ(image.buffer->Create(2, 2, PT_HSV16), 1);
    image.buffer->SetHSV16(0, 0, 0, 65534, 65535);  // pure red, top left
    image.buffer->SetHSV16(1, 1, 0, 0, 0x8000);     // mid grey, bottom right
    DibHeader* dib = MakeDisplayDib(&image, nullptr);
    ASSERT_NE(dib, nullptr);
    const uint8_t* bottom = DibPixels(dib);  // image row 1
    const uint8_t* top = bottom + 8;         // image row 0
    EXPECT_EQ((std::vector<int>{top[0], top[1], top[2]}), (std::vector<int>{0, 0, 255}));
    EXPECT_EQ((std::vector<int>{bottom[3], bottom[4], bottom[5]}),
              (std::vector<int>{0x80, 0x80, 0x80}));
    FreeDisplayDib(dib);
}

// A reused bitmap keeps its header unchanged, so a mark left in it shows which path was taken.
TEST(DisplayDibReuse, OnlySameSizeAndKindRefillsInPlace) {
    const struct {
        int32_t width, height;
        PixelType type;
        bool reused;
    } steps[] = {{5, 4, PT_HSV16, true},  {5, 6, PT_RGB8, false},  {5, 6, PT_GRAY8, false},
                 {5, 6, PT_GRAY16, true}, {5, 6, PT_CMYK8, false}, {5, 6, PT_CMYK8, false},
                 {5, 6, PT_RGB8, false}};
    CImgBuff first;
    FillPattern(first, 5, 4, PT_RGB8);
    DibHeader* dib = MakeDisplayDib(&first, nullptr);
    for (const auto& step : steps) {
        CImgBuff image;
        FillPattern(image, step.width, step.height, step.type);
        dib->xPixelsPerMeter = 1234;                       // a reused bitmap keeps its header
        if (dib->bitCount == 8) DibPixels(dib)[5] = 0xEE;  // the grey task rewrites row padding
        dib = MakeDisplayDib(&image, dib);
        ASSERT_NE(dib, nullptr);
        EXPECT_EQ(dib->xPixelsPerMeter == 1234, step.reused) << step.type;
        ExpectBitmapShowsImage(image, dib);
    }
    // An empty image releases the old bitmap (the sanitizer build's leak checker sees it).
    CImgBuff empty;
    EXPECT_EQ(MakeDisplayDib(&empty, dib), nullptr);
    EXPECT_EQ(MakeDisplayDib(&empty, nullptr), nullptr);
}

TEST(DisplayDibMemory, SizesTooLargeAreRefused) {
    CImgBuff poolReference;
    // 70000 x 70000 x 3 bytes do not fit the 32-bit size field: refused before any pixel is read.
    CImgBuff small, huge;
    FillPattern(small, 2, 2, PT_GRAY8);
    FillPattern(huge, 1, 1, PT_RGB8);
    huge.buffer->width = huge.buffer->height = 70000;
    EXPECT_EQ(MakeDisplayDib(&huge, MakeDisplayDib(&small, nullptr)), nullptr);
    huge.buffer->width = huge.buffer->height = 1;
}

}  // namespace
