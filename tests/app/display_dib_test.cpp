#include "app/display/DisplayDib.h"

#include <gtest/gtest.h>

#include <cstring>

#include "image/ImgBuff.h"

namespace {

// Fills every pixel with a pattern that differs per channel, column and row.
void FillPattern(CImgBuff& image, int32_t width, int32_t height, PixelType type) {
    ASSERT_EQ(image.buffer->Create(width, height, type), 1);
    uint8_t* p = image.buffer->pixels;
    const uint32_t bytes = static_cast<uint32_t>(width * height) * kBytesPerPixel[type];
    for (uint32_t i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(i * 37u + (i >> 5));
    if (type == PT_XYZ) {
        // Doubles from byte noise may be NaN; keep XYZ samples in range instead.
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x)
                image.buffer->SetRGB8(x, y, x * 40 % 256, y * 60 % 256, (x + y) * 25 % 256);
    }
}

// Compares every bitmap byte with the image's own accessors, last image row stored first,
// and checks that the padding bytes of each row are zero.
void ExpectBitmapShowsImage(const CImgBuff& image, DibHeader* dib) {
    int32_t width = 0, height = 0;
    ASSERT_EQ(image.buffer->GetInfo(&width, &height, nullptr, nullptr), 1);
    const uint32_t bytesPerPixel = dib->bitCount / 8u;
    const uint32_t stride = DibStride(width, dib->bitCount);
    int mismatches = 0;
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = DibPixels(dib) + static_cast<size_t>(height - 1 - y) * stride;
        for (int32_t x = 0; x < width; ++x) {
            const uint8_t* p = row + x * bytesPerPixel;
            if (dib->bitCount == 24) {
                uint8_t r, g, b;
                image.buffer->GetRGB8(x, y, &r, &g, &b);
                mismatches += p[0] != b || p[1] != g || p[2] != r;
            } else {
                uint8_t grey;
                image.buffer->GetGray8(x, y, &grey);
                mismatches += p[0] != grey;
            }
        }
        for (uint32_t i = width * bytesPerPixel; i < stride; ++i) mismatches += row[i] != 0;
    }
    EXPECT_EQ(mismatches, 0);
}

void ExpectHeader(DibHeader* dib, int32_t width, int32_t height, uint16_t bitCount,
                  uint32_t stride) {
    EXPECT_EQ(dib->headerSize, 40u);
    EXPECT_EQ(dib->width, width);
    EXPECT_EQ(dib->height, height);
    EXPECT_EQ(dib->planes, 1);
    EXPECT_EQ(dib->bitCount, bitCount);
    EXPECT_EQ(dib->compression, 0u);
    EXPECT_EQ(dib->imageSize, stride * height);
    EXPECT_EQ(dib->xPixelsPerMeter, 0);
    EXPECT_EQ(dib->yPixelsPerMeter, 0);
    EXPECT_EQ(dib->colorsUsed, bitCount == 8 ? 256u : 0u);
    EXPECT_EQ(dib->colorsImportant, 0u);
    EXPECT_EQ(DibStride(width, bitCount), stride);
    const uint32_t used = 4 + 40 + (bitCount == 8 ? 1024 : 0) + stride * height;
    EXPECT_EQ(DibBlockSize(dib), (used + 4095) / 4096 * 4096);
}

