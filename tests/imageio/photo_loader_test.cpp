#include <QImageReader>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "imageio/PhotoLoader.h"
#include "imageio/PhotoMetadata.h"
#include "imageio/PhotoSaver.h"
#include "imageio/tiff/TiffReader.h"
#include "imageio/tiff/TiffReaderTesting.h"
#include "tests/imageio/PhotoFiles.h"

// An overlong extension is cut to the buffer, which is not overrun.
TEST(GetExtensionTest, CutsAnOverlongExtensionToTheBuffer) {
    std::vector<char> buffer(kExtensionBufferSize + 64, 'Z');
    ASSERT_EQ(GetExtension(("x." + std::string(1000, 'e')).c_str(), buffer.data()), 1);
    EXPECT_EQ(buffer.data(), std::string(kExtensionBufferSize - 1, 'e'));
    EXPECT_EQ(std::count(buffer.begin() + kExtensionBufferSize, buffer.end(), 'Z'), 64);
}

// Each decoder gets its files and gives their exact pixels: TIFFs named in any case keep 16 bits
// (the own reader's for a plain file, libtiff's for a compressed copy, where Qt keeps 8); the
// files both TIFF readers refuse or are not offered go to Qt (alpha dropped, the stored colour
// kept), and a grey JPEG arrives as three equal channels. Every refusal names its cause and
// leaves the earlier photo in the target: names that are no photo file (a FIFO refused without
// waiting for a writer), damaged files, and pictures whose header claims more pixels than the
// limit, refused before anything is decoded: a JPEG, a TIFF read by the own reader and by Qt, and
// small pictures one pixel above the caller's limit, which load at the limit.
TEST(LoadPhotoTest, EachFileLoadsWithItsExactPixelsOrIsRefusedWithItsCause) {
    ScratchFolder folder;
    const QImage picture = RandomPicture(41, 29, 5);
    QImage translucent = picture.convertToFormat(QImage::Format_ARGB32);
    for (int i = 0; i < 41 * 29; ++i)
        translucent.setPixel(i % 41, i / 41,
                             (picture.pixel(i % 41, i / 41) & 0xFFFFFF) | i % 256 << 24);
    const QByteArray garbage = RandomBytes(5000, 1);
    ASSERT_TRUE(picture.save(folder.Path("source.png").c_str()) &&
                translucent.save(folder.Path("alpha.png").c_str()) &&
                RandomPicture(40, 30, 4).save(folder.Path("other.png").c_str()) &&
                RandomPicture(40, 30, 1).save(folder.Path("other.jpg").c_str()) &&
                folder.Write("raw", RandomBytes(7 * 5 * 6, 3)) &&
                folder.Write("garbage.jpg", garbage) && folder.Write("file", "x") &&
                folder.Write("garbage.tif", QByteArray("II*\0", 4) + garbage) &&
                folder.Write("damaged.ppm", "P6 800 800 255\n" + garbage));
    QByteArray bomb = folder.Read("other.jpg");
    // Height then width, big-endian, after the frame marker, the segment length and the precision.
    bomb.replace(bomb.indexOf("\xFF\xC0") + 5, 4, QByteArray("\x65\x90\x65\x90", 4));
    ASSERT_TRUE(folder.Write("bomb.jpg", bomb));
    folder.Shell(
        "raw2tiff -M -c none -w 7 -l 5 -d short -b 3 -p rgb raw a.TIF && "
        "tiffcp -c zip -t -w 16 -l 16 a.TIF Tiled.TIFF && "
        "convert source.png -type TrueColor -compress None plain.tif && "
        "tiffcp -f lsb2msb plain.tif fill-order-2.tif && cp source.png png-inside.TIFF && "
        "cp source.png noextension && "
        "convert -size 64x48 gradient:black-white -colorspace Gray grey.jpg && "
        "mkfifo fifo.jpg && mkdir dir.jpg && ln -s loop-b.jpg loop-a.jpg && "
        "ln -s loop-a.jpg loop-b.jpg && convert -size 10x1 xc:gray -compress None wide.tif && "
        "tiffset -s 256 26000 wide.tif && tiffset -s 257 26000 wide.tif && "
        "cp wide.tif wide.image");
    CImgBuff deep;
    ASSERT_EQ(LoadTiff(folder.Path("a.TIF").c_str(), &deep), 1);
    const QImage grey = QImageReader(QString::fromStdString(folder.Path("grey.jpg"))).read();
    ASSERT_EQ(grey.format(), QImage::Format_Grayscale8) << "not a one-channel JPEG";
    C_ImgBuff colour, threeGreys, earlier;
    MakeReference(picture, &colour);
    MakeReference(grey, &threeGreys);
    MakeReference(RandomPicture(2, 2, 3), &earlier);
    using enum PhotoFailure;
    // The reader must not go looking for "other.png" when "other" does not exist. Too many pixels
    // are counted against a limit of 1199.
    const struct {
        PhotoFailure failure;
        std::vector<std::string> names;
        const C_ImgBuff& expected;
        const char* text = "";
    } cases[] = {
        {None, {"a.TIF", "Tiled.TIFF"}, *deep.buffer},
        {None, {"fill-order-2.tif", "png-inside.TIFF", "noextension", "alpha.png"}, colour},
        {None, {"grey.jpg"}, threeGreys},
        {NoSuchFile, {"missing.jpg", "file/x.jpg", "other", "\xFF\xFE.png"}, earlier},
        {IsFolder, {"", "dir.jpg"}, earlier},
        {NotRegularFile, {"fifo.jpg"}, earlier},
        {LinkLoop, {"loop-a.jpg"}, earlier},
        {PathTooLong, {std::string(300, 'n') + ".jpg"}, earlier},
        {NotAPhoto, {"garbage.jpg", "garbage.tif", "damaged.ppm"}, earlier},
        {TooManyPixels, {"bomb.jpg", "wide.tif", "wide.image"}, earlier, "26000 x 26000"},
        {TooManyPixels, {"other.png", "other.jpg"}, earlier, "40 x 30"}};
    for (const auto& c : cases) {
        for (const std::string& name : c.names) {
            PhotoError error;
            CImgBuff target;
            target.buffer->Copy(earlier);
            const uint64_t limit =
                c.failure == TooManyPixels ? 40 * 30 - 1 : kDefaultMaxPhotoPixels;
            EXPECT_EQ(LoadPhoto(folder.Path(name).c_str(), &target, &error, {limit}),
                      c.failure == None)
                << name;
            EXPECT_EQ(error.failure, c.failure) << name << ": " << error.text;
            EXPECT_NE(error.text.find(c.text), std::string::npos) << error.text;
            EXPECT_TRUE(SameImage(*target.buffer, c.expected)) << name;
        }
    }
    CImgBuff target;
    for (const char* name : {"other.png", "other.jpg"})
        EXPECT_EQ(LoadPhoto(folder.Path(name).c_str(), &target, nullptr, {40 * 30}), 1) << name;
}

