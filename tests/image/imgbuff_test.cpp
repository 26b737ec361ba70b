// The image buffer: its memory blocks, creation and copies, and whole-buffer type conversion.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>
#include <vector>

#include "image/ConvertTasks.h"
#include "image/ImageTurn.h"
#include "image/ImgBuff.h"
#include "image/PixelMemory.h"

using Bytes = std::vector<uint8_t>;

Bytes Pixels(const C_ImgBuff& image) {
    return Bytes(image.pixels,
                 image.pixels + size_t(image.width) * image.height * kBytesPerPixel[image.type]);
}

bool IsEmpty(const C_ImgBuff& image) {
    return image.type == PT_NONE && image.width == 0 && image.height == 0 && !image.pixels;
}

// Random bytes: XYZ pixels too, whose doubles then reach far beyond the clamps, and NaN.
void Randomise(C_ImgBuff& image, std::mt19937& rng) {
    std::generate_n(image.pixels, Pixels(image).size(), [&] { return uint8_t(rng()); });
}

// Blocks are whole 4096-byte granules with the 4-byte size in front, and come zeroed even where
// freed memory is handed out again. (Copies and fills on the caller and on the pool are checked
// through the buffer's Copy and Create below.)
TEST(PixelMemory, WholeGranulesZeroedAndSizesBeyondThirtyTwoBitsRefused) {
    for (const auto& [length, blockSize] :
         {std::pair<uint64_t, uint32_t>{4092, 4096}, {4093, 8192}, {3000000, 3002368}}) {
        uint8_t* block = AllocPixelMemory(length);
        ASSERT_NE(block, nullptr);
        uint32_t size = 0;
        std::memcpy(&size, block - 4, 4);
        EXPECT_EQ(size, blockSize) << length;
        EXPECT_EQ(Bytes(block, block + length), Bytes(length, 0)) << length;
        std::memset(block, 0x5A, length);
        FreePixelMemory(block);
    }
    // 4294967291 + 4 bytes fit 32 bits, but not once rounded up to whole granules.
    for (uint64_t length : {4294967291ull, 1ull << 40})
        EXPECT_EQ(AllocPixelMemory(length), nullptr);
}

// Copies into another shape, over the same shape and onto itself keep every byte; Create of the
// same shape clears. 20 x 15 x 6 bytes stay on the caller, 700 x 355 x 6 are split over the pool.
// Refused shapes and types leave an empty buffer; a conversion to the own type keeps the block.
TEST(ImgBuff, CopyCreateAndRefusals) {
    std::mt19937 rng(5);
    for (int32_t w : {20, 700}) {
        C_ImgBuff source, copy;
        ASSERT_EQ(source.Create(w, w / 2 + 5, PT_HSV16) + copy.Create(3, 3, PT_GRAY8), 2);
        for (int pass = 0; pass < 2; ++pass) {
            Randomise(source, rng);
            EXPECT_EQ(&copy.Copy(source), &copy);
            ASSERT_TRUE(copy.type == PT_HSV16 && copy.width == w && copy.height == w / 2 + 5);
            EXPECT_EQ(Pixels(copy), Pixels(source)) << w;
        }
        copy.Copy(copy);
        EXPECT_EQ(Pixels(copy), Pixels(source)) << w;
        ASSERT_EQ(copy.Create(w, w / 2 + 5, PT_HSV16), 1);
        EXPECT_EQ(Pixels(copy), Bytes(Pixels(source).size(), 0)) << w;
    }
    C_ImgBuff image;
    // Type codes 3 GRAY32, 7 XYZ, 9 CMYK8; the last three need more than 32 bits of pixel count
    // or block size.
    const int32_t invalid[][3] = {{0, 5, 9},         {5, 5, 10},        {4, -1, 1},
                                  {65536, 65536, 7}, {32768, 32768, 3}, {INT32_MAX, INT32_MAX, 7}};
    for (const auto& c : invalid) {
        ASSERT_EQ(image.Create(5, 5, PT_CMYK8), 1);
        EXPECT_EQ(image.Create(c[0], c[1], static_cast<PixelType>(c[2])), 0) << c[0] << c[2];
        EXPECT_TRUE(IsEmpty(image));
    }
    EXPECT_EQ(image.ConvertType(PT_RGB8), 0);
    EXPECT_TRUE(IsEmpty(image));
    ASSERT_EQ(image.Create(9, 4, PT_RGB16), 1);
    uint8_t* const block = image.pixels;
    EXPECT_TRUE(image.ConvertType(PT_RGB16) == 1 && image.pixels == block);
    image.Copy(C_ImgBuff());
    EXPECT_TRUE(IsEmpty(image));
}

