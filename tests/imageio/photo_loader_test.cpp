#include <QImageReader>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "imageio/PhotoLoader.h"
#include "imageio/tiff/TiffReader.h"
#include "tests/imageio/PhotoFiles.h"

TEST(GetExtensionTest, TakesTheTextAfterTheLastDotOfTheWholePath) {
    const std::pair<const char*, const char*> cases[] = {
        {"photo.JPG", "JPG"}, {"/a/b.tif.jpg", "jpg"}, {"/holiday.2024/IMG_0001", "2024/IMG_0001"},
        {"/a/b/noext", ""},   {"trailing.", ""},       {"写真.Tiff", "Tiff"}};
    char buffer[kExtensionBufferSize];
    for (const auto& [path, extension] : cases) {
        ASSERT_EQ(GetExtension(path, buffer), 1);
        EXPECT_STREQ(buffer, extension) << path;
    }
    EXPECT_EQ(GetExtension(nullptr, buffer), 0);
    EXPECT_EQ(GetExtension("a.jpg", nullptr), 1);

    // An overlong extension is cut to the buffer, which is not overrun.
    const std::string path = "x." + std::string(1000, 'e');
    std::vector<char> big(kExtensionBufferSize + 64, 'Z');
    ASSERT_EQ(GetExtension(path.c_str(), big.data()), 1);
    EXPECT_EQ(std::strlen(big.data()), kExtensionBufferSize - 1);
    EXPECT_EQ(std::count(big.begin() + kExtensionBufferSize, big.end(), 'Z'), 64);
}

// TIFF names in any case go to the own reader, which keeps 16 bits a channel where Qt keeps 8.
TEST(LoadPhotoTest, TiffNamesInAnyCaseGoToTheOwnReader) {
    ScratchFolder folder;
    ASSERT_TRUE(folder.Write("raw", RandomBytes(7 * 5 * 6, 3)));
    ASSERT_TRUE(folder.Run("raw2tiff -M -c none -w 7 -l 5 -d short -b 3 -p rgb raw a.TIF"));
    ASSERT_TRUE(folder.Run("cp a.TIF b.Tiff"));
    CImgBuff own;
    ASSERT_EQ(LoadTiff(folder.Path("a.TIF").c_str(), &own), 1);
    for (const char* name : {"a.TIF", "b.Tiff"}) {
        CImgBuff target;
        ASSERT_EQ(LoadPhoto(folder.Path(name).c_str(), &target), 1) << name;
        EXPECT_TRUE(SameImage(*target.buffer, *own.buffer)) << name;
    }
}

// Files the own reader refuses or is not offered, with their exact pixels: eight colours in blocks.
// Alpha is dropped and the stored colour kept. (Compressed, tiled, planar and palette TIFFs are
// compared with the own reader in the libtiff decoder's tests.)
TEST(LoadPhotoTest, RefusedAndOtherFilesLoadWithTheirExactPixels) {
    ScratchFolder folder;
    const QRgb colours[8] = {0xFF000000, 0xFFFF0000, 0xFF00C000, 0xFF0000FF,
                             0xFFFFFF00, 0xFF30A0F0, 0xFF808080, 0xFFFFFFFF};
    QImage picture(41, 29, QImage::Format_RGB32), translucent(41, 29, QImage::Format_ARGB32);
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            const QRgb c = colours[(x / 3 + y / 5) % 8];
            picture.setPixel(x, y, c);
            translucent.setPixel(x, y, (c & 0xFFFFFF) | uint32_t(x * 37 + y * 11) % 256 << 24);
        }
    }
    C_ImgBuff reference;
    MakeReference(picture, &reference);
    ASSERT_TRUE(WritePicture(picture, folder.Path("source.png"), "png"));
    ASSERT_TRUE(WritePicture(translucent, folder.Path("alpha.png"), "png"));
    ASSERT_TRUE(folder.Run("convert source.png -type TrueColor -compress None plain.tif"));
    const std::pair<const char*, std::string> variants[] = {
        {"fill-order-2.tif", "tiffcp -f lsb2msb plain.tif "},
        {"png-inside.TIFF", "cp source.png "},
        {"noextension", "cp source.png "},
        {"alpha.png", "test -f "},
    };
    for (const auto& [name, command] : variants) {
        ASSERT_TRUE(folder.Run(command + name)) << name;
        CImgBuff target;
        ASSERT_EQ(LoadPhoto(folder.Path(name).c_str(), &target), 1) << name;
        EXPECT_TRUE(SameImage(*target.buffer, reference)) << name;
    }
}

TEST(LoadPhotoTest, GreyJpegArrivesAsThreeEqualChannels) {
    ScratchFolder folder;
    ASSERT_TRUE(folder.Run("convert -size 64x48 gradient:black-white -colorspace Gray grey.jpg"));
    const QImage decoded = QImageReader(QString::fromStdString(folder.Path("grey.jpg"))).read();
    ASSERT_EQ(decoded.format(), QImage::Format_Grayscale8) << "not a one-channel JPEG";
    CImgBuff target;
    ASSERT_EQ(LoadPhoto(folder.Path("grey.jpg").c_str(), &target), 1);
    C_ImgBuff reference;
    MakeReference(decoded, &reference);
    EXPECT_TRUE(SameImage(*target.buffer, reference));
}

