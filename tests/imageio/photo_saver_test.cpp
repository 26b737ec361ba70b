#include <QBuffer>
#include <QImageReader>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "imageio/PhotoLoader.h"
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
    CImgBuff images[7];
    for (int i = 0; i < 5; ++i) {
        MakeReference(RandomPicture(sizes[i].first, sizes[i].second, i), images[i].buffer, PT_RGB8);
    }
    ASSERT_EQ(images[4].ConvertType(PT_HSV16), 1);
    MakeExpected(
        images[5].buffer, 9, 7,
        [](C_ImgBuff* b, int x, int y) { b->SetGray8(x, y, (x * 31 + y * 7) % 256); }, PT_GRAY8);
    // Any HSV value, across several runs of the row conversion.
    std::mt19937 random(6);
    MakeExpected(images[6].buffer, 613, 5, [&](C_ImgBuff* b, int x, int y) {
        b->SetHSV16(x, y, random() % 65536, x % 7 == 0 ? 65535 : random() % 65536,
                    random() % 65536);
    });

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

// A JPEG holds exactly what Qt's writer makes of the whole 8-bit picture at the chosen quality,
// though its rows are made band by band beside the encoder: HSV rows over several bands, RGB
// through the pixel accessor, and grey.
TEST(SavePhotoTest, JpegIsQtsEncodingOfTheEncoderPicture) {
    ScratchFolder folder;
    CImgBuff images[4];
    MakeReference(RandomPicture(41, 613, 3), images[0].buffer);
    MakeReference(RandomPicture(7, 5, 4), images[1].buffer, PT_RGB8);
    MakeReference(RandomPicture(70, 66, 5), images[2].buffer, PT_RGB16);
    MakeExpected(
        images[3].buffer, 19, 70,
        [](C_ImgBuff* b, int x, int y) { b->SetGray8(x, y, (x * 31 + y * 7) % 256); }, PT_GRAY8);
    const std::string path = folder.Path("photo.jpg");
    for (CImgBuff& image : images) {
        for (const int quality : {-1, 1, 90}) {
            SCOPED_TRACE(testing::Message() << image.buffer->type << " quality " << quality);
            SaveOptions options;
            options.quality = quality;
            ASSERT_EQ(SavePhoto(path.c_str(), &image, nullptr, nullptr, &options), 1);
            QByteArray expected;
            QBuffer buffer(&expected);
            buffer.open(QIODevice::WriteOnly);
            QImageWriter writer(&buffer, "jpeg");
            writer.setQuality(quality);
            ASSERT_TRUE(writer.write(MakeEncoderImage(*image.buffer)));
            EXPECT_EQ(folder.Read("photo.jpg"), expected);
        }
    }
}