TEST(DisplayDibLayout, StridesAndHeadersForEveryPixelType) {
    struct Case {
        PixelType type;
        int32_t width;
        int32_t height;
        uint16_t bitCount;
        uint32_t stride;
    };
    // The last case has enough rows to be spread over the pool.
    const Case cases[] = {
        {PT_RGB8, 1, 3, 24, 4},   {PT_RGB8, 4, 3, 24, 12}, {PT_RGB8, 5, 3, 24, 16},
        {PT_RGB16, 3, 3, 24, 12}, {PT_HSV16, 2, 3, 24, 8}, {PT_GRAY8, 1, 3, 8, 4},
        {PT_GRAY16, 5, 3, 8, 8},  {PT_GRAY32, 4, 3, 8, 4}, {PT_RGB32, 7, 3, 8, 8},
        {PT_XYZ, 3, 3, 8, 4},     {PT_CMYK8, 6, 3, 8, 8},  {PT_HSV16, 333, 517, 24, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " width " << c.width);
        CImgBuff image;
        FillPattern(image, c.width, c.height, c.type);
        DibHeader* dib = MakeDisplayDib(&image, nullptr);
        ASSERT_NE(dib, nullptr);
        ExpectHeader(dib, c.width, c.height, c.bitCount, c.stride);
        ExpectBitmapShowsImage(image, dib);
        if (c.bitCount == 8) {
            const uint8_t* palette = DibPalette(dib);
            int wrong = 0;
            for (int i = 0; i < 256; ++i)
                wrong += palette[4 * i] != i || palette[4 * i + 1] != i ||
                         palette[4 * i + 2] != i || palette[4 * i + 3] != 0;
            EXPECT_EQ(wrong, 0);
        }
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
    EXPECT_EQ(top[0], 0);
    EXPECT_EQ(top[1], 0);
    EXPECT_EQ(top[2], 255);
    EXPECT_EQ(bottom[3], 0x80);
    EXPECT_EQ(bottom[4], 0x80);
    EXPECT_EQ(bottom[5], 0x80);
    FreeDisplayDib(dib);
}

// A reused bitmap keeps its header unchanged, so a mark left in it shows which path was taken.
DibHeader* Marked(DibHeader* dib) {
    dib->xPixelsPerMeter = 1234;
    return dib;
}

TEST(DisplayDibReuse, SameSizeAndKindRefillsInPlace) {
    CImgBuff rgb, hsv;
    FillPattern(rgb, 5, 4, PT_RGB8);
    FillPattern(hsv, 5, 4, PT_HSV16);
    DibHeader* dib = Marked(MakeDisplayDib(&rgb, nullptr));
    DibHeader* again = MakeDisplayDib(&hsv, dib);
    ASSERT_EQ(again, dib);
    EXPECT_EQ(again->xPixelsPerMeter, 1234);
    ExpectBitmapShowsImage(hsv, again);

    CImgBuff grey8, grey16;
    FillPattern(grey8, 7, 3, PT_GRAY8);
    FillPattern(grey16, 7, 3, PT_GRAY16);
    DibHeader* grey = Marked(MakeDisplayDib(&grey8, again));
    // The grey task rewrites the row padding even in a reused bitmap.
    DibPixels(grey)[7] = 0xEE;
    DibHeader* grey2 = MakeDisplayDib(&grey16, grey);
    ASSERT_EQ(grey2, grey);
    EXPECT_EQ(grey2->xPixelsPerMeter, 1234);
    ExpectBitmapShowsImage(grey16, grey2);
    FreeDisplayDib(grey2);
}

TEST(DisplayDibReuse, OtherSizeOrKindMakesANewBitmap) {
    CImgBuff rgb, taller, cmyk;
    FillPattern(rgb, 5, 4, PT_RGB8);
    FillPattern(taller, 5, 6, PT_RGB8);
    FillPattern(cmyk, 5, 6, PT_CMYK8);

    DibHeader* dib = MakeDisplayDib(&taller, Marked(MakeDisplayDib(&rgb, nullptr)));
    ASSERT_NE(dib, nullptr);
    EXPECT_EQ(dib->xPixelsPerMeter, 0);
    ExpectHeader(dib, 5, 6, 24, 16);
    ExpectBitmapShowsImage(taller, dib);

    dib = MakeDisplayDib(&cmyk, Marked(dib));
    ExpectHeader(dib, 5, 6, 8, 8);
    // An 8-bit bitmap of the same size is still remade for a CMYK source.
    dib = MakeDisplayDib(&cmyk, Marked(dib));
    ASSERT_NE(dib, nullptr);
    EXPECT_EQ(dib->xPixelsPerMeter, 0);
    ExpectBitmapShowsImage(cmyk, dib);

    // An 8-bit bitmap of the right size does not serve a colour source.
    dib = MakeDisplayDib(&taller, Marked(dib));
    EXPECT_EQ(dib->xPixelsPerMeter, 0);
    ExpectHeader(dib, 5, 6, 24, 16);
    FreeDisplayDib(dib);
}

// The leak checker of the sanitizer build confirms that old is released on these paths.
TEST(DisplayDibFailure, EmptyImageReleasesOld) {
    CImgBuff image, empty;
    FillPattern(image, 3, 3, PT_RGB8);
    EXPECT_EQ(MakeDisplayDib(&empty, MakeDisplayDib(&image, nullptr)), nullptr);
    EXPECT_EQ(MakeDisplayDib(&empty, nullptr), nullptr);
}

TEST(DisplayDibFailure, BitmapTooLargeForItsSizeFieldIsRefused) {
    CImgBuff small, huge;
    FillPattern(small, 2, 2, PT_GRAY8);
    FillPattern(huge, 1, 1, PT_RGB8);
    // The shape alone decides the bitmap size, and 70000 x 70000 x 3 bytes do not fit in
    // 32 bits; the pixels are never read because the bitmap is refused first.
    C_ImgBuff* b = huge.buffer;
    b->width = 70000;
    b->height = 70000;
    EXPECT_EQ(MakeDisplayDib(&huge, MakeDisplayDib(&small, nullptr)), nullptr);
    b->width = 1;
    b->height = 1;
}

TEST(DisplayDibMemory, BlockSizesAndZeroFill) {
    CImgBuff poolReference;  // keeps the pool alive for the large fill
    const struct {
        uint32_t length;
        uint32_t blockSize;
    } cases[] = {{0, 4096},        {1, 4096},        {4092, 4096},      {4093, 8192},
                 {786431, 790528}, {786432, 790528}, {3000000, 3002368}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        uint8_t* p = AllocDibMemory(c.length);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(DibBlockSize(reinterpret_cast<DibHeader*>(p)), c.blockSize);
        size_t nonZero = 0;
        for (uint32_t i = 0; i < c.length; ++i) nonZero += p[i] != 0;
        EXPECT_EQ(nonZero, 0u);
        FreeDisplayDib(reinterpret_cast<DibHeader*>(p));
    }
    // Lengths whose block size would not fit in the 32-bit size field.
    EXPECT_EQ(AllocDibMemory(0xFFFFFFFFu), nullptr);
    EXPECT_EQ(AllocDibMemory(0xFFFFF000u - 3), nullptr);
    FreeDisplayDib(nullptr);
}

}  // namespace
