#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "image/ColorModel.h"
#include "image/Rgb8ToHsv16.h"

// Every one of the 16,777,216 colours against the pixel formula the whole-buffer conversion uses,
// one row of 256 blues per red and green; alpha must not matter.
TEST(Rgb8ToHsv16, EveryColourGivesWhatRgbToHsv16GivesTheWidenedChannels) {
    std::vector<uint32_t> row(256);
    std::vector<uint16_t> hsv(256 * 3);
    int64_t differing = 0;
    for (uint32_t r = 0; r < 256; ++r) {
        for (uint32_t g = 0; g < 256; ++g) {
            for (uint32_t b = 0; b < 256; ++b) row[b] = (b * 97u) << 24 | r << 16 | g << 8 | b;
            Argb32RowToHsv16(row.data(), row.size(), hsv.data());
            for (uint32_t b = 0; b < 256; ++b) {
                uint16_t h, s, v;
                RgbToHsv16(static_cast<uint16_t>(r * 257), static_cast<uint16_t>(g * 257),
                           static_cast<uint16_t>(b * 257), &h, &s, &v);
                differing += hsv[3 * b] != h || hsv[3 * b + 1] != s || hsv[3 * b + 2] != v;
            }
        }
    }
    EXPECT_EQ(differing, 0);
}

TEST(Rgb8ToHsv16, GreyRowsGiveTheWidenedValueWithoutHueOrSaturation) {
    std::vector<uint8_t> row(256);
    for (int i = 0; i < 256; ++i) row[i] = static_cast<uint8_t>(i);
    std::vector<uint16_t> hsv(256 * 3);
    GreyRowToHsv16(row.data(), row.size(), hsv.data());
    for (int i = 0; i < 256; ++i) {
        EXPECT_TRUE(hsv[3 * i] == 0 && hsv[3 * i + 1] == 0 && hsv[3 * i + 2] == i * 257) << i;
    }
}
