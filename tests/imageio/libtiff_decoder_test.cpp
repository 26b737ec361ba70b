// TIFF files the own reader refuses, written by libtiff's tools and ImageMagick at test time and
// compared with the own reader's result for the uncompressed file they were copied from.
#include <string>

#include "imageio/PhotoLoader.h"
#include "imageio/tiff/LibTiffDecoder.h"
#include "imageio/tiff/TiffReader.h"
#include "tests/imageio/PhotoFiles.h"

namespace {

class LibTiffDecoderTest : public ::testing::Test {
  protected:
    void Shell(const std::string& command) { ASSERT_TRUE(folder_.Run(command)) << command; }
    // The file's bytes through libtiff; the own reader must refuse them for the test to mean
    // anything.
    int Decode(const std::string& name, CImgBuff* target, std::string* reason = nullptr) {
        const QByteArray bytes = folder_.Read(name);
        CImgBuff own;
        EXPECT_EQ(LoadTiff(folder_.Path(name).c_str(), &own), 0) << name << " is the own reader's";
        return DecodeTiffWithLibtiff(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                     static_cast<size_t>(bytes.size()), UINT32_MAX, target, reason);
    }
    void ExpectSameAsOwnReader(const std::string& plain, const std::string& copy) {
        CImgBuff expected, decoded;
        ASSERT_EQ(LoadTiff(folder_.Path(plain).c_str(), &expected), 1) << plain;
        ASSERT_EQ(Decode(copy, &decoded), 1) << copy;
        EXPECT_TRUE(SameImage(*decoded.buffer, *expected.buffer)) << copy;
    }
    ScratchFolder folder_;
};

// Random samples at every depth the own reader takes uncompressed, copied by tiffcp into every
// layout and lossless compression: each copy must give exactly the buffer of the plain file.
TEST_F(LibTiffDecoderTest, LosslessCopiesEqualThePlainFile) {
    const int w = 37, h = 23;
    ASSERT_TRUE(folder_.Write("rgb16.raw", RandomBytes(w * h * 6, 5)));
    ASSERT_TRUE(folder_.Write("g16.raw", RandomBytes(w * h * 2, 6)));
    const std::string size = " -w 37 -l 23 ";
    Shell("raw2tiff -M -c none" + size + "-d short -b 3 -p rgb rgb16.raw rgb16.tif");
    Shell("raw2tiff -M -c none" + size + "-d short g16.raw g16.tif");
    Shell("convert rgb16.tif -depth 8 -compress none rgb8.tif");
    Shell("convert g16.tif -depth 8 -compress none g8.tif");
    Shell("convert g16.tif -depth 4 -compress none -define tiff:rows-per-strip=5 g4.tif");
    Shell("convert g16.tif -depth 1 -compress none g1.tif");
    const char* copies[] = {
        "-c lzw",      "-c zip",         "-c packbits",           "-c lzw:2",
        "-c zip:2 -B", "-t -w 16 -l 16", "-c lzw -t -w 32 -l 16",
    };
    for (const char* plain : {"rgb16.tif", "rgb8.tif", "g16.tif", "g8.tif"}) {
        for (const char* options : copies) {
            Shell(std::string("tiffcp ") + options + " " + plain + " copy.tif");
            ExpectSameAsOwnReader(plain, "copy.tif");
        }
    }
    // Separate planes, in strips and in tiles (tiffcp splits only 8-bit planes).
    Shell("convert rgb16.tif -interlace plane -compress zip copy.tif");
    ExpectSameAsOwnReader("rgb16.tif", "copy.tif");
    Shell("tiffcp -c zip -p separate -t -w 16 -l 16 rgb8.tif copy.tif");
    ExpectSameAsOwnReader("rgb8.tif", "copy.tif");
    for (const char* plain : {"g4.tif", "g1.tif"}) {
        Shell(std::string("tiffcp -c lzw ") + plain + " copy.tif");
        ExpectSameAsOwnReader(plain, "copy.tif");
    }
    // Extra samples are dropped: grey with alpha, RGB with alpha.
    Shell("convert g16.tif -alpha opaque -compress zip ga.tif");
    ExpectSameAsOwnReader("g16.tif", "ga.tif");
    Shell("convert rgb16.tif -alpha opaque -compress lzw rgba.tif");
    ExpectSameAsOwnReader("rgb16.tif", "rgba.tif");
}

// Every orientation is applied as the own reader applies it.
TEST_F(LibTiffDecoderTest, OrientationTurnsAsTheOwnReaderDoes) {
    ASSERT_TRUE(folder_.Write("s.raw", RandomBytes(9 * 5 * 6, 8)));
    Shell("raw2tiff -M -c none -w 9 -l 5 -d short -b 3 -p rgb s.raw plain.tif");
    for (int orientation = 1; orientation <= 8; ++orientation) {
        const std::string tag = " " + std::to_string(orientation) + " ";
        Shell("cp plain.tif o.tif && tiffset -s 274" + tag + "o.tif");
        Shell("tiffcp -c lzw o.tif c.tif");
        ExpectSameAsOwnReader("o.tif", "c.tif");
    }
}

// Palette and CMYK hold eight plain colours exactly (ImageMagick's CMYK of them is exact);
// JPEG-compressed YCbCr is lossy and lands near them.
TEST_F(LibTiffDecoderTest, PaletteCmykAndJpegTiffsHoldTheirColours) {
    const QRgb colours[8] = {0xFF000000, 0xFFFF0000, 0xFF00FF00, 0xFF0000FF,
                             0xFFFFFF00, 0xFF00FFFF, 0xFFFF00FF, 0xFFFFFFFF};
    QImage picture(48, 32, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            picture.setPixel(x, y, colours[(x / 8 + y / 8) % 8]);
        }
    }
    ASSERT_TRUE(WritePicture(picture, folder_.Path("source.png"), "png"));
    C_ImgBuff reference;
    MakeReference(picture, &reference);
    const std::pair<const char*, int> files[] = {
        {"convert source.png -type Palette -compress lzw palette.tif", 0},
        {"convert source.png -type Palette -depth 4 -compress none palette4.tif", 0},
        {"convert source.png -colorspace CMYK -compress lzw cmyk.tif", 0},
        {"convert source.png -colorspace CMYK -depth 16 -compress zip cmyk16.tif", 0},
        {"convert source.png -compress jpeg -quality 95 jpeg.tif", 24},
    };
    for (const auto& [command, tolerance] : files) {
        Shell(command);
        const std::string name = std::string(command).substr(std::string(command).rfind(' ') + 1);
        CImgBuff decoded;
        ASSERT_EQ(Decode(name, &decoded), 1) << name;
        ASSERT_EQ(decoded.buffer->width, 48);
        ASSERT_EQ(decoded.buffer->height, 32);
        if (tolerance == 0) {
            EXPECT_TRUE(SameImage(*decoded.buffer, reference)) << name;
            continue;
        }
        for (int y = 4; y < 32; y += 8) {  // block centres, away from JPEG's edge ringing
            for (int x = 4; x < 48; x += 8) {
                uint8_t r, g, b, er, eg, eb;
                decoded.buffer->GetRGB8(x, y, &r, &g, &b);
                reference.GetRGB8(x, y, &er, &eg, &eb);
                EXPECT_NEAR(r, er, tolerance) << name << " " << x << "," << y;
                EXPECT_NEAR(g, eg, tolerance) << name << " " << x << "," << y;
                EXPECT_NEAR(b, eb, tolerance) << name << " " << x << "," << y;
            }
        }
    }
}