// Refused and failed saves write nothing; an existing file is replaced only by a complete one.
TEST(SavePhotoTest, FailedSavesWriteNothingAndKeepTheOldFile) {
    ScratchFolder folder;
    const QByteArray old = "the user's earlier photo";
    ASSERT_TRUE(folder.Write("photo.bmp", old));
    const std::string path = folder.Path("photo.bmp");
    CImgBuff image, empty;
    MakeReference(RandomPicture(400, 300, 8), image.buffer, PT_RGB8);
    EXPECT_EQ(SavePhoto(path.c_str(), &empty), 0);
    EXPECT_EQ(SavePhoto(nullptr, &image), 0);
    EXPECT_EQ(SavePhoto(path.c_str(), nullptr), 0);

    // The file size limit stops the encoder part-way through. (BMP, as Qt's PNG writer leaks a
    // row buffer when libpng gives up.)
    PhotoError error;
    const int result =
        UnderFileSizeLimit(8192, [&] { return SavePhoto(path.c_str(), &image, &error); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error.text, std::strerror(EFBIG)) << "the system's own reason";

    EXPECT_EQ(folder.Entries(), QStringList{"photo.bmp"});
    EXPECT_EQ(folder.Read("photo.bmp"), old);

    ASSERT_EQ(SavePhoto(path.c_str(), &image), 1);
    ExpectSamePixels(ReadBack(path), *image.buffer);
    EXPECT_EQ(folder.Entries(), QStringList{"photo.bmp"});
}

// Linux paths: longer than any Windows limit, and names in bytes that are not UTF-8.
TEST(SavePhotoTest, AnyNameTheFileSystemTakesIsWritten) {
    ScratchFolder folder;
    CImgBuff image;
    MakeReference(RandomPicture(6, 4, 2), image.buffer, PT_RGB8);
    C_ImgBuff expected;
    expected.Copy(*image.buffer);
    ASSERT_EQ(expected.ConvertType(PT_HSV16), 1);
    for (const std::string& path :
         {KanaPath(folder.Path("k"), 400, ".png"), folder.Path("caf\xE9.png")}) {
        ASSERT_EQ(SavePhoto(path.c_str(), &image), 1) << path;
        CImgBuff loaded;
        ASSERT_EQ(LoadPhoto(path.c_str(), &loaded), 1) << path;
        EXPECT_TRUE(SameImage(*loaded.buffer, expected)) << path;
    }
    // Qt's own clean-up cannot name it.
    EXPECT_EQ(unlink(folder.Path("caf\xE9.png").c_str()), 0);
}

// Names of no format written, missing folders, and targets other than a regular file (or a link to
// one) are refused with their cause; what is there is left as it was and nothing is created.
TEST(SavePhotoTest, RefusalsNameTheirCauseAndWriteNothing) {
    ScratchFolder folder;
    ASSERT_TRUE(folder.Write("plain-file", "not a folder"));
    ASSERT_TRUE(
        folder.Run("mkfifo fifo.jpg && mkdir dir.jpg && ln -s fifo.jpg to-fifo.jpg && "
                   "ln -s dir.jpg to-dir.jpg && ln -s nowhere.jpg dangling.jpg && "
                   "ln -s loop-b.jpg loop-a.jpg && ln -s loop-a.jpg loop-b.jpg"));
    const FileDescriptor socketFd(socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = folder.Path("socket.jpg");
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ASSERT_EQ(bind(socketFd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const QStringList before = folder.Entries();
    CImgBuff image;
    MakeReference(RandomPicture(3, 2, 1), image.buffer, PT_RGB8);
    const std::pair<const char*, PhotoFailure> cases[] = {
        {"fifo.jpg", PhotoFailure::NotRegularFile},
        {"to-fifo.jpg", PhotoFailure::NotRegularFile},
        {"socket.jpg", PhotoFailure::NotRegularFile},
        {"dir.jpg", PhotoFailure::IsFolder},
        {"to-dir.jpg", PhotoFailure::IsFolder},
        {"dangling.jpg", PhotoFailure::DanglingLink},
        {"loop-a.jpg", PhotoFailure::LinkLoop},
        {"photo.gif", PhotoFailure::UnknownFormat},
        {"photo", PhotoFailure::UnknownFormat},
        {"photo.jpg.bak", PhotoFailure::UnknownFormat},
        {"dot.d/photo", PhotoFailure::UnknownFormat},
        {"missing/x.jpg", PhotoFailure::FolderMissing},
        {"plain-file/x.jpg", PhotoFailure::NoSuchFile},
    };
    for (const auto& [name, failure] : cases) {
        PhotoError error;
        EXPECT_EQ(SavePhoto(folder.Path(name).c_str(), &image, &error), 0) << name;
        EXPECT_EQ(error.failure, failure) << name << ": " << error.text;
    }
    EXPECT_EQ(folder.Entries(), before);
    EXPECT_TRUE(folder.Run("test -p fifo.jpg && test -S socket.jpg && test -d dir.jpg"));
}

TEST(SavePhotoTest, LinksAreWrittenThroughAndReplacedFilesKeepTheirPermissions) {
    ScratchFolder folder;
    ASSERT_TRUE(folder.Write("real.png", "old") && folder.Write("private.bmp", "old"));
    ASSERT_TRUE(
        folder.Run("chmod 640 real.png && chmod 600 private.bmp && "
                   "mkdir sub && ln -s ../real.png sub/link.png"));
    CImgBuff image;
    MakeReference(RandomPicture(5, 3, 9), image.buffer, PT_RGB8);
    ASSERT_EQ(SavePhoto(folder.Path("sub/link.png").c_str(), &image), 1);
    ASSERT_EQ(SavePhoto(folder.Path("private.bmp").c_str(), &image), 1);
    EXPECT_TRUE(folder.Run("test -L sub/link.png"));
    ExpectSamePixels(ReadBack(folder.Path("real.png")), *image.buffer);
    ExpectSamePixels(ReadBack(folder.Path("private.bmp")), *image.buffer);
    struct stat status {};
    ASSERT_EQ(stat(folder.Path("real.png").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    ASSERT_EQ(stat(folder.Path("private.bmp").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(folder.Entries(), QStringList({"private.bmp", "real.png", "sub"}));
}

// JPEG holds at most 65500 pixels a side: refused before any pixel is converted.
TEST(SavePhotoTest, SizesTheFormatCannotHoldAreRefused) {
    ScratchFolder folder;
    CImgBuff wide;
    ASSERT_EQ(wide.buffer->Create(65501, 1, PT_HSV16), 1);
    PhotoError error;
    EXPECT_EQ(SavePhoto(folder.Path("wide.jpg").c_str(), &wide, &error), 0);
    EXPECT_EQ(error.failure, PhotoFailure::TooLargeForFormat);
    EXPECT_NE(error.text.find("65501 x 1 is too large for JPEG"), std::string::npos) << error.text;
    EXPECT_FALSE(QFile::exists(QString::fromStdString(folder.Path("wide.jpg"))));
    EXPECT_EQ(SavePhoto(folder.Path("wide.png").c_str(), &wide), 1);
    ASSERT_EQ(wide.buffer->Create(65500, 1, PT_HSV16), 1);
    EXPECT_EQ(SavePhoto(folder.Path("edge.jpg").c_str(), &wide), 1);
}
