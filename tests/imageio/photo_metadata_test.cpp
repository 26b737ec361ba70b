// What a photo carries, through LoadPhoto and SavePhoto: metadata and colour profile written by
// the exiv2 tool, checked in the saved files by the exiv2 tool and ImageMagick; the depth of
// saved files read back by ImageMagick.
#include <QColorSpace>
#include <QImageReader>

#include <cstdio>
#include <string>

#include "imageio/PhotoLoader.h"
#include "imageio/PhotoMetadata.h"
#include "imageio/PhotoSaver.h"
#include "tests/imageio/PhotoFiles.h"

namespace {

class PhotoMetadataTest : public ::testing::Test {
  protected:
    void Shell(const std::string& command) { ASSERT_TRUE(folder_.Run(command)) << command; }
    // Standard output of a command run in the folder.
    std::string Output(const std::string& command) const {
        const std::string line = "cd '" + folder_.Path("") + "' && " + command + " 2>/dev/null";
        std::string text;
        if (FILE* pipe = popen(line.c_str(), "r")) {
            char chunk[4096];
            size_t n;
            while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, n);
            pclose(pipe);
        }
        return text;
    }
    std::string Value(const std::string& key, const std::string& file) const {
        std::string value = Output("exiv2 -K " + key + " -Pv " + file);
        while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
        return value;
    }
    int Correct(const std::string& from, const std::string& to,
                const SaveOptions* options = nullptr) {
        CImgBuff image;
        PhotoOrigin origin;
        if (!LoadPhoto(folder_.Path(from).c_str(), &image, nullptr, {}, &origin)) return 0;
        return SavePhoto(folder_.Path(to).c_str(), &image, nullptr, &origin, options);
    }
    // A 300 x 200 camera JPEG stored sideways (left half red, right half blue) with a thumbnail,
    // an Adobe RGB profile, EXIF (camera, date, GPS, Orientation 6), XMP and IPTC.
    void MakeCameraJpeg() {
        Shell(
            "convert -size 300x200 xc:red -fill blue -draw 'rectangle 150,0 299,199' "
            "-quality 95 cam.jpg && convert -size 160x120 xc:green cam-thumb.jpg && "
            "exiv2 -it cam.jpg");
        profile_ = QColorSpace(QColorSpace::AdobeRgb).iccProfile();
        ASSERT_FALSE(profile_.isEmpty());
        ASSERT_TRUE(folder_.Write("cam.icc", profile_));
        Shell("exiv2 -iC cam.jpg");
        Shell(
            "exiv2 -M'set Exif.Image.Make Canon' -M'set Exif.Image.Model Canon EOS R5' "
            "-M'set Exif.Image.Orientation 6' "
            "-M'set Exif.Photo.DateTimeOriginal 2024:05:01 10:20:30' "
            "-M'set Exif.Photo.PixelXDimension 300' -M'set Exif.Photo.PixelYDimension 200' "
            "-M'set Exif.GPSInfo.GPSLatitudeRef N' -M'set Exif.GPSInfo.GPSLatitude 35/1 40/1 7/1' "
            "-M'set Xmp.xmp.Rating 4' -M'set Xmp.tiff.Orientation 6' "
            "-M'set Iptc.Application2.Caption Kiyomizu' cam.jpg");
        ASSERT_EQ(Value("Exif.Thumbnail.Compression", "cam.jpg"), "6");
    }
    ScratchFolder folder_;
    QByteArray profile_;
};

