#include <QImageReader>

#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "image/ImgBuff.h"
#include "imageio/PhotoSaver.h"
#include "tests/imageio/PhotoFiles.h"

namespace {

// An RGB8 image holding picture's colours.
void MakeRgb8(const QImage& picture, CImgBuff* image) {
    ASSERT_EQ(image->buffer->Create(picture.width(), picture.height(), PT_RGB8), 1);
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            const QRgb c = picture.pixel(x, y);
            image->buffer->SetRGB8(x, y, qRed(c), qGreen(c), qBlue(c));
        }
    }
}

QImage ReadBack(const std::string& path, QByteArray* format) {
    QImageReader reader(QString::fromStdString(path));
    reader.setDecideFormatFromContent(true);
    if (format != nullptr) *format = reader.format();
    return reader.read();
}

// Every pixel of a saved picture against the image's own 8-bit view of each pixel.
void ExpectSamePixels(const QImage& saved, const C_ImgBuff& image) {
    ASSERT_EQ(saved.width(), image.width);
    ASSERT_EQ(saved.height(), image.height);
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            uint8_t r, g, b;
            ASSERT_EQ(image.GetRGB8(x, y, &r, &g, &b), 1);
            ASSERT_EQ(saved.pixel(x, y), qRgb(r, g, b)) << x << "," << y;
        }
    }
}

double MeanDifference(const QImage& saved, const QImage& picture) {
    double sum = 0;
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            const QRgb a = saved.pixel(x, y), b = picture.pixel(x, y);
            sum += std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) +
                   std::abs(qBlue(a) - qBlue(b));
        }
    }
    return sum / (3.0 * picture.width() * picture.height());
}

QImage SmoothPicture(int width, int height) {
    QImage picture(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            picture.setPixel(x, y, qRgb(x * 255 / width, y * 255 / height, 128));
    }
    return picture;
}

}  // namespace

TEST(SavePhotoTest, LosslessFormatsRoundTripEveryPixelInPlace) {
    ScratchFolder folder;
    // Odd widths leave padding at the end of bitmap rows; odd heights a middle row.
    const std::vector<std::pair<int, int>> sizes = {{1, 1}, {2, 3}, {5, 4}, {37, 23}};
    const std::vector<std::pair<std::string, QByteArray>> names = {{"a.png", "png"},
                                                                   {"b.PNG", "png"},
                                                                   {"c.bmp", "bmp"},
                                                                   {"d.tif", "tiff"},
                                                                   {"e.TIFF", "tiff"}};
    for (const auto& [width, height] : sizes) {
        CImgBuff image;
        MakeRgb8(RandomPicture(width, height, width * 100 + height), &image);
        for (const auto& [name, format] : names) {
            SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " " + name);
            const std::string path = folder.Path(std::to_string(width) + name);
            ASSERT_EQ(SavePhoto(path.c_str(), &image), 1);
            QByteArray written;
            const QImage saved = ReadBack(path, &written);
            EXPECT_EQ(written, format);
            ExpectSamePixels(saved, *image.buffer);
        }
    }
}

TEST(SavePhotoTest, HsvImagesAreWrittenFromTheHighBytesOfTheirRgb) {
    ScratchFolder folder;
    CImgBuff image;
    MakeRgb8(RandomPicture(19, 11, 7), &image);
    ASSERT_EQ(image.ConvertType(PT_HSV16), 1);
    C_ImgBuff before;
    before.Copy(*image.buffer);

    const std::string path = folder.Path("hsv.png");
    ASSERT_EQ(SavePhoto(path.c_str(), &image), 1);
    ExpectSamePixels(ReadBack(path, nullptr), *image.buffer);
    EXPECT_TRUE(SameImage(*image.buffer, before)) << "saving changed the image";
}

TEST(SavePhotoTest, GreyImagesAreWrittenAsGrey) {
    ScratchFolder folder;
    CImgBuff image;
    ASSERT_EQ(image.buffer->Create(9, 7, PT_GRAY8), 1);
    for (int y = 0; y < 7; ++y) {
        for (int x = 0; x < 9; ++x) image.buffer->SetGray8(x, y, (x * 31 + y * 7) & 255);
    }
    const std::string png = folder.Path("grey.png");
    ASSERT_EQ(SavePhoto(png.c_str(), &image), 1);
    const QImage saved = ReadBack(png, nullptr);
    EXPECT_TRUE(saved.isGrayscale());
    ExpectSamePixels(saved, *image.buffer);

    const std::string jpeg = folder.Path("grey.jpg");
    ASSERT_EQ(SavePhoto(jpeg.c_str(), &image), 1);
    EXPECT_EQ(ReadBack(jpeg, nullptr).format(), QImage::Format_Grayscale8);
}