// Damaged files fail with a reason and leave the target as it was; nothing is printed.
TEST_F(LibTiffDecoderTest, DamagedFilesFailWithAReasonAndKeepTheTarget) {
    ASSERT_TRUE(folder_.Write("s.raw", RandomBytes(64 * 64 * 6, 9)));
    Shell("raw2tiff -M -c none -w 64 -l 64 -d short -b 3 -p rgb s.raw plain.tif");
    Shell("tiffcp -c lzw -r 64 plain.tif lzw.tif");
    const QByteArray whole = folder_.Read("lzw.tif");
    // tiffcp writes the directory behind the pixels: keep it, drop the strip's second half.
    QByteArray truncated = whole;
    truncated.remove(whole.size() / 4, whole.size() / 4);
    ASSERT_TRUE(folder_.Write("truncated.tif", whole.left(whole.size() / 2)));
    ASSERT_TRUE(folder_.Write("holed.tif", truncated));
    ASSERT_TRUE(
        folder_.Write("garbage.tif", QByteArray("II*\0\x08\0\0\0", 8) + RandomBytes(300, 2)));
    for (const char* name : {"truncated.tif", "holed.tif", "garbage.tif"}) {
        CImgBuff target;
        ASSERT_EQ(target.buffer->Create(3, 2, PT_HSV16), 1);
        target.buffer->SetRGB16(1, 1, 7, 8, 9);
        C_ImgBuff before;
        before.Copy(*target.buffer);
        std::string reason;
        EXPECT_EQ(Decode(name, &target, &reason), 0) << name;
        EXPECT_FALSE(reason.empty()) << name;
        EXPECT_TRUE(SameImage(*target.buffer, before)) << name;
    }
    // A picture above the caller's limit is refused before it is decoded.
    std::string reason;
    CImgBuff target;
    EXPECT_EQ(
        DecodeTiffWithLibtiff(reinterpret_cast<const uint8_t*>(whole.constData()),
                              static_cast<size_t>(whole.size()), 64 * 64 - 1, &target, &reason),
        0);
    EXPECT_NE(reason.find("64 x 64"), std::string::npos) << reason;
}

