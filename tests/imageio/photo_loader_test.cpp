#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "image/ImgBuff.h"
#include "imageio/PhotoLoader.h"
#include "tests/imageio/PhotoFiles.h"

namespace {

std::string Extension(const char* path) {
    std::array<char, kExtensionBufferSize> buffer{};
    EXPECT_EQ(GetExtension(path, buffer.data()), 1);
    return buffer.data();
}

bool WritePicture(const QImage& picture, const std::string& path, const char* format) {
    QImageWriter writer(QString::fromStdString(path), format);
    return writer.write(picture);
}

// A picture of eight colours in blocks, so that palette files hold it exactly.
QImage FewColourPicture() {
    static const QRgb colours[8] = {0xFF000000, 0xFFFF0000, 0xFF00C000, 0xFF0000FF,
                                    0xFFFFFF00, 0xFF30A0F0, 0xFF808080, 0xFFFFFFFF};
    QImage picture(41, 29, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixel(x, y, colours[(x / 3 + y / 5) % 8]);
    }
    return picture;
}

// A 300 x 200 JPEG: left half red, right half blue.
bool WriteSidewaysJpeg(const std::string& path) {
    return RunTool(
        "convert -size 300x200 xc:red -fill blue -draw 'rectangle 150,0 299,199' "
        "-quality 95 '" +
        path + "'");
}

// An Exif block whose only entry is Orientation = 6 (stored rotated: turn 90 degrees clockwise).
QByteArray WithOrientationSix(const QByteArray& jpeg) {
    static const unsigned char app1[] = {0xFF, 0xE1, 0x00, 0x22, 'E',  'x',  'i',  'f',  0x00,
                                         0x00, 'M',  'M',  0x00, 0x2A, 0x00, 0x00, 0x00, 0x08,
                                         0x00, 0x01, 0x01, 0x12, 0x00, 0x03, 0x00, 0x00, 0x00,
                                         0x01, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    QByteArray result = jpeg.left(2);  // start of image
    result.append(reinterpret_cast<const char*>(app1), sizeof app1);
    result.append(jpeg.mid(2));
    return result;
}

uint32_t Crc32(const char* data, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= static_cast<unsigned char>(data[i]);
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A PNG whose header announces width x height but whose data is that of a tiny picture.
QByteArray PngAnnouncing(uint32_t width, uint32_t height) {
    QByteArray png;
    {
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter(&buffer, "png").write(RandomPicture(4, 4, 9));
    }
    for (int i = 0; i < 4; ++i) {
        png[16 + i] = static_cast<char>(width >> (24 - 8 * i));
        png[20 + i] = static_cast<char>(height >> (24 - 8 * i));
    }
    const uint32_t crc = Crc32(png.constData() + 12, 17);  // chunk type and the 13 header bytes
    for (int i = 0; i < 4; ++i) png[29 + i] = static_cast<char>(crc >> (24 - 8 * i));
    return png;
}

void MakeReference16(int width, int height, const std::vector<uint16_t>& rgb,
                     C_ImgBuff* reference) {
    ASSERT_EQ(reference->Create(width, height, PT_RGB16), 1);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const uint16_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
            reference->SetRGB16(x, y, p[0], p[1], p[2]);
        }
    }
    ASSERT_EQ(reference->ConvertType(PT_HSV16), 1);
}

}  // namespace

TEST(GetExtensionTest, TakesTheTextAfterTheLastDotOfTheWholePath) {
    EXPECT_EQ(Extension("photo.JPG"), "JPG");
    EXPECT_EQ(Extension("/a/b.tif.jpg"), "jpg");
    EXPECT_EQ(Extension("/holiday.2024/IMG_0001"), "2024/IMG_0001");
    EXPECT_EQ(Extension("/a/b/noext"), "");
    EXPECT_EQ(Extension("trailing."), "");
    EXPECT_EQ(Extension("写真.Tiff"), "Tiff");

    char buffer[kExtensionBufferSize];
    EXPECT_EQ(GetExtension(nullptr, buffer), 0);
    EXPECT_EQ(GetExtension("a.jpg", nullptr), 1);
}

