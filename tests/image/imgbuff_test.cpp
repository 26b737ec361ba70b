#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <vector>

#include "image/ConvertTasks.h"
#include "image/ImgBuff.h"
#include "image/PixelMemory.h"

namespace {

using Bytes = std::vector<uint8_t>;

size_t ByteCount(const C_ImgBuff& image) {
    return static_cast<size_t>(image.width) * image.height * kBytesPerPixel[image.type];
}

bool AllZero(const uint8_t* bytes, size_t n) {
    return n == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, n - 1) == 0);
}

bool IsEmpty(const C_ImgBuff& image) {
    return image.type == PT_NONE && image.width == 0 && image.height == 0 && !image.pixels;
}

// Random bytes; XYZ gets random doubles slightly beyond [0, 1] instead.
void Randomise(C_ImgBuff& image, std::mt19937& rng) {
    for (size_t i = 0; i < ByteCount(image); ++i) image.pixels[i] = static_cast<uint8_t>(rng());
    for (size_t i = 0; image.type == PT_XYZ && i < ByteCount(image); i += 8) {
        const double v = std::uniform_real_distribution<double>(0.0, 1.1)(rng);
        std::memcpy(image.pixels + i, &v, 8);
    }
}

TEST(PixelMemory, BlockSizesZeroFillCopiesAndSizesBeyondThirtyTwoBits) {
    C_ImgBuff poolReference;  // large fills and copies run on the pool
    // Blocks are whole 4096-byte granules with the 4-byte header in front. Freed memory handed
    // out again comes back zeroed, below and above the pool's threshold; copies match memcpy and
    // stay inside their range.
    std::mt19937 random(1);
    const std::pair<uint64_t, uint32_t> blocks[] = {
        {0, 4096},        {1, 4096},        {4092, 4096},      {4093, 8192},
        {786431, 790528}, {786432, 790528}, {3000000, 3002368}};
    for (const auto& [length, blockSize] : blocks) {
        uint8_t* first = AllocPixelMemory(length);
        ASSERT_NE(first, nullptr) << length;
        uint32_t block = 0;
        std::memcpy(&block, first - 4, 4);
        EXPECT_EQ(block, blockSize) << length;
        std::memset(first, 0xAB, length);
        FreePixelMemory(first);
        uint8_t* second = AllocPixelMemory(length + 2);
        ASSERT_NE(second, nullptr) << length;
        EXPECT_TRUE(AllZero(second, length + 2)) << length;

        Bytes source(length + 2), expected(length + 2);
        for (uint8_t& byte : source) byte = static_cast<uint8_t>(random());
        expected[0] = expected[length + 1] = 0;
        std::memcpy(expected.data() + 1, source.data() + 1, length);
        CopyBytes(second + 1, source.data() + 1, length);
        EXPECT_EQ(Bytes(second, second + length + 2), expected) << length;
        std::memset(second, 0x5A, length + 2);
        ZeroBytes(second + 1, length);
        EXPECT_TRUE(second[0] == 0x5A && second[length + 1] == 0x5A && AllZero(second + 1, length))
            << length;
        FreePixelMemory(second);
    }
    FreePixelMemory(nullptr);
    EXPECT_EQ(AllocPixelMemory(4294967292ull), nullptr);  // 4294967292 + 4 = 2^32
    EXPECT_EQ(AllocPixelMemory(4294967291ull), nullptr);  // header fits, whole granules do not
    EXPECT_EQ(AllocPixelMemory(1ull << 40), nullptr);
}

TEST(Create, SameShapeReusesTheBlockOtherwiseInvalidEmpties) {
    std::mt19937 rng(3);
    for (int32_t side : {7, 600}) {  // below and above the size that goes to the pool
        C_ImgBuff image;
        ASSERT_EQ(image.Create(side, side + 1, PT_RGB16), 1);
        uint8_t* block = image.pixels;
        Randomise(image, rng);
        ASSERT_EQ(image.Create(side, side + 1, PT_RGB16), 1);
        EXPECT_EQ(image.pixels, block);
        EXPECT_TRUE(AllZero(image.pixels, ByteCount(image))) << side;
    }
    C_ImgBuff image;
    EXPECT_EQ(image.Create(0, 0, PT_NONE), 1);
    EXPECT_TRUE(IsEmpty(image));
    // Type codes 3 GRAY32, 4 RGB8, 7 XYZ; the last three need more than 32 bits of pixel count
    // or block size.
    const int32_t invalid[][3] = {{0, 0, 0},         {4, 4, 10},        {0, 4, 4},
                                  {4, 0, 4},         {-3, 4, 1},        {4, -1, 1},
                                  {65536, 65536, 7}, {32768, 32768, 3}, {INT32_MAX, INT32_MAX, 7}};
    for (const auto& c : invalid) {
        ASSERT_EQ(image.Create(5, 5, PT_CMYK8), 1);
        EXPECT_EQ(image.Create(c[0], c[1], static_cast<PixelType>(c[2])), 0) << c[0] << c[2];
        EXPECT_TRUE(IsEmpty(image));
    }
}

