#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "image/ImgBuff.h"

namespace {

uint32_t BlockSize(const C_ImgBuff& image) {
    uint32_t size = 0;
    std::memcpy(&size, image.pixels - 4, sizeof size);
    return size;
}

size_t ByteCount(const C_ImgBuff& image) {
    return static_cast<size_t>(image.width) * image.height * kBytesPerPixel[image.type];
}

bool AllZero(const C_ImgBuff& image) {
    for (size_t i = 0; i < ByteCount(image); ++i) {
        if (image.pixels[i] != 0) return false;
    }
    return true;
}

void FillPattern(C_ImgBuff& image, uint32_t seed) {
    for (size_t i = 0; i < ByteCount(image); ++i) {
        image.pixels[i] = static_cast<uint8_t>((i * 2654435761u + seed) >> 7 | 1);
    }
}

void ExpectEmpty(const C_ImgBuff& image) {
    EXPECT_EQ(image.type, PT_NONE);
    EXPECT_EQ(image.width, 0);
    EXPECT_EQ(image.height, 0);
    EXPECT_EQ(image.pixels, nullptr);
}

TEST(PixelMemory, BlocksAreWholeGranulesAroundTheSizeHeader) {
    C_ImgBuff image;
    ASSERT_EQ(image.Create(1, 1, PT_GRAY8), 1);
    EXPECT_EQ(BlockSize(image), 4096u);
    ASSERT_EQ(image.Create(1023, 1, PT_GRAY32), 1);  // 4092 bytes + header fill one granule
    EXPECT_EQ(BlockSize(image), 4096u);
    ASSERT_EQ(image.Create(4093, 1, PT_GRAY8), 1);
    EXPECT_EQ(BlockSize(image), 8192u);
    ASSERT_EQ(image.Create(600, 400, PT_HSV16), 1);  // 1440000 + 4 rounds up to 1441792
    EXPECT_EQ(BlockSize(image), 1441792u);
}

TEST(PixelMemory, FreshMemoryIsZeroEvenWhenTheAllocatorHandsBackDirtyBytes) {
    for (uint32_t count : {1000u, 300000u}) {
        uint8_t* first = AllocPixelMemory(count, 3);
        ASSERT_NE(first, nullptr);
        std::memset(first, 0xAB, static_cast<size_t>(count) * 3);
        FreePixelMemory(first);
        uint8_t* second = AllocPixelMemory(count, 3);
        ASSERT_NE(second, nullptr);
        std::vector<uint8_t> zeros(static_cast<size_t>(count) * 3, 0);
        EXPECT_EQ(std::memcmp(second, zeros.data(), zeros.size()), 0) << count;
        FreePixelMemory(second);
    }
    FreePixelMemory(nullptr);
}

TEST(PixelMemory, SizesBeyondTheThirtyTwoBitHeaderAreRefused) {
    EXPECT_EQ(AllocPixelMemory(0xFFFFFFFFu, 1), nullptr);
    EXPECT_EQ(AllocPixelMemory(1073741823u, 4), nullptr);   // 4294967292 + 4 = 2^32
    EXPECT_EQ(AllocPixelMemory(4294967291u, 1), nullptr);   // header fits, whole granules do not
    EXPECT_EQ(AllocPixelMemory(0x20000000u, 24), nullptr);  // product itself exceeds 32 bits

    C_ImgBuff image;
    ASSERT_EQ(image.Create(10, 10, PT_RGB8), 1);
    EXPECT_EQ(image.Create(65536, 65536, PT_GRAY8), 0);
    ExpectEmpty(image);
    EXPECT_EQ(image.Create(INT32_MAX, INT32_MAX, PT_XYZ), 0);
    ExpectEmpty(image);
    EXPECT_EQ(image.Create(32768, 32768, PT_GRAY32), 0);
    ExpectEmpty(image);
}

TEST(Create, SameShapeReusesTheBlockAndZeroesIt) {
    for (int32_t side : {7, 600}) {  // below and above the size that goes to the pool
        C_ImgBuff image;
        ASSERT_EQ(image.Create(side, side + 1, PT_RGB16), 1);
        EXPECT_TRUE(AllZero(image));
        uint8_t* block = image.pixels;
        FillPattern(image, 3);
        ASSERT_EQ(image.Create(side, side + 1, PT_RGB16), 1);
        EXPECT_EQ(image.pixels, block);
        EXPECT_TRUE(AllZero(image)) << side;
    }
}

TEST(Create, InvalidArgumentsEmptyTheBuffer) {
    C_ImgBuff image;
    EXPECT_EQ(image.Create(0, 0, PT_NONE), 1);  // already that shape: nothing to do
    ExpectEmpty(image);

    const struct {
        int32_t w, h;
        PixelType t;
    } invalid[] = {{0, 0, PT_NONE}, {4, 4, PT_NONE},  {4, 4, 10},       {0, 4, PT_RGB8},
                   {4, 0, PT_RGB8}, {-3, 4, PT_RGB8}, {4, -1, PT_GRAY8}};
    for (const auto& c : invalid) {
        ASSERT_EQ(image.Create(5, 5, PT_CMYK8), 1);
        EXPECT_EQ(image.Create(c.w, c.h, c.t), 0) << c.w << " " << c.h << " " << c.t;
        ExpectEmpty(image);
    }
}

TEST(CopyAndClear, SmallAndPooledSizesCopyEveryByte) {
    // 20 x 10 stays on the caller; 700 x 500 x 6 = 2100000 bytes is split over the pool.
    for (int32_t w : {20, 700}) {
        C_ImgBuff source;
        ASSERT_EQ(source.Create(w, w / 2 + 5, PT_HSV16), 1);
        FillPattern(source, static_cast<uint32_t>(w));
        C_ImgBuff copy;
        ASSERT_EQ(copy.Create(3, 3, PT_GRAY8), 1);
        copy.Copy(source);
        ASSERT_EQ(copy.type, PT_HSV16);
        ASSERT_EQ(copy.width, source.width);
        ASSERT_EQ(copy.height, source.height);
        EXPECT_NE(copy.pixels, source.pixels);
        EXPECT_EQ(std::memcmp(copy.pixels, source.pixels, ByteCount(source)), 0);

        // Copying over a buffer of the same shape replaces every byte as well.
        FillPattern(source, 99);
        copy.Copy(source);
        EXPECT_EQ(std::memcmp(copy.pixels, source.pixels, ByteCount(source)), 0);

        uint8_t* block = copy.pixels;
        copy.Clear();
        EXPECT_EQ(copy.pixels, block);
        EXPECT_EQ(copy.type, PT_HSV16);
        EXPECT_TRUE(AllZero(copy)) << w;
    }
}

TEST(CopyAndClear, EmptySourcesAndSelfCopy) {
    C_ImgBuff empty;
    empty.Clear();
    ExpectEmpty(empty);

    C_ImgBuff image;
    ASSERT_EQ(image.Create(4, 4, PT_RGB8), 1);
    image.Copy(empty);
    ExpectEmpty(image);

    ASSERT_EQ(image.Create(4, 4, PT_RGB8), 1);
    FillPattern(image, 5);
    std::vector<uint8_t> before(image.pixels, image.pixels + ByteCount(image));
    EXPECT_EQ(&image.Copy(image), &image);
    ASSERT_EQ(image.type, PT_RGB8);
    EXPECT_EQ(std::memcmp(image.pixels, before.data(), before.size()), 0);
}

TEST(Inquiries, GetInfoAndTheSampleWidthFamilies) {
    C_ImgBuff image;
    int32_t w = -1, h = -1;
    PixelType t = 99;
    uint32_t bpp = 99;
    EXPECT_EQ(image.GetInfo(&w, &h, &t, &bpp), 0);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(t, PT_NONE);
    EXPECT_EQ(bpp, 0u);

    const uint32_t expectedBpp[10] = {0, 1, 2, 4, 3, 6, 12, 24, 6, 4};
    CImgBuff holder;
    EXPECT_EQ(holder.Is8Bit() + holder.Is16Bit() + holder.Is32Bit(), 0);
    EXPECT_EQ(holder.GetData(nullptr, nullptr, nullptr), nullptr);
    for (PixelType type = PT_GRAY8; type <= PT_CMYK8; ++type) {
        ASSERT_EQ(holder.buffer->Create(5, 3, type), 1);
        EXPECT_EQ(holder.buffer->GetInfo(&w, &h, &t, &bpp), 1);
        EXPECT_EQ(w, 5);
        EXPECT_EQ(h, 3);
        EXPECT_EQ(t, type);
        EXPECT_EQ(bpp, expectedBpp[type]);
        EXPECT_EQ(holder.buffer->GetInfo(nullptr, nullptr, nullptr, nullptr), 1);

        const bool is8 = type == PT_GRAY8 || type == PT_RGB8 || type == PT_CMYK8;
        const bool is16 = type == PT_GRAY16 || type == PT_RGB16 || type == PT_HSV16;
        const bool is32 = type == PT_GRAY32 || type == PT_RGB32;
        EXPECT_EQ(holder.Is8Bit(), is8 ? 1 : 0) << type;
        EXPECT_EQ(holder.Is16Bit(), is16 ? 1 : 0) << type;
        EXPECT_EQ(holder.Is32Bit(), is32 ? 1 : 0) << type;

        int32_t dw = 0, dh = 0;
        PixelType dt = 0;
        EXPECT_EQ(holder.GetData(&dw, &dh, &dt), holder.buffer->pixels);
        EXPECT_EQ(dw * 10 + dh, 53);
        EXPECT_EQ(dt, type);
    }
}

TEST(Holder, CopyAndConvertForwardToTheOwnedBuffer) {
    CImgBuff a;
    CImgBuff b;
    ASSERT_EQ(a.buffer->Create(2, 1, PT_RGB8), 1);
    ASSERT_EQ(a.buffer->SetRGB8(1, 0, 255, 0, 0), 1);
    C_ImgBuff* const owned = b.buffer;
    EXPECT_EQ(&b.Copy(a), &b);
    EXPECT_EQ(b.buffer, owned);
    EXPECT_EQ(b.ConvertType(PT_HSV16), 1);
    uint16_t h = 1, s = 0, v = 0;
    ASSERT_EQ(b.buffer->GetHSV16(1, 0, &h, &s, &v), 1);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(s, 65534);
    EXPECT_EQ(v, 65535);
    EXPECT_EQ(b.ConvertType(10), 0);
    EXPECT_EQ(b.buffer->type, PT_HSV16);
}

}  // namespace
