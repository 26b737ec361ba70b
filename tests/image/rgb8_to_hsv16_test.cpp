#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "image/ColorModel.h"
#include "image/Rgb8ToHsv16.h"

// Every one of the 16,777,216 colours against the pixel formula the whole-buffer conversion uses,
// one row of 256 blues per red and green (alpha must not matter); every grey byte as the colour
// with three equal channels.
TEST(Rgb8ToHsv16, EveryColourAndGreyGivesWhatRgbToHsv16GivesTheWidenedChannels) {
    std::vector<uint32_t> row(256);
    std::vector<uint8_t> greys(256);
    std::vector<uint16_t> hsv(256 * 3), greyHsv(256 * 3);
    for (uint32_t b = 0; b < 256; ++b) greys[b] = uint8_t(b);
    GreyRowToHsv16(greys.data(), greys.size(), greyHsv.data());
    int64_t differing = 0;
    for (uint32_t r = 0; r < 256; ++r) {
        for (uint32_t g = 0; g < 256; ++g) {
            for (uint32_t b = 0; b < 256; ++b) row[b] = (b * 97u) << 24 | r << 16 | g << 8 | b;
            Argb32RowToHsv16(row.data(), row.size(), hsv.data());
            for (uint32_t b = 0; b < 256; ++b) {
                uint16_t want[3];
                RgbToHsv16(uint16_t(r * 257), uint16_t(g * 257), uint16_t(b * 257), &want[0],
                           &want[1], &want[2]);
                const uint16_t* got = r == g && g == b ? &greyHsv[3 * b] : &hsv[3 * b];
                differing += got[0] != want[0] || got[1] != want[1] || got[2] != want[2];
            }
        }
    }
    EXPECT_EQ(differing, 0);
}
