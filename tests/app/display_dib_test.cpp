#include "app/display/DisplayDib.h"

#include <gtest/gtest.h>

#include <cstring>

#include "image/ImgBuff.h"

namespace {

// Fills every pixel with a pattern that differs per channel, column and row.
void FillPattern(CImgBuff& image, int32_t width, int32_t height, PixelType type) {
    ASSERT_EQ(image.buffer->Create(width, height, type), 1);
    const uint32_t bytes = static_cast<uint32_t>(width * height) * kBytesPerPixel[type];
    for (uint32_t i = 0; i < bytes; ++i)
        image.buffer->pixels[i] = static_cast<uint8_t>(i * 37u + (i >> 5));
}

// Every bitmap byte against the image's own accessors (blue, green, red or grey, the image's last
// row stored first, rows padded with zeros), and the grey palette of an 8-bit bitmap.
void ExpectBitmapShowsImage(const CImgBuff& image, DibHeader* dib) {
    const int32_t width = image.buffer->width, height = image.buffer->height;
    const uint32_t bytes = dib->bitCount / 8u, stride = DibStride(width, dib->bitCount);
    int wrong = 0;
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = DibPixels(dib) + static_cast<size_t>(height - 1 - y) * stride;
        for (uint32_t i = 0; i < stride; ++i) {
            const auto x = static_cast<int32_t>(i / bytes);
            uint8_t bgr[3] = {}, grey = 0;
            if (x < width && !(image.buffer->GetRGB8(x, y, &bgr[2], &bgr[1], &bgr[0]) &&
                               image.buffer->GetGray8(x, y, &grey)))
                ++wrong;
            wrong += row[i] != (bytes == 1 ? grey : bgr[i % 3]);
        }
    }
    for (uint32_t i = 0; dib->bitCount == 8 && i < kDibPaletteBytes; ++i)
        wrong += DibPalette(dib)[i] != (i % 4 == 3 ? 0 : i / 4);
    EXPECT_EQ(wrong, 0);
}

// Each image is converted into the previous one's bitmap, which is refilled in place (its header
// kept, so a mark left in it shows the path taken) only for the same size and kind. An empty
// image, or one too large for the 32-bit size field, releases the bitmap and gives null.
TEST(DisplayDib, HeaderStridePaletteRowsAndReuseForEveryPixelType) {
    const struct {
        PixelType type;
        int32_t width;
        uint16_t bitCount;
        uint32_t stride;
        bool reused;
    } cases[] = {
        {PT_RGB8, 1, 24, 4, false},       {PT_RGB8, 5, 24, 16, false}, {PT_RGB16, 5, 24, 16, true},
        {PT_HSV16, 5, 24, 16, true},      {PT_GRAY8, 5, 8, 8, false},  {PT_GRAY16, 5, 8, 8, true},
        {PT_GRAY32, 5, 8, 8, false},      {PT_RGB32, 7, 8, 8, false},  {PT_CMYK8, 6, 8, 8, false},
        {PT_HSV16, 333, 24, 1000, false},
    };
    DibHeader* dib = nullptr;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " width " << c.width);
        const int32_t height = c.width == 333 ? 517 : 3;  // the last one spreads over the pool
        CImgBuff image;
        FillPattern(image, c.width, height, c.type);
        if (dib) dib->xPixelsPerMeter = 1234;
        if (dib && dib->bitCount == 8) DibPixels(dib)[DibStride(dib->width, 8) - 1] = 0xEE;
        dib = MakeDisplayDib(&image, dib);
        ASSERT_NE(dib, nullptr);
        const uint32_t palette = c.bitCount == 8 ? 256 : 0, bytes = c.stride * height;
        const DibHeader header{40,    c.width,         height, 1,       c.bitCount, 0,
                               bytes, c.reused * 1234, 0,      palette, 0};
        EXPECT_EQ(std::memcmp(dib, &header, sizeof header), 0);
        ExpectBitmapShowsImage(image, dib);
    }
    CImgBuff huge, empty;
    FillPattern(huge, 1, 1, PT_RGB8);
    huge.buffer->width = huge.buffer->height = 70000;
    EXPECT_EQ(MakeDisplayDib(&huge, dib), nullptr);
    huge.buffer->width = huge.buffer->height = 1;
    EXPECT_EQ(MakeDisplayDib(&empty, MakeDisplayDib(&huge, nullptr)), nullptr);
}

}  // namespace
