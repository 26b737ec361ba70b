// Packed pixels taken apart into channel arrays and put back, at every vector level, against the
// obvious per-pixel loops.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "image/ColorModel.h"
#include "image/ColorRows.h"
#include "image/PixelPlanes.h"

namespace {

TEST(PixelPlanes, SplitJoinAndHighBytesMatchThePixelByPixelLoops) {
    std::mt19937 random(11);
    const VectorLevel top = ActiveVectorLevel();
    // Every length up to 40, so that each tail of the vector loops occurs, then a long run.
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 40; ++n) lengths.push_back(n);
    lengths.push_back(100003);
    for (VectorLevel level : {top, VectorLevel::kScalar}) {
        LimitVectorLevel(level);
        for (size_t n : lengths) {
            SCOPED_TRACE(testing::Message() << "level " << int(level) << ", " << n << " pixels");
            std::vector<uint16_t> pixels(3 * n);
            for (auto& sample : pixels) sample = uint16_t(random());
            std::vector<uint16_t> a(n), b(n), c(n);
            SplitPixels16(pixels.data(), a.data(), b.data(), c.data(), n);
            std::vector<uint16_t> joined(3 * n);
            JoinPixels16(a.data(), b.data(), c.data(), joined.data(), n);
            EXPECT_EQ(joined, pixels);
            std::vector<uint8_t> bytes(3 * n), bgr(3 * n), expectedBytes(3 * n), expectedBgr(3 * n);
            JoinHighBytes(a.data(), b.data(), c.data(), bytes.data(), n);
            Hsv16ToHighBytes(pixels.data(), bgr.data(), n, ByteOrder::kBgr);
            for (size_t i = 0; i < n; ++i) {
                ASSERT_EQ(a[i], pixels[3 * i]);
                ASSERT_EQ(b[i], pixels[3 * i + 1]);
                ASSERT_EQ(c[i], pixels[3 * i + 2]);
                uint16_t rgb[3];
                HsvToRgb16(a[i], b[i], c[i], &rgb[0], &rgb[1], &rgb[2]);
                for (int k = 0; k < 3; ++k) {
                    expectedBytes[3 * i + k] = uint8_t(pixels[3 * i + k] >> 8);
                    expectedBgr[3 * i + k] = uint8_t(rgb[2 - k] >> 8);
                }
            }
            EXPECT_EQ(bytes, expectedBytes);
            EXPECT_EQ(bgr, expectedBgr);
        }
    }
    LimitVectorLevel(top);
}

}  // namespace
