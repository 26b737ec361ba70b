#include <QImageReader>

#include <sys/resource.h>

#include <csignal>
#include <string>

#include "imageio/PhotoSaver.h"
#include "tests/imageio/PhotoFiles.h"

namespace {

QImage ReadBack(const std::string& path, QByteArray* format = nullptr) {
    QImageReader reader(QString::fromStdString(path));
    reader.setDecideFormatFromContent(true);
    if (format != nullptr) *format = reader.format();
    return reader.read();
}

// Every pixel of a saved picture against the image's own 8-bit view of it.
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

}  // namespace

// Every name in any case gets its format. Odd widths leave padding at the end of bitmap rows,
// odd heights a middle row; HSV images are written from the high bytes of their RGB, grey ones as
// grey; saving leaves the image as it was.
TEST(SavePhotoTest, EachExtensionGetsItsFormatAndLosslessOnesEveryPixel) {
    ScratchFolder folder;
    const std::pair<int, int> sizes[] = {{1, 1}, {2, 3}, {5, 4}, {37, 23}, {19, 11}};
    CImgBuff images[6];
    for (int i = 0; i < 5; ++i) {
        MakeReference(RandomPicture(sizes[i].first, sizes[i].second, i), images[i].buffer, PT_RGB8);
    }
    ASSERT_EQ(images[4].ConvertType(PT_HSV16), 1);
    MakeExpected(
        images[5].buffer, 9, 7,
        [](C_ImgBuff* b, int x, int y) { b->SetGray8(x, y, (x * 31 + y * 7) % 256); }, PT_GRAY8);

    const std::pair<const char*, QByteArray> names[] = {
        {"a.png", "png"},   {"b.PNG", "png"},  {"c.bmp", "bmp"},   {"d.tif", "tiff"},
        {"e.TIFF", "tiff"}, {"f.JPG", "jpeg"}, {"g.jpeg", "jpeg"}, {"h.Jpg", "jpeg"}};
    for (CImgBuff& image : images) {
        C_ImgBuff before;
        before.Copy(*image.buffer);
        for (const auto& [name, format] : names) {
            const std::string path = folder.Path(std::to_string(before.width) + name);
            SCOPED_TRACE(path);
            ASSERT_EQ(SavePhoto(path.c_str(), &image), 1);
            QByteArray written;
            const QImage saved = ReadBack(path, &written);
            EXPECT_EQ(written, format);
            EXPECT_TRUE(before.type != PT_GRAY8 || saved.isGrayscale());
            if (format == "jpeg") {
                EXPECT_EQ(saved.size(), QSize(before.width, before.height));
            } else {
                ExpectSamePixels(saved, before);
            }
        }
        EXPECT_TRUE(SameImage(*image.buffer, before)) << "saving changed the image";
    }
}

// Refused and failed saves write nothing; an existing file is replaced only by a complete one.
TEST(SavePhotoTest, FailedSavesWriteNothingAndKeepTheOldFile) {
    ScratchFolder folder;
    const QByteArray old = "the user's earlier photo";
    ASSERT_TRUE(folder.Write("plain-file", "not a folder") && folder.Write("photo.bmp", old));
    const std::string path = folder.Path("photo.bmp");
    CImgBuff image, empty;
    MakeReference(RandomPicture(400, 300, 8), image.buffer, PT_RGB8);
    const std::string refused[] = {
        folder.Path("photo.gif"),        folder.Path("photo"),
        folder.Path("photo.jpg.bak"),    folder.Path("photo.webp"),
        folder.Path("plain-file/x.jpg"), folder.Path("missing/x.jpg"),
        folder.Path("dot.d/photo"),      KanaPath(folder.Path("k"), 260, ".jpg"),
        folder.Path("\xFF\xFE.jpg"),
    };
    for (const std::string& p : refused) EXPECT_EQ(SavePhoto(p.c_str(), &image), 0) << p;
    EXPECT_EQ(SavePhoto(path.c_str(), &empty), 0);
    EXPECT_EQ(SavePhoto(nullptr, &image), 0);
    EXPECT_EQ(SavePhoto(path.c_str(), nullptr), 0);

    // The file size limit stops the encoder part-way through. (BMP, as Qt's PNG writer leaks a
    // row buffer when libpng gives up.)
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 8192;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int result = SavePhoto(path.c_str(), &image);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(result, 0);

    const QStringList inputs = {"k", "photo.bmp", "plain-file"};  // k holds the kana folders
    EXPECT_EQ(folder.Entries(), inputs);
    EXPECT_EQ(folder.Read("photo.bmp"), old);
    EXPECT_EQ(folder.Read("plain-file"), "not a folder");

    ASSERT_EQ(SavePhoto(path.c_str(), &image), 1);
    ExpectSamePixels(ReadBack(path), *image.buffer);
    EXPECT_EQ(SavePhoto(KanaPath(folder.Path("k"), 259, ".jpg").c_str(), &image), 1);
    EXPECT_EQ(folder.Entries(), inputs);
}
