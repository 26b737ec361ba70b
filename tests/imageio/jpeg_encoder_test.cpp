#include <QBuffer>
#include <QImageWriter>

#include <cstring>
#include <random>

#include "imageio/JpegEncoder.h"
#include "tests/imageio/PhotoFiles.h"

namespace {

// Noise, or smooth colour fields with a little noise as photos have.
QImage TestPicture(int width, int height, bool grey, bool smooth, uint32_t seed) {
    QImage picture(width, height, grey ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    std::mt19937 random(seed);
    const int channels = grey ? 1 : 3;
    for (int y = 0; y < height; ++y) {
        uchar* row = picture.scanLine(y);
        for (int x = 0; x < width * channels; ++x) {
            const int field = (x / channels * (3 + x % channels) + y * 5) % 256;
            row[x] = static_cast<uchar>(smooth ? (field + random() % 9) % 256 : random());
        }
    }
    return picture;
}

QByteArray WrittenByQt(const QImage& picture, int quality) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    EXPECT_TRUE(writer.write(picture));
    return bytes;
}

int Encode(const QImage& picture, int quality, QByteArray* bytes, PhotoError* error = nullptr) {
    const JpegPicture header{
        picture.width(), picture.height(),        picture.format() == QImage::Format_Grayscale8,
        quality,         picture.dotsPerMeterX(), picture.dotsPerMeterY()};
    const size_t rowBytes = static_cast<size_t>(picture.width()) * (header.grey ? 1 : 3);
    return EncodeJpeg(
        header,
        [&](uint32_t first, uint32_t count, uint8_t* rows, size_t stride) {
            for (uint32_t i = 0; i < count; ++i) {
                std::memcpy(rows + i * stride, picture.constScanLine(first + i), rowBytes);
            }
        },
        bytes, error);
}

}  // namespace

// Byte for byte what Qt's writer makes of the same picture: odd sizes, widths off the 8 and 16
// pixel blocks, heights over several bands, grey and colour, the whole range of qualities, and
// densities that Qt writes per inch, per centimetre, or per centimetre on a tie.
TEST(EncodeJpegTest, GivesQtsBytes) {
    const std::pair<int, int> sizes[] = {{1, 1},     {2, 3},    {17, 9}, {33, 16},
                                         {129, 200}, {300, 65}, {5, 777}};
    const std::pair<int, int> densities[] = {{0, 0}, {2835, 2835}, {1000, 5007}, {5000, 5000}};
    int index = 0;
    for (const auto& [width, height] : sizes) {
        for (const bool grey : {false, true}) {
            for (const bool smooth : {false, true}) {
                QImage picture = TestPicture(width, height, grey, smooth, index);
                const auto [dotsX, dotsY] = densities[index++ % 4];
                if (dotsX != 0) {
                    picture.setDotsPerMeterX(dotsX);
                    picture.setDotsPerMeterY(dotsY);
                }
                for (const int quality : {-1, 1, 50, 75, 95, 100}) {
                    SCOPED_TRACE(testing::Message() << width << " x " << height << " grey " << grey
                                                    << " quality " << quality);
                    QByteArray bytes;
                    ASSERT_EQ(Encode(picture, quality, &bytes), 1);
                    EXPECT_EQ(bytes, WrittenByQt(picture, quality));
                }
            }
        }
    }
}

// libjpeg's refusals come back in its words, with the band thread stopped and nothing leaked.
TEST(EncodeJpegTest, RefusalsNameTheirCause) {
    QByteArray bytes;
    PhotoError error;
    EXPECT_EQ(Encode(TestPicture(65501, 100, false, false, 1), 75, &bytes, &error), 0);
    EXPECT_EQ(error.failure, PhotoFailure::SystemError);
    EXPECT_NE(error.text.find("65500"), std::string::npos) << error.text;
    EXPECT_EQ(Encode(QImage(), 75, &bytes, &error), 0);
    EXPECT_EQ(error.failure, PhotoFailure::SystemError);
}