TEST(SavePhotoTest, JpegNamesInAnyCaseAreWrittenAsJpeg) {
    ScratchFolder folder;
    const QImage picture = SmoothPicture(64, 48);
    CImgBuff image;
    MakeRgb8(picture, &image);
    for (const char* name : {"a.JPG", "b.jpg", "c.Jpeg"}) {
        SCOPED_TRACE(name);
        const std::string path = folder.Path(name);
        ASSERT_EQ(SavePhoto(path.c_str(), &image), 1);
        EXPECT_TRUE(ReadBytes(path).startsWith("\xFF\xD8\xFF"));
        QByteArray format;
        const QImage saved = ReadBack(path, &format);
        EXPECT_EQ(format, "jpeg");
        EXPECT_LT(MeanDifference(saved, picture), 3.0);
    }
}

TEST(SavePhotoTest, RefusedSavesWriteNothing) {
    ScratchFolder folder;
    ASSERT_TRUE(WriteBytes(folder.Path("plain-file"), "not a folder"));
    CImgBuff image;
    MakeRgb8(RandomPicture(8, 8, 2), &image);
    CImgBuff empty;

    const std::vector<std::string> refused = {
        folder.Path("photo.gif"),        folder.Path("photo"),
        folder.Path("photo.jpg.bak"),    folder.Path("photo.webp"),
        folder.Path("plain-file/x.jpg"), folder.Path("missing/x.jpg"),
        folder.Path("dot.d/photo"),      KanaPath(folder.Path("k"), 260, ".jpg"),
        folder.Path("\xFF\xFE.jpg"),
    };
    for (const std::string& path : refused) {
        SCOPED_TRACE(path);
        EXPECT_EQ(SavePhoto(path.c_str(), &image), 0);
    }
    EXPECT_EQ(SavePhoto(folder.Path("empty.jpg").c_str(), &empty), 0);
    EXPECT_EQ(SavePhoto(nullptr, &image), 0);
    EXPECT_EQ(SavePhoto("", &image), 0);
    EXPECT_EQ(SavePhoto(folder.Path("none.jpg").c_str(), nullptr), 0);

    // Only the two inputs made above: the plain file and the kana folders.
    EXPECT_EQ(folder.Entries(), QStringList({"k", "plain-file"}));
    EXPECT_EQ(ReadBytes(folder.Path("plain-file")), "not a folder");
    // The longest accepted path works.
    EXPECT_EQ(SavePhoto(KanaPath(folder.Path("k"), 259, ".jpg").c_str(), &image), 1);
}

TEST(SavePhotoTest, ReplacingAFileIsAllOrNothing) {
    ScratchFolder folder;
    const QByteArray old = "the user's earlier photo";
    const std::string path = folder.Path("photo.bmp");
    ASSERT_TRUE(WriteBytes(path, old));
    CImgBuff big;
    MakeRgb8(RandomPicture(400, 300, 8), &big);
    CImgBuff empty;

    // Refused before writing: an image with nothing to save.
    EXPECT_EQ(SavePhoto(path.c_str(), &empty), 0);
    EXPECT_EQ(ReadBytes(path), old);

    // Refused while writing: the file size limit stops the encoder part-way through. (BMP, as
    // Qt's PNG writer leaks a row buffer when libpng gives up.)
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 8192;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int result = SavePhoto(path.c_str(), &big);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadBytes(path), old);
    EXPECT_EQ(folder.Entries(), QStringList({"photo.bmp"}));

    // A save that succeeds replaces the file and leaves nothing else.
    ASSERT_EQ(SavePhoto(path.c_str(), &big), 1);
    ExpectSamePixels(ReadBack(path, nullptr), *big.buffer);
    EXPECT_EQ(folder.Entries(), QStringList({"photo.bmp"}));
}
