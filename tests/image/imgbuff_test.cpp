#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "image/ImgBuff.h"

namespace {

size_t ByteCount(const C_ImgBuff& image) {
    return static_cast<size_t>(image.width) * image.height * kBytesPerPixel[image.type];
}

bool AllZero(const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

void FillPattern(C_ImgBuff& image, uint32_t seed) {
    for (size_t i = 0; i < ByteCount(image); ++i) {
        image.pixels[i] = static_cast<uint8_t>((i * 2654435761u + seed) >> 7 | 1);
    }
}

bool IsEmpty(const C_ImgBuff& image) {
    return image.type == PT_NONE && image.width == 0 && image.height == 0 && !image.pixels;
}

TEST(PixelMemory, BlockSizesAndZeroFill) {
    const struct {
        int32_t width;
        PixelType type;
        uint32_t block;
    } cases[] = {{1, PT_GRAY8, 4096},
                 {1023, PT_GRAY32, 4096},  // 4092 bytes and the header fill one granule
                 {4093, PT_GRAY8, 8192},
                 {240000, PT_HSV16, 1441792}};  // 1440004 rounded up
    for (const auto& c : cases) {
        C_ImgBuff image;
        ASSERT_EQ(image.Create(c.width, 1, c.type), 1);
        uint32_t block = 0;
        std::memcpy(&block, image.pixels - 4, 4);
        EXPECT_EQ(block, c.block) << c.width;
    }
    // Freed memory handed out again must come back zeroed, on the caller and on the pool.
    for (uint32_t count : {1000u, 300000u}) {
        uint8_t* first = AllocPixelMemory(count, 3);
        ASSERT_NE(first, nullptr);
        std::memset(first, 0xAB, count * 3);
        FreePixelMemory(first);
        uint8_t* second = AllocPixelMemory(count, 3);
        ASSERT_NE(second, nullptr);
        EXPECT_TRUE(AllZero(second, count * 3)) << count;
        FreePixelMemory(second);
    }
}

TEST(PixelMemory, SizesBeyondThirtyTwoBitsAreRefused) {
    EXPECT_EQ(AllocPixelMemory(0xFFFFFFFFu, 1), nullptr);
    EXPECT_EQ(AllocPixelMemory(1073741823u, 4), nullptr);  // 4294967292 + 4 = 2^32
    EXPECT_EQ(AllocPixelMemory(4294967291u, 1), nullptr);  // header fits, whole granules do not
    EXPECT_EQ(AllocPixelMemory(0x20000000u, 24), nullptr);

    C_ImgBuff image;
    for (int32_t side : {65536, 32768, INT32_MAX}) {
        ASSERT_EQ(image.Create(10, 10, PT_RGB8), 1);
        EXPECT_EQ(image.Create(side, side, side == 32768 ? PT_GRAY32 : PT_XYZ), 0) << side;
        EXPECT_TRUE(IsEmpty(image));
    }
}

TEST(Create, SameShapeReusesTheBlockOtherwiseInvalidEmpties) {
    for (int32_t side : {7, 600}) {  // below and above the size that goes to the pool
        C_ImgBuff image;
        ASSERT_EQ(image.Create(side, side + 1, PT_RGB16), 1);
        uint8_t* block = image.pixels;
        FillPattern(image, 3);
        ASSERT_EQ(image.Create(side, side + 1, PT_RGB16), 1);
        EXPECT_EQ(image.pixels, block);
        EXPECT_TRUE(AllZero(image.pixels, ByteCount(image))) << side;
    }

    C_ImgBuff image;
    EXPECT_EQ(image.Create(0, 0, PT_NONE), 1);
    EXPECT_TRUE(IsEmpty(image));
    const int32_t invalid[][3] = {{0, 0, PT_NONE}, {4, 4, 10}, {0, 4, PT_RGB8},
                                  {4, 0, PT_RGB8}, {-3, 4, 1}, {4, -1, 1}};
    for (const auto& c : invalid) {
        ASSERT_EQ(image.Create(5, 5, PT_CMYK8), 1);
        EXPECT_EQ(image.Create(c[0], c[1], static_cast<PixelType>(c[2])), 0) << c[0] << c[2];
        EXPECT_TRUE(IsEmpty(image));
    }
}

TEST(CopyAndClear, EveryByteOnTheCallerAndOnThePool) {
    // 20 x 15 x 6 bytes stay on the caller; 700 x 355 x 6 = 1491000 are split over the pool.
    for (int32_t w : {20, 700}) {
        C_ImgBuff source;
        C_ImgBuff copy;
        ASSERT_EQ(source.Create(w, w / 2 + 5, PT_HSV16), 1);
        ASSERT_EQ(copy.Create(3, 3, PT_GRAY8), 1);
        for (uint32_t seed : {1u, 99u}) {  // into another shape, then over the same shape
            FillPattern(source, seed);
            copy.Copy(source);
            ASSERT_EQ(copy.type, PT_HSV16);
            ASSERT_EQ(copy.width * 10000 + copy.height, source.width * 10000 + source.height);
            EXPECT_NE(copy.pixels, source.pixels);
            EXPECT_EQ(std::memcmp(copy.pixels, source.pixels, ByteCount(source)), 0) << w;
        }
        copy.Clear();
        EXPECT_EQ(copy.type, PT_HSV16);
        EXPECT_TRUE(AllZero(copy.pixels, ByteCount(copy))) << w;
    }
}

TEST(CopyAndClear, EmptySourceEmptiesAndSelfCopyKeepsContent) {
    C_ImgBuff empty;
    empty.Clear();
    EXPECT_TRUE(IsEmpty(empty));
    C_ImgBuff image;
    ASSERT_EQ(image.Create(4, 4, PT_RGB8), 1);
    image.Copy(empty);
    EXPECT_TRUE(IsEmpty(image));

    ASSERT_EQ(image.Create(4, 4, PT_RGB8), 1);
    FillPattern(image, 5);
    const std::vector<uint8_t> before(image.pixels, image.pixels + ByteCount(image));
    EXPECT_EQ(&image.Copy(image), &image);
    ASSERT_EQ(image.type, PT_RGB8);
    EXPECT_EQ(std::memcmp(image.pixels, before.data(), before.size()), 0);
}

TEST(Inquiries, GetInfoGetDataAndFamilies) {
    CImgBuff holder;
    int32_t w = -1, h = -1;
    PixelType t = 99;
    uint32_t bpp = 99;
    EXPECT_EQ(holder.buffer->GetInfo(&w, &h, &t, &bpp), 0);
    EXPECT_EQ(w + h + t + bpp, 0u);
    EXPECT_EQ(holder.Is8Bit() + holder.Is16Bit() + holder.Is32Bit(), 0);
    EXPECT_EQ(holder.GetData(nullptr, nullptr, nullptr), nullptr);

    const uint32_t sizes[10] = {0, 1, 2, 4, 3, 6, 12, 24, 6, 4};
    const char* families = "-8x38x3-x8";  // per type code: 8-, 16- (x) or 32-bit family
    for (PixelType type = PT_GRAY8; type <= PT_CMYK8; ++type) {
        ASSERT_EQ(holder.buffer->Create(5, 3, type), 1);
        EXPECT_EQ(holder.buffer->GetInfo(nullptr, &h, nullptr, &bpp), 1);
        EXPECT_EQ(h, 3);
        EXPECT_EQ(bpp, sizes[type]);
        const char family = families[type];
        EXPECT_EQ(holder.Is8Bit(), family == '8' ? 1 : 0) << type;
        EXPECT_EQ(holder.Is16Bit(), family == 'x' ? 1 : 0) << type;
        EXPECT_EQ(holder.Is32Bit(), family == '3' ? 1 : 0) << type;
        EXPECT_EQ(holder.GetData(&w, nullptr, &t), holder.buffer->pixels);
        EXPECT_EQ(w, 5);
        EXPECT_EQ(t, type);
    }
}

}  // namespace