// Every pair of types: ConvertType (with its chosen task sliced over the pool) gives bit for bit
// what the generic row task gives, so each dedicated task matches the generic path it replaces.
// 8-bit grey, and 8-bit colour through every colour type, come back exactly, except for a step of
// rounding through HSV16 and XYZ.
TEST(ConvertType, EveryPairMatchesTheGenericTaskAndEightBitsComeBack) {
    std::mt19937 rng(41);
    int dedicated = 0;
    for (PixelType from = PT_GRAY8; from <= PT_CMYK8; ++from) {
        for (PixelType to = PT_GRAY8; to <= PT_CMYK8; ++to) {
            if (to == from) continue;
            dedicated += ChooseConvertTask(from, to) != ConvertRowsGeneric;
            C_ImgBuff source, generic;
            ASSERT_EQ(source.Create(257, 67, from) + generic.Create(257, 67, to), 2);
            Randomise(source, rng);
            const Bytes original = Pixels(source);
            ConvertContext context{to, &source, &generic, 257};
            ConvertRowsGeneric(&context, 0, 67);
            ASSERT_EQ(source.ConvertType(to), 1);
            EXPECT_EQ(Pixels(source), Pixels(generic)) << from << " -> " << to;
            if (from != PT_GRAY8 && (from != PT_RGB8 || to <= PT_GRAY32)) continue;
            ASSERT_EQ(source.ConvertType(from), 1);
            const int tolerance = to == PT_HSV16 || to == PT_XYZ ? 1 : 0;
            for (size_t i = 0; i < original.size(); ++i) {
                ASSERT_LE(std::abs(source.pixels[i] - original[i]), tolerance)
                    << from << " via " << to << " byte " << i;
            }
        }
    }
    // Grey from RGB and back, and one step wider or narrower, at each of the three widths.
    EXPECT_EQ(dedicated, 14);
}

// Turns move every pixel whole at every pixel size, and agree with each other: a turn undone by
// its Inverse, and turns a then b, are the picture turned by none and by a.Then(b). 9 x 5 pixels
// stay on the caller; 300 x 171 are split over the pool, their edge tiles cut short. Which way
// each turn goes is checked against ImageMagick in the batch tool's tests.
TEST(ImgBuff, TurnsUndoAndComposeExactly) {
    std::mt19937 rng(3);
    std::vector<ImageTurn> turns;
    for (int32_t q = 0; q < 8; ++q) turns.push_back({q % 4, q >= 4});
    for (PixelType type : {PT_GRAY8, PT_GRAY16, PT_RGB8, PT_GRAY32, PT_HSV16, PT_RGB32, PT_XYZ}) {
        C_ImgBuff source, once, twice, direct;
        const int32_t width = type == PT_HSV16 ? 300 : 9;
        ASSERT_TRUE(source.Create(width, width * 4 / 7, type));
        Randomise(source, rng);
        for (ImageTurn a : turns) {
            ASSERT_TRUE(TurnImage(source, a, &once) && TurnImage(once, a.Inverse(), &twice));
            EXPECT_EQ(once.width, a.quarterTurns % 2 ? source.height : source.width);
            EXPECT_EQ(Pixels(once) == Pixels(source), a.IsNone()) << type << " " << a.quarterTurns;
            EXPECT_TRUE(Pixels(twice) == Pixels(source)) << type << " " << a.quarterTurns;
            for (ImageTurn b : turns) {
                ASSERT_TRUE(TurnImage(once, b, &twice) && TurnImage(source, a.Then(b), &direct));
                EXPECT_TRUE(Pixels(twice) == Pixels(direct)) << type << " " << a.quarterTurns;
            }
        }
    }
    C_ImgBuff empty, turned;
    ASSERT_TRUE(turned.Create(2, 2, PT_GRAY8));
    EXPECT_FALSE(TurnImage(empty, kTurnRight, &turned));
    EXPECT_TRUE(IsEmpty(turned));
}