// A little-endian 8-bit grey TIFF of one strip whose directory comes first, as cameras write it,
// so that a file cut short keeps its directory and loses only its lower rows.
QByteArray GreyTiff(uint16_t width, uint16_t height) {
    QByteArray tiff("II*\0\x08\0\0\0", 8);
    auto put = [&tiff](uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) tiff.append(static_cast<char>(value >> 8 * i));
    };
    const uint16_t entries[][2] = {{256, width}, {257, height}, {258, 8},      {259, 1}, {262, 1},
                                   {273, 0},     {277, 1},      {278, height}, {279, 0}};
    const uint32_t pixels = 8 + 2 + 9 * 12 + 4;
    put(9, 2);
    for (const auto& [tag, value] : entries) {
        put(tag, 2);
        put(3, 2);  // SHORT, but the offset and byte count as LONG
        put(1, 4);
        put(tag == 273 ? pixels : tag == 279 ? uint32_t{width} * height : value, 4);
    }
    put(0, 4);
    for (int i = 0; i < width * height; ++i) tiff.append(static_cast<char>(i * 7 / width));
    return tiff;
}

// A file cut in half loads only when damage is allowed, saying how many lower rows it lacks (the
// plain TIFF exactly, the compressed files within a third of the picture of half), and is refused
// otherwise naming them; the whole file is not damaged. The LZW TIFF is one the saver wrote.
TEST(LoadPhotoTest, AFileCutShortSaysItsLowerRowsAreDamaged) {
    ScratchFolder folder;
    folder.Shell(
        "convert -size 600x900 plasma:fractal -seed 3 -depth 8 whole.png && "
        "convert whole.png -quality 90 whole.jpg");
    ASSERT_TRUE(folder.Write("whole.tif", GreyTiff(100, 900)));
    CImgBuff saved;
    ASSERT_TRUE(LoadPhoto(folder.Path("whole.png").c_str(), &saved) &&
                SavePhoto(folder.Path("lzw.tif").c_str(), &saved));
    struct Case {
        const char* name;
        double kept;  // the share of the file left
        int32_t minRows, maxRows;
    };
    for (const Case& c : {Case{"whole.jpg", 1, 0, 0}, Case{"whole.png", 1, 0, 0},
                          Case{"whole.tif", 1, 0, 0}, Case{"lzw.tif", 1, 0, 0},
                          Case{"whole.jpg", 0.5, 300, 600}, Case{"whole.png", 0.5, 300, 600},
                          Case{"lzw.tif", 0.5, 300, 600}, Case{"whole.tif", 0.5, 451, 451}}) {
        const QByteArray whole = folder.Read(c.name);
        const std::string name = std::to_string(c.kept) + c.name;
        ASSERT_TRUE(folder.Write(name, whole.left(static_cast<qsizetype>(whole.size() * c.kept))));
        SCOPED_TRACE(name);
        CImgBuff photo;
        PhotoOrigin origin;
        ASSERT_TRUE(
            LoadPhoto(folder.Path(name).c_str(), &photo, nullptr, {.allowDamaged = true}, &origin));
        EXPECT_EQ(photo.buffer->height, 900);
        EXPECT_GE(origin.damagedRows, c.minRows);
        EXPECT_LE(origin.damagedRows, c.maxRows);
        PhotoError error;
        EXPECT_EQ(LoadPhoto(folder.Path(name).c_str(), &photo, &error), c.maxRows == 0);
        if (c.maxRows > 0)
            EXPECT_EQ(error.text, "damaged: the lower " + std::to_string(origin.damagedRows) +
                                      " rows are missing");
    }
}