TEST(CopyAndClear, EveryByteOnTheCallerAndOnThePool) {
    std::mt19937 rng(5);
    // 20 x 15 x 6 bytes stay on the caller; 700 x 355 x 6 = 1491000 are split over the pool.
    for (int32_t w : {20, 700}) {
        C_ImgBuff source, copy;
        ASSERT_EQ(source.Create(w, w / 2 + 5, PT_HSV16), 1);
        ASSERT_EQ(copy.Create(3, 3, PT_GRAY8), 1);
        for (int pass = 0; pass < 2; ++pass) {  // into another shape, then over the same shape
            Randomise(source, rng);
            copy.Copy(source);
            ASSERT_TRUE(copy.type == PT_HSV16 && copy.width == w && copy.height == w / 2 + 5);
            EXPECT_EQ(std::memcmp(copy.pixels, source.pixels, ByteCount(source)), 0) << w;
        }
        EXPECT_EQ(&copy.Copy(copy), &copy);  // a copy onto itself keeps the content
        EXPECT_EQ(std::memcmp(copy.pixels, source.pixels, ByteCount(source)), 0) << w;
        copy.Clear();
        EXPECT_EQ(copy.type, PT_HSV16);
        EXPECT_TRUE(AllZero(copy.pixels, ByteCount(copy))) << w;
        copy.Copy(C_ImgBuff());
        EXPECT_TRUE(IsEmpty(copy));
    }
}

// Every pair of types: ConvertType (with its chosen task sliced over the pool) gives bit for bit
// what the generic row task gives, so each dedicated task matches the generic path it replaces.
TEST(ConvertType, EveryPairMatchesTheGenericTaskBitForBit) {
    std::mt19937 rng(41);
    int dedicated = 0;
    for (PixelType from = PT_GRAY8; from <= PT_CMYK8; ++from) {
        for (PixelType to = PT_GRAY8; to <= PT_CMYK8; ++to) {
            if (to == from) continue;
            dedicated += ChooseConvertTask(from, to) != ConvertRowsGeneric;
            C_ImgBuff source, generic;
            ASSERT_EQ(source.Create(257, 67, from), 1);
            Randomise(source, rng);
            ASSERT_EQ(generic.Create(257, 67, to), 1);
            ConvertContext context{to, &source, &generic, 257};
            ConvertRowsGeneric(&context, 0, 67);
            ASSERT_EQ(source.ConvertType(to), 1);
            ASSERT_TRUE(source.type == to && source.width == 257 && source.height == 67);
            EXPECT_EQ(std::memcmp(source.pixels, generic.pixels, ByteCount(generic)), 0)
                << from << " -> " << to;
        }
    }
    // Grey from RGB and back, and one step wider or narrower, at each of the three widths.
    EXPECT_EQ(dedicated, 14);
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
            ASSERT_EQ(image.ConvertType(via) + image.ConvertType(start), 2);
            const int tolerance = via == PT_HSV16 || via == PT_XYZ ? 1 : 0;
            for (size_t i = 0; i < ByteCount(image); ++i) {
                ASSERT_LE(std::abs(image.pixels[i] - original.pixels[i]), tolerance)
                    << start << " via " << via << " byte " << i;
            }
        }
    }
}

// Converts one row of pixels given as bytes and returns the bytes of the result.
Bytes Convert(PixelType from, const Bytes& bytes, PixelType to) {
    C_ImgBuff image;
    EXPECT_EQ(image.Create(static_cast<int32_t>(bytes.size() / kBytesPerPixel[from]), 1, from), 1);
    std::memcpy(image.pixels, bytes.data(), bytes.size());
    EXPECT_EQ(image.ConvertType(to), 1);
    return Bytes(image.pixels, image.pixels + ByteCount(image));
}

TEST(ConvertType, WorkedExamples) {
    EXPECT_EQ(Convert(PT_RGB8, {255, 0, 0}, PT_HSV16), (Bytes{0, 0, 0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Convert(PT_RGB16, {0xFF, 0x12, 0, 0, 0xFF, 0xFF}, PT_RGB8), (Bytes{0x12, 0, 0xFF}));
    EXPECT_EQ(Convert(PT_GRAY8, {200}, PT_RGB16), Bytes(6, 0xC8));  // 51400 in each channel
    EXPECT_EQ(Convert(PT_GRAY16, {0xFF, 0x80}, PT_GRAY8), Bytes{0x80});
    EXPECT_EQ(Convert(PT_RGB8, {255, 255, 255, 0, 0, 255, 255, 0, 0}, PT_GRAY8),
              (Bytes{255, 29, 76}));
}

TEST(ConvertType, RefusalsAndTheOwnTypeLeaveTheBufferAsItWas) {
    C_ImgBuff empty;
    EXPECT_EQ(empty.ConvertType(PT_RGB8), 0);
    EXPECT_TRUE(IsEmpty(empty));
    C_ImgBuff image;
    ASSERT_EQ(image.Create(9, 4, PT_RGB16), 1);
    std::mt19937 rng(47);
    Randomise(image, rng);
    const Bytes before(image.pixels, image.pixels + ByteCount(image));
    uint8_t* const block = image.pixels;
    for (PixelType target : {PixelType{PT_RGB16}, PixelType{PT_NONE}, PixelType{10}}) {
        EXPECT_EQ(image.ConvertType(target), target == PT_RGB16 ? 1 : 0);
        ASSERT_TRUE(image.pixels == block && image.type == PT_RGB16 && image.width == 9 &&
                    image.height == 4);
        EXPECT_EQ(Bytes(image.pixels, image.pixels + ByteCount(image)), before) << target;
    }
}

}  // namespace