// Grey with extra channels loads up to 16 samples a pixel; a file claiming more is refused before
// its decode buffers (every sample of every row) are made.
TEST_F(LibTiffDecoderTest, SampleCountsBeyondAPhotosAreRefusedNamingTheCount) {
    for (int samples : {16, 17}) {
        const std::string n = std::to_string(samples);
        ASSERT_TRUE(folder_.Write(n + ".raw", RandomBytes(8 * 4 * samples, samples)));
        Shell("raw2tiff -M -c none -w 8 -l 4 -b " + n + " -p minisblack " + n + ".raw p" + n +
              ".tif 2>/dev/null");
        Shell("tiffcp -c lzw p" + n + ".tif " + n + ".tif 2>/dev/null");
        CImgBuff target;
        std::string reason;
        EXPECT_EQ(Decode(n + ".tif", &target, &reason), samples == 16 ? 1 : 0) << reason;
        if (samples == 17) {
            EXPECT_NE(reason.find("17 samples per pixel"), std::string::npos);
        }
    }
}

// LoadPhoto takes compressed 16-bit TIFFs at full precision, where Qt would give 8 bits.
TEST_F(LibTiffDecoderTest, LoadPhotoKeepsSixteenBitsOfCompressedTiffs) {
    ASSERT_TRUE(folder_.Write("s.raw", RandomBytes(11 * 7 * 6, 10)));
    Shell("raw2tiff -M -c none -w 11 -l 7 -d short -b 3 -p rgb s.raw plain.tif");
    Shell("tiffcp -c zip -t -w 16 -l 16 plain.tif Tiled.TIFF");
    CImgBuff expected, loaded;
    ASSERT_EQ(LoadTiff(folder_.Path("plain.tif").c_str(), &expected), 1);
    ASSERT_EQ(LoadPhoto(folder_.Path("Tiled.TIFF").c_str(), &loaded), 1);
    EXPECT_TRUE(SameImage(*loaded.buffer, *expected.buffer));
}

}  // namespace
