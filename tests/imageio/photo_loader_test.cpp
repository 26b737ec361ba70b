#include <QImageReader>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "imageio/PhotoFormats.h"
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

// Each decoder gets its files by their first bytes, whatever their names, and gives their exact
// pixels: TIFFs keep 16 bits (the own reader's for a plain file, libtiff's for a compressed copy,
// where Qt keeps 8); the files both TIFF readers refuse, and PNGs however named, go to Qt (alpha
// dropped, the stored colour kept), and a grey JPEG, also named .tif, arrives as three equal
// channels. Every refusal names its cause and leaves the earlier photo in the target: names that
// are no photo file (a FIFO refused without waiting for a writer), damaged files, and pictures
// whose header claims more pixels than the limit, refused before anything is decoded: a JPEG, a
// TIFF named .tif or not, and small pictures one pixel above the caller's limit, which load at the
// limit.
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
    // A text chunk after the header stating 2 GB, which the file does not hold.
    ASSERT_TRUE(
        folder.Write("text-bomb.png",
                     folder.Read("source.png").insert(33, QByteArray("\x7F\xFF\xFF\xF0tEXtk", 9))));
    folder.Shell(
        "raw2tiff -M -c none -w 7 -l 5 -d short -b 3 -p rgb raw a.TIF && "
        "tiffcp -c zip -t -w 16 -l 16 a.TIF Tiled.TIFF && "
        "convert source.png -type TrueColor -compress None plain.tif && "
        "tiffcp -f lsb2msb plain.tif fill-order-2.tif && cp source.png png-inside.TIFF && "
        "cp source.png noextension && "
        "convert -size 64x48 gradient:black-white -colorspace Gray grey.jpg && "
        "cp grey.jpg grey-inside.tif && "
        "mkfifo fifo.jpg && mkdir dir.jpg && ln -s loop-b.jpg loop-a.jpg && "
        "ln -s loop-a.jpg loop-b.jpg && convert -size 10x1 xc:gray -compress None wide.tif && "
        "tiffset -s 256 26000 wide.tif && tiffset -s 257 26000 wide.tif && "
        "cp wide.tif wide.image && convert other.png other.tif");
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
        {None, {"grey.jpg", "grey-inside.tif"}, threeGreys},
        {NoSuchFile, {"missing.jpg", "file/x.jpg", "other", "\xFF\xFE.png"}, earlier},
        {IsFolder, {"", "dir.jpg"}, earlier},
        {NotRegularFile, {"fifo.jpg"}, earlier},
        {LinkLoop, {"loop-a.jpg"}, earlier},
        {PathTooLong, {std::string(300, 'n') + ".jpg"}, earlier},
        {NotAPhoto, {"garbage.jpg", "garbage.tif", "damaged.ppm"}, earlier},
        {Damaged, {"text-bomb.png"}, earlier, "tEXt chunk states 2147483632 bytes"},
        {TooManyPixels, {"bomb.jpg", "wide.tif", "wide.image"}, earlier, "26000 x 26000"},
        {TooManyPixels, {"other.png", "other.jpg", "other.tif"}, earlier, "40 x 30"}};
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
    for (const char* name : {"other.png", "other.jpg", "other.tif"})
        EXPECT_EQ(LoadPhoto(folder.Path(name).c_str(), &target, nullptr, {40 * 30}), 1) << name;
}

// A file cut in half loads only when damage is allowed, saying that about half its rows, the lower
// ones, are missing, and is refused otherwise naming them; the whole file is not damaged. The TIFF
// is one the saver wrote, its directory first. (The plain TIFF reader's count is checked with its
// hand-built files.)
TEST(LoadPhotoTest, AFileCutShortSaysItsLowerRowsAreDamaged) {
    ScratchFolder folder;
    folder.Shell(
        "convert -size 600x900 plasma:fractal -seed 3 -depth 8 whole.png && "
        "convert whole.png -quality 90 whole.jpg");
    CImgBuff photo;
    ASSERT_TRUE(LoadPhoto(folder.Path("whole.png").c_str(), &photo) &&
                SavePhoto(folder.Path("whole.tif").c_str(), &photo));
    for (const std::string name : {"whole.jpg", "whole.png", "whole.tif"}) {
        const QByteArray whole = folder.Read(name);
        for (const bool cut : {false, true}) {
            const std::string path = folder.Path("cut-" + name);
            ASSERT_TRUE(folder.Write("cut-" + name, whole.left(whole.size() / (cut ? 2 : 1))));
            PhotoOrigin origin;
            ASSERT_TRUE(LoadPhoto(path.c_str(), &photo, nullptr, {.allowDamaged = true}, &origin));
            const int32_t rows = origin.damagedRows;
            EXPECT_TRUE(photo.buffer->height == 900 && (cut ? rows >= 300 && rows <= 600 : !rows))
                << name << (cut ? " cut: " : ": ") << rows;
            PhotoError error;
            EXPECT_EQ(LoadPhoto(path.c_str(), &photo, &error), !cut);
            EXPECT_EQ(
                error.text,
                cut ? "damaged: the lower " + std::to_string(rows) + " rows are missing" : "");
        }
    }
}

// The EXIF orientation of a PNG's eXIf chunk or a WebP's EXIF chunk (exiftool's) turns the picture
// as ImageMagick's turns of it show, and the photo saved from it stands with Orientation 1.
TEST(LoadPhotoTest, PngAndWebpStandAsTheirExifSays) {
    ScratchFolder folder;
    folder.Shell(
        "convert -size 37x23 -seed 2 plasma: -depth 8 p.png && "
        "convert p.png -define webp:lossless=true p.webp");
    const std::pair<int, const char*> turns[] = {
        {6, "-rotate 90"}, {8, "-rotate 270"}, {3, "-rotate 180"}, {5, "-transpose"}, {2, "-flop"}};
    for (const std::string format : {"png", "webp"}) {
        for (const auto& [orientation, turn] : turns) {
            const std::string name = std::to_string(orientation) + "." + format;
            folder.Shell("cp p." + format + " " + name + " && convert p.png " + turn +
                         " upright.png && exiftool -q -overwrite_original -Orientation#=" +
                         std::to_string(orientation) + " " + name);
            CImgBuff loaded, upright;
            PhotoOrigin origin;
            ASSERT_TRUE(LoadPhoto(folder.Path(name).c_str(), &loaded, nullptr, {}, &origin) &&
                        LoadPhoto(folder.Path("upright.png").c_str(), &upright));
            EXPECT_TRUE(SameImage(*loaded.buffer, *upright.buffer)) << name;
            ASSERT_TRUE(SavePhoto(folder.Path("saved.png").c_str(), &loaded, nullptr, &origin));
            EXPECT_EQ(folder.Output("exiftool -s3 -n -Orientation saved.png"), "1\n") << name;
        }
    }
}