TEST(LoadPhotoTest, PhotosAboveQtsDefaultAllocationLimitLoad) {
    ScratchFolder folder;
    // 36 megapixels: Qt alone refuses anything above about 33.5.
    QImage picture(6000, 6000, QImage::Format_Grayscale8);
    picture.fill(140);
    ASSERT_TRUE(WritePicture(picture, folder.Path("large.jpg"), "jpeg"));
    CImgBuff target;
    ASSERT_EQ(LoadPhoto(folder.Path("large.jpg").c_str(), &target), 1);
    EXPECT_EQ(target.buffer->height, 6000);
    uint8_t r, g, b;
    ASSERT_EQ(target.buffer->GetRGB8(5999, 5999, &r, &g, &b), 1);
    EXPECT_NEAR(r, 140, 1);
}

// Every refusal names its own cause and leaves the earlier photo in the target; a FIFO is refused
// without waiting for a writer.
TEST(LoadPhotoTest, FailuresNameTheirCauseAndKeepTheEarlierPhoto) {
    ScratchFolder folder;
    const QByteArray garbage = RandomBytes(5000, 1);
    ASSERT_TRUE(WritePicture(RandomPicture(2, 2, 3), folder.Path("earlier.png"), "png") &&
                WritePicture(RandomPicture(5, 5, 4), folder.Path("other.png"), "png") &&
                folder.Write("garbage.jpg", garbage) && folder.Write("file", "x") &&
                folder.Write("garbage.tif", QByteArray("II*\0", 4) + garbage) &&
                folder.Write("damaged.ppm", "P6 800 800 255\n" + garbage));
    ASSERT_TRUE(
        folder.Run("mkfifo fifo.jpg && mkdir dir.jpg && ln -s loop-b.jpg loop-a.jpg && "
                   "ln -s loop-a.jpg loop-b.jpg"));
    CImgBuff target;
    ASSERT_EQ(LoadPhoto(folder.Path("earlier.png").c_str(), &target), 1);
    C_ImgBuff earlier;
    earlier.Copy(*target.buffer);
    const std::pair<std::string, PhotoFailure> cases[] = {
        {"missing.jpg", PhotoFailure::NoSuchFile},
        {"file/x.jpg", PhotoFailure::NoSuchFile},
        // The reader must not go looking for "other.png" when "other" does not exist.
        {"other", PhotoFailure::NoSuchFile},
        {"\xFF\xFE.png", PhotoFailure::NoSuchFile},
        {"", PhotoFailure::IsFolder},
        {"dir.jpg", PhotoFailure::IsFolder},
        {"fifo.jpg", PhotoFailure::NotRegularFile},
        {"loop-a.jpg", PhotoFailure::LinkLoop},
        {std::string(300, 'n') + ".jpg", PhotoFailure::PathTooLong},
        {"garbage.jpg", PhotoFailure::NotAPhoto},
        {"garbage.tif", PhotoFailure::NotAPhoto},
        {"damaged.ppm", PhotoFailure::NotAPhoto},
    };
    for (const auto& [name, failure] : cases) {
        PhotoError error;
        EXPECT_EQ(LoadPhoto(folder.Path(name).c_str(), &target, &error), 0) << name;
        EXPECT_EQ(error.failure, failure) << name << ": " << error.text;
        EXPECT_TRUE(SameImage(*target.buffer, earlier)) << name;
    }
    EXPECT_EQ(LoadPhoto(nullptr, &target), 0);
    EXPECT_EQ(LoadPhoto(folder.Path("earlier.png").c_str(), nullptr), 0);
}

// A picture's size comes from its header and is refused before anything is decoded: a few bytes
// claiming 26000 x 26000 pixels, in a JPEG and in a TIFF (read by the own reader and by Qt).
TEST(LoadPhotoTest, HeadersClaimingTooManyPixelsAreRefused) {
    ScratchFolder folder;
    ASSERT_TRUE(WritePicture(RandomPicture(16, 16, 1), folder.Path("small.jpg"), "jpeg"));
    QByteArray jpeg = folder.Read("small.jpg");
    const qsizetype frame = jpeg.indexOf("\xFF\xC0");
    ASSERT_GT(frame, 0);
    // Height then width, big-endian, after the marker, the segment length and the precision.
    jpeg.replace(frame + 5, 4, QByteArray("\x65\x90\x65\x90", 4));
    ASSERT_TRUE(folder.Write("bomb.jpg", jpeg));
    ASSERT_TRUE(
        folder.Run("convert -size 10x1 xc:gray -compress None wide.tif && "
                   "tiffset -s 256 26000 wide.tif && tiffset -s 257 26000 wide.tif && "
                   "cp wide.tif wide.image"));
    for (const char* name : {"bomb.jpg", "wide.tif", "wide.image"}) {
        CImgBuff target;
        PhotoError error;
        EXPECT_EQ(LoadPhoto(folder.Path(name).c_str(), &target, &error), 0) << name;
        EXPECT_EQ(error.failure, PhotoFailure::TooManyPixels) << name << ": " << error.text;
        EXPECT_NE(error.text.find("26000 x 26000"), std::string::npos) << error.text;
    }

    ASSERT_TRUE(WritePicture(RandomPicture(40, 30, 2), folder.Path("small.png"), "png"));
    CImgBuff target;
    EXPECT_EQ(LoadPhoto(folder.Path("small.png").c_str(), &target, nullptr, {1199}), 0);
    EXPECT_EQ(LoadPhoto(folder.Path("small.png").c_str(), &target, nullptr, {1200}), 1);
    // A real large photo stays within the default limit.
    const uint64_t largePixels = 15000ull * 10000ull;
    if (AvailableMemoryBytes() > largePixels * 20) {
        EXPECT_EQ(CheckPhotoSize(15000, 10000, largePixels * 4, {}, nullptr), 1);
    }
}