TEST(GetExtensionTest, CutsAnOverlongExtensionToTheBuffer) {
    const std::string path = "x." + std::string(1000, 'e');
    std::vector<char> buffer(kExtensionBufferSize + 64, 'Z');
    ASSERT_EQ(GetExtension(path.c_str(), buffer.data()), 1);
    EXPECT_EQ(std::strlen(buffer.data()), kExtensionBufferSize - 1);
    for (size_t i = kExtensionBufferSize; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 'Z') << i;
}

TEST(LoadPhotoTest, TiffNamesInAnyCaseGoToTheOwnReaderAndKeepSixteenBits) {
    ScratchFolder folder;
    const int width = 7, height = 5;
    std::vector<uint16_t> rgb(width * height * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint16_t>(1000 + i * 1871);
    ASSERT_TRUE(WriteBytes(folder.Path("raw"), QByteArray(reinterpret_cast<const char*>(rgb.data()),
                                                          static_cast<qsizetype>(rgb.size() * 2))));
    // raw2tiff writes bit-reversed bytes (FillOrder 2); tiffcp rewrites them in normal order.
    ASSERT_TRUE(RunTool("raw2tiff -c none -w 7 -l 5 -d short -b 3 -p rgb " + folder.Path("raw") +
                        " " + folder.Path("reversed.tif")));
    ASSERT_TRUE(
        RunTool("tiffcp -f msb2lsb " + folder.Path("reversed.tif") + " " + folder.Path("a.TIF")));
    const QByteArray tiff = ReadBytes(folder.Path("a.TIF"));
    ASSERT_TRUE(WriteBytes(folder.Path("b.Tiff"), tiff));
    ASSERT_TRUE(WriteBytes(folder.Path("c.tiff"), tiff));
    C_ImgBuff reference;
    MakeReference16(width, height, rgb, &reference);

    for (const char* name : {"a.TIF", "b.Tiff", "c.tiff"}) {
        SCOPED_TRACE(name);
        CImgBuff target;
        ASSERT_EQ(LoadPhoto(folder.Path(name).c_str(), &target), 1);
        EXPECT_TRUE(SameImage(*target.buffer, reference));
    }

    // The same file under another extension is decoded by Qt, at 8 bits per channel.
    ASSERT_TRUE(WriteBytes(folder.Path("d.tif.png"), tiff));
    CImgBuff target;
    ASSERT_EQ(LoadPhoto(folder.Path("d.tif.png").c_str(), &target), 1);
    ASSERT_EQ(target.buffer->type, PT_HSV16);
    ASSERT_EQ(target.buffer->width, width);
    ASSERT_EQ(target.buffer->height, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint16_t h, s, v;
            ASSERT_EQ(target.buffer->GetHSV16(x, y, &h, &s, &v), 1);
            EXPECT_EQ(v % 257, 0) << x << "," << y;
        }
    }
}

TEST(LoadPhotoTest, FilesTheOwnReaderRefusesOrCannotNameLoadThroughQt) {
    ScratchFolder folder;
    const QImage picture = RandomPicture(13, 9, 1);
    C_ImgBuff reference;
    MakeReference(picture, &reference);
    // PNG content under TIFF names, and under a name with no extension at all.
    for (const char* name : {"png-inside.TIFF", "png-inside.tif", "noextension"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(WritePicture(picture, folder.Path(name), "png"));
        CImgBuff target;
        ASSERT_EQ(LoadPhoto(folder.Path(name).c_str(), &target), 1);
        EXPECT_TRUE(SameImage(*target.buffer, reference));
    }
}

TEST(LoadPhotoTest, TiffVariantsOutsideTheOwnSubsetLoadTheirExactPixels) {
    ScratchFolder folder;
    const QImage picture = FewColourPicture();
    C_ImgBuff reference;
    MakeReference(picture, &reference);
    const std::string source = folder.Path("source.png");
    ASSERT_TRUE(WritePicture(picture, source, "png"));
    const std::string plain = folder.Path("plain.tif");
    ASSERT_TRUE(RunTool("convert " + source + " -type TrueColor -compress None " + plain));

    // Qt's TIFF decoder with this libtiff fails on uncompressed tiles, so tiles are compressed.
    const std::vector<std::pair<const char*, std::string>> variants = {
        {"lzw.tif", "convert " + source + " -type TrueColor -compress LZW "},
        {"deflate.tif", "convert " + source + " -type TrueColor -compress Zip "},
        {"packbits.tif", "tiffcp -c packbits " + plain + " "},
        {"palette.tif", "convert " + source + " -type Palette -compress None "},
        {"planar.tif", "tiffcp -p separate " + plain + " "},
        {"tiled.tif", "tiffcp -c lzw -t -w 16 -l 16 " + plain + " "},
        {"tiled-planar.tif", "tiffcp -c lzw -t -w 16 -l 16 -p separate " + plain + " "},
    };
    for (const auto& [name, command] : variants) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(RunTool(command + folder.Path(name)));
        CImgBuff target;
        ASSERT_EQ(LoadPhoto(folder.Path(name).c_str(), &target), 1);
        EXPECT_TRUE(SameImage(*target.buffer, reference));
    }
}