// The corrected photo keeps date, camera, GPS, XMP, IPTC and profile in every format that holds
// them, stands upright with Orientation 1 and its new size, and has no stale thumbnail.
TEST_F(PhotoMetadataTest, CameraJpegKeepsWhatItCarriesAndStandsUpright) {
    MakeCameraJpeg();
    for (const char* name : {"out.jpg", "out.png", "out.tif"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(Correct("cam.jpg", name), 1);
        EXPECT_EQ(Value("Exif.Image.Make", name), "Canon");
        EXPECT_EQ(Value("Exif.Image.Model", name), "Canon EOS R5");
        EXPECT_EQ(Value("Exif.Photo.DateTimeOriginal", name), "2024:05:01 10:20:30");
        EXPECT_EQ(Value("Exif.GPSInfo.GPSLatitudeRef", name), "N");
        EXPECT_EQ(Value("Exif.GPSInfo.GPSLatitude", name), "35/1 40/1 7/1");
        EXPECT_EQ(Value("Exif.Image.Orientation", name), "1");
        EXPECT_EQ(Value("Xmp.tiff.Orientation", name), "1");
        EXPECT_EQ(Value("Exif.Photo.PixelXDimension", name), "200");
        EXPECT_EQ(Value("Exif.Photo.PixelYDimension", name), "300");
        EXPECT_EQ(Value("Xmp.xmp.Rating", name), "4");
        EXPECT_EQ(Value("Iptc.Application2.Caption", name), "Kiyomizu");
        EXPECT_EQ(Output("exiv2 -pa " + std::string(name)).find("Thumbnail"), std::string::npos);
        EXPECT_EQ(Output("convert " + std::string(name) + " icc:-"), profile_.toStdString());
        // Upright in the pixels themselves: a viewer that ignores the tag shows it right.
        QImageReader reader(QString::fromStdString(folder_.Path(name)));
        reader.setAutoTransform(false);
        const QImage saved = reader.read();
        ASSERT_EQ(saved.size(), QSize(200, 300));
        EXPECT_GT(qRed(saved.pixel(100, 40)), 200);
        EXPECT_GT(qBlue(saved.pixel(100, 260)), 200);
    }
    // BMP holds none of it and is written all the same.
    ASSERT_EQ(Correct("cam.jpg", "out.bmp"), 1);
}

// Without metadata the profile stays; a source without a profile gives a file without one.
TEST_F(PhotoMetadataTest, StrippedFilesKeepOnlyTheProfile) {
    MakeCameraJpeg();
    SaveOptions strip;
    strip.keepMetadata = false;
    Shell("convert -size 30x20 xc:gray plain.jpg");
    for (const char* name : {"out.jpg", "out.png", "out.tif"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(Correct("cam.jpg", name, &strip), 1);
        const std::string all = Output("exiv2 -pa " + std::string(name));
        for (const char* family : {"Exif.Photo", "Exif.GPSInfo", "Make", "Xmp.", "Iptc."}) {
            EXPECT_EQ(all.find(family), std::string::npos) << family << " in " << all;
        }
        EXPECT_EQ(Output("convert " + std::string(name) + " icc:-"), profile_.toStdString());
        ASSERT_EQ(Correct("plain.jpg", name), 1);
        EXPECT_EQ(Output("convert " + std::string(name) + " icc:-"), "");
    }
}

// The file size limit stops the write of a file with metadata: the old file stays byte for byte.
TEST_F(PhotoMetadataTest, FailedSaveWithMetadataKeepsTheOldFile) {
    MakeCameraJpeg();
    const QByteArray old = RandomBytes(100, 3);
    ASSERT_TRUE(folder_.Write("old.jpg", old));
    // Below the profile and EXIF alone.
    const int result = UnderFileSizeLimit(2048, [&] { return Correct("cam.jpg", "old.jpg"); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(folder_.Read("old.jpg"), old);
}

// 16-bit sources keep 16 bits in TIFF and PNG: the samples are HsvToRgb16 of the image, as the
// buffer's own 16-bit getter gives them. 8-bit sources, and JPEG, stay 8-bit; options choose.
TEST_F(PhotoMetadataTest, DeepSourcesSaveSixteenBitsWhereTheFormatHoldsThem) {
    const int w = 13, h = 9;
    ASSERT_TRUE(folder_.Write("s.raw", RandomBytes(w * h * 6, 4)));
    Shell("raw2tiff -M -c none -w 13 -l 9 -d short -b 3 -p rgb s.raw s16.tif");
    Shell("tiffcp -c lzw s16.tif lzw16.tif && convert s16.tif -depth 8 s8.png");
    CImgBuff image;
    PhotoOrigin origin;
    ASSERT_EQ(LoadPhoto(folder_.Path("lzw16.tif").c_str(), &image, nullptr, {}, &origin), 1);
    EXPECT_EQ(origin.bitsPerChannel, 16);
    for (const char* name : {"o.tif", "o.png"}) {
        ASSERT_EQ(SavePhoto(folder_.Path(name).c_str(), &image, nullptr, &origin), 1);
        Shell("convert " + std::string(name) + " -depth 16 -endian LSB rgb:o.raw");
        const QByteArray raw = folder_.Read("o.raw");
        ASSERT_EQ(raw.size(), w * h * 6) << name;
        for (int i = 0; i < w * h; ++i) {
            uint16_t r, g, b;
            ASSERT_EQ(image.buffer->GetRGB16(i % w, i / w, &r, &g, &b), 1);
            const auto sample = [&](int k) {
                return uint16_t(uint8_t(raw[i * 6 + 2 * k]) | uint8_t(raw[i * 6 + 2 * k + 1]) << 8);
            };
            ASSERT_EQ(sample(0), r) << name << " pixel " << i;
            ASSERT_EQ(sample(1), g) << name << " pixel " << i;
            ASSERT_EQ(sample(2), b) << name << " pixel " << i;
        }
    }
    SaveOptions eight, sixteen;
    eight.bitsPerChannel = 8;
    sixteen.bitsPerChannel = 16;
    ASSERT_EQ(SavePhoto(folder_.Path("o8.tif").c_str(), &image, nullptr, &origin, &eight), 1);
    ASSERT_EQ(SavePhoto(folder_.Path("o.jpg").c_str(), &image, nullptr, &origin, &sixteen), 1);
    ASSERT_EQ(Correct("s8.png", "from8.png"), 1);
    ASSERT_EQ(Correct("s8.png", "wide.png", &sixteen), 1);
    EXPECT_EQ(Output("identify -format %z o8.tif o.jpg from8.png wide.png"), "88816");
}

}  // namespace