TEST(LoadPhotoTest, GreyJpegArrivesAsThreeEqualChannels) {
    ScratchFolder folder;
    const std::string path = folder.Path("grey.jpg");
    ASSERT_TRUE(
        RunTool("convert -size 64x48 gradient:black-white -colorspace Gray -quality 90 " + path));
    QImageReader reader(QString::fromStdString(path));
    const QImage decoded = reader.read();
    ASSERT_EQ(decoded.format(), QImage::Format_Grayscale8) << "not a one-channel JPEG";

    CImgBuff target;
    ASSERT_EQ(LoadPhoto(path.c_str(), &target), 1);
    C_ImgBuff reference;
    MakeReference(decoded, &reference);
    EXPECT_TRUE(SameImage(*target.buffer, reference));
    for (int y = 0; y < 48; ++y) {
        uint16_t h, s, v;
        ASSERT_EQ(target.buffer->GetHSV16(5, y, &h, &s, &v), 1);
        EXPECT_EQ(s, 0);
    }
}

TEST(LoadPhotoTest, OrientationTagTurnsSidewaysPhotosUpright) {
    ScratchFolder folder;
    const std::string plain = folder.Path("plain.jpg");
    ASSERT_TRUE(WriteSidewaysJpeg(plain));
    const std::string tagged = folder.Path("tagged.jpg");
    ASSERT_TRUE(WriteBytes(tagged, WithOrientationSix(ReadBytes(plain))));
    const std::string tiff = folder.Path("tagged.tif");
    ASSERT_TRUE(RunTool("convert " + plain + " -compress LZW -orient RightTop " + tiff));

    uint8_t r, g, b;
    CImgBuff untagged;
    ASSERT_EQ(LoadPhoto(plain.c_str(), &untagged), 1);
    EXPECT_EQ(untagged.buffer->width, 300);
    EXPECT_EQ(untagged.buffer->height, 200);

    for (const std::string& path : {tagged, tiff}) {
        SCOPED_TRACE(path);
        CImgBuff target;
        ASSERT_EQ(LoadPhoto(path.c_str(), &target), 1);
        ASSERT_EQ(target.buffer->width, 200);
        ASSERT_EQ(target.buffer->height, 300);
        // Turned clockwise, the stored left (red) half is now on top.
        ASSERT_EQ(target.buffer->GetRGB8(100, 40, &r, &g, &b), 1);
        EXPECT_GT(r, 200);
        EXPECT_LT(b, 60);
        ASSERT_EQ(target.buffer->GetRGB8(100, 260, &r, &g, &b), 1);
        EXPECT_LT(r, 60);
        EXPECT_GT(b, 200);
    }
}

TEST(LoadPhotoTest, AlphaIsDroppedAndTheStoredColourKept) {
    ScratchFolder folder;
    QImage picture(3, 2, QImage::Format_ARGB32);
    const QRgb pixels[6] = {qRgba(200, 100, 50, 0),   qRgba(10, 220, 30, 128),
                            qRgba(255, 255, 255, 1),  qRgba(0, 0, 0, 0),
                            qRgba(90, 180, 250, 255), qRgba(250, 5, 125, 77)};
    for (int i = 0; i < 6; ++i) picture.setPixel(i % 3, i / 3, pixels[i]);
    const std::string path = folder.Path("alpha.png");
    ASSERT_TRUE(WritePicture(picture, path, "png"));
    ASSERT_EQ(QImage(QString::fromStdString(path)).pixel(0, 0), pixels[0]) << "file lost colour";

    CImgBuff target;
    ASSERT_EQ(LoadPhoto(path.c_str(), &target), 1);
    C_ImgBuff reference;
    MakeReference(picture, &reference);
    EXPECT_TRUE(SameImage(*target.buffer, reference));
}

TEST(LoadPhotoTest, PhotosAboveQtsDefaultAllocationLimitLoad) {
    ScratchFolder folder;
    // 36 megapixels: Qt alone refuses anything above about 33.5.
    QImage picture(6000, 6000, QImage::Format_Grayscale8);
    picture.fill(140);
    const std::string path = folder.Path("large.jpg");
    ASSERT_TRUE(WritePicture(picture, path, "jpeg"));

    CImgBuff target;
    ASSERT_EQ(LoadPhoto(path.c_str(), &target), 1);
    EXPECT_EQ(target.buffer->width, 6000);
    EXPECT_EQ(target.buffer->height, 6000);
    uint8_t r, g, b;
    ASSERT_EQ(target.buffer->GetRGB8(5999, 5999, &r, &g, &b), 1);
    EXPECT_NEAR(r, 140, 1);
}

TEST(LoadPhotoTest, FailuresLeaveTheEarlierPhotoInTheTarget) {
    ScratchFolder folder;
    ASSERT_TRUE(WritePicture(RandomPicture(2, 2, 3), folder.Path("earlier.png"), "png"));
    ASSERT_TRUE(WritePicture(RandomPicture(5, 5, 4), folder.Path("other.png"), "png"));
    QByteArray garbage(5000, '\0');
    for (int i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 7 + i / 13);
    ASSERT_TRUE(WriteBytes(folder.Path("garbage.jpg"), garbage));
    ASSERT_TRUE(WriteBytes(folder.Path("garbage.tif"), QByteArray("II*\0", 4) + garbage));
    // Beyond what any buffer can hold, and within it but with the data of a 4 x 4 picture.
    ASSERT_TRUE(WriteBytes(folder.Path("absurd.png"), PngAnnouncing(60000, 60000)));
    ASSERT_TRUE(WriteBytes(folder.Path("damaged.png"), PngAnnouncing(8000, 8000)));

    CImgBuff target;
    ASSERT_EQ(LoadPhoto(folder.Path("earlier.png").c_str(), &target), 1);
    C_ImgBuff earlier;
    earlier.Copy(*target.buffer);

    const std::vector<std::string> failing = {
        folder.Path("missing.jpg"),
        folder.Path("garbage.jpg"),
        folder.Path("garbage.tif"),
        folder.Path("absurd.png"),
        folder.Path("damaged.png"),
        folder.Path(""),
        // The reader must not go looking for "other.png" when "other" does not exist.
        folder.Path("other"),
        folder.Path("\xFF\xFE.png"),
    };
    for (const std::string& path : failing) {
        SCOPED_TRACE(path);
        EXPECT_EQ(LoadPhoto(path.c_str(), &target), 0);
        EXPECT_TRUE(SameImage(*target.buffer, earlier));
    }
    EXPECT_EQ(LoadPhoto(nullptr, &target), 0);
    EXPECT_EQ(LoadPhoto("", &target), 0);
    EXPECT_EQ(LoadPhoto(folder.Path("earlier.png").c_str(), nullptr), 0);
    EXPECT_TRUE(SameImage(*target.buffer, earlier));
}

TEST(LoadPhotoTest, PathsUpTo259Utf16UnitsLoadWhateverTheirByteLength) {
    ScratchFolder folder;
    const QImage picture = RandomPicture(3, 3, 5);
    const std::string fits = KanaPath(folder.Path("a"), 259, ".png");
    const std::string tooLong = KanaPath(folder.Path("b"), 260, ".png");
    ASSERT_GT(fits.size(), 600u);
    ASSERT_TRUE(WritePicture(picture, fits, "png"));
    ASSERT_TRUE(WritePicture(picture, tooLong, "png"));

    CImgBuff target;
    EXPECT_EQ(LoadPhoto(fits.c_str(), &target), 1);
    EXPECT_EQ(LoadPhoto(tooLong.c_str(), &target), 0);
}
