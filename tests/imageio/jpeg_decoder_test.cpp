#include <string>
#include <vector>

#include "image/ImgBuff.h"
#include "imageio/JpegDecoder.h"
#include "imageio/PhotoLoader.h"
#include "imageio/PhotoLoaderTesting.h"
#include "tests/imageio/PhotoFiles.h"

namespace {

struct Outcome {
    int loaded = 0;
    PhotoError error;
    C_ImgBuff image;
};

// What Qt's reader, which the JPEG decoder must match, makes of the file.
void LoadWithQt(const std::string& path, Outcome* out) {
    PhotoError opened;
    const FileDescriptor fd(OpenPhotoFile(path.c_str(), &opened));
    ASSERT_GE(fd.get(), 0) << opened.text;
    CImgBuff target;
    out->loaded = DecodeWithQt(fd.get(), &target, {}, &out->error);
    out->image.Swap(*target.buffer);
}

JpegDecoding DecodeFile(const std::string& path, C_ImgBuff* image) {
    PhotoError error;
    const FileDescriptor fd(OpenPhotoFile(path.c_str(), &error));
    return DecodeJpegToHsv(fd.get(), image, {}, &error);
}

// Photo-like content and every 8-bit extreme: a plasma with a band of random pixels.
const char kSource[] =
    "convert -size 301x263 -seed 5 plasma:fractal -blur 0x1 +noise Gaussian "
    "\\( -size 301x20 xc: +noise Random \\) -geometry +0+120 -composite ";

}  // namespace

// Files made by ImageMagick and libjpeg's own tools, in every sampling, coding and size the
// decoder takes, decode to exactly the pixels Qt's reader gives.
TEST(JpegDecoderTest, DecodesWhatItTakesExactlyAsQtDoes) {
    ScratchFolder folder;
    ASSERT_TRUE(folder.Run(std::string(kSource) + "source.ppm"));
    ASSERT_TRUE(
        folder.Run("convert source.ppm -crop 17x9+40+100 +repage odd.ppm && "
                   "convert source.ppm -crop 1x1+150+130 +repage one.ppm && "
                   "convert source.ppm -crop 100x130+10+10 +repage -colorspace Gray "
                   "grey.pgm"));
    // Each file's name and the command that makes it: ImageMagick's "convert SOURCE OPTIONS NAME"
    // or libjpeg's "cjpeg OPTIONS -outfile NAME SOURCE".
    const std::pair<std::string, std::string> files[] = {
        {"q90-444.jpg", "convert source.ppm -quality 90 -sampling-factor 4:4:4"},
        {"q75-422.jpg", "convert source.ppm -quality 75 -sampling-factor 4:2:2"},
        {"q30-420.jpg", "convert source.ppm -quality 30 -sampling-factor 4:2:0"},
        {"q100-440.jpg", "convert source.ppm -quality 100 -sampling-factor 1x2"},
        {"progressive.jpg", "convert source.ppm -quality 85 -interlace JPEG"},
        {"gray.jpg", "convert source.ppm -colorspace Gray -quality 80"},
        {"odd.jpg", "convert odd.ppm -quality 95"},
        {"one.jpg", "convert one.ppm"},
        {"restart.jpg", "cjpeg -quality 92 -sample 2x1 -restart 1"},
        {"arithmetic.jpg", "cjpeg -quality 70 -sample 2x2 -arithmetic"},
        {"progressive-440.jpg", "cjpeg -quality 88 -progressive -sample 1x2"},
        {"rgb.jpg", "cjpeg -quality 97 -rgb"},
        {"odd-420.jpg", "cjpeg -quality 60 -sample 2x2"},
        {"one-420.jpg", "cjpeg -sample 2x2"},
        {"grey-progressive.jpg", "cjpeg -grayscale -progressive -restart 2"},
        {"upright.jpg", "cp q30-420.jpg upright.jpg && exiv2 -M'set Exif.Image.Orientation 1'"},
        // Qt's reader turns a picture by its EXIF tag alone.
        {"xmp-turned.jpg", "cp q30-420.jpg xmp-turned.jpg && exiv2 -M'set Xmp.tiff.Orientation 6'"},
    };
    for (const auto& [name, tool] : files) {
        std::string command = tool + " " + name;
        if (tool.starts_with("cjpeg")) {
            const char* source = name.starts_with("odd")    ? "odd.ppm"
                                 : name.starts_with("one")  ? "one.ppm"
                                 : name.starts_with("grey") ? "grey.pgm"
                                                            : "source.ppm";
            command = tool + " -outfile " + name + " " + source;
        }
        ASSERT_TRUE(folder.Run(command)) << command;
        Outcome qt;
        LoadWithQt(folder.Path(name), &qt);
        ASSERT_EQ(qt.loaded, 1) << name << ": " << qt.error.text;
        C_ImgBuff decoded;
        EXPECT_EQ(DecodeFile(folder.Path(name), &decoded), JpegDecoding::Decoded) << name;
        EXPECT_TRUE(SameImage(decoded, qt.image)) << name;
    }
}

// Whatever the decoder leaves alone loads as Qt's reader has it: turned, CMYK, cut short,
// damaged, and a header claiming a picture too large for the limits.
TEST(JpegDecoderTest, LeavesTheRestToQtWithTheSameOutcome) {
    ScratchFolder folder;
    ASSERT_TRUE(folder.Run(std::string(kSource) + "-quality 90 photo.jpg"));
    ASSERT_TRUE(
        folder.Run("cp photo.jpg turned.jpg && exiv2 -M'set Exif.Image.Orientation 6' "
                   "turned.jpg && convert photo.jpg -colorspace CMYK cmyk.jpg"));
    const QByteArray photo = folder.Read("photo.jpg");
    QByteArray damaged = photo;
    for (qsizetype i = photo.size() / 3; i < photo.size() / 3 + 400; i += 7) damaged[i] = '\xA5';
    ASSERT_TRUE(folder.Write("cut.jpg", photo.left(photo.size() / 2)) &&
                folder.Write("damaged.jpg", damaged) &&
                folder.Write("header.jpg", photo.left(photo.indexOf("\xFF\xDA"))));
    for (const char* name : {"turned.jpg", "cmyk.jpg", "cut.jpg", "damaged.jpg", "header.jpg"}) {
        C_ImgBuff untouched;
        EXPECT_EQ(DecodeFile(folder.Path(name), &untouched), JpegDecoding::NotTaken) << name;
        EXPECT_EQ(untouched.type, PT_NONE) << name;
        Outcome qt;
        LoadWithQt(folder.Path(name), &qt);
        CImgBuff target;
        PhotoError error;
        EXPECT_EQ(LoadPhoto(folder.Path(name).c_str(), &target, &error), qt.loaded) << name;
        EXPECT_EQ(error.failure, qt.error.failure) << name;
        EXPECT_TRUE(SameImage(*target.buffer, qt.image)) << name;
    }

    // Too many pixels for the limits: refused from the header, with the image left alone.
    C_ImgBuff image;
    ASSERT_EQ(DecodeFile(folder.Path("photo.jpg"), &image), JpegDecoding::Decoded);
    C_ImgBuff before;
    before.Copy(image);
    PhotoError error;
    const FileDescriptor fd(OpenPhotoFile(folder.Path("photo.jpg").c_str(), &error));
    EXPECT_EQ(DecodeJpegToHsv(fd.get(), &image, {301 * 263 - 1}, &error), JpegDecoding::Refused);
    EXPECT_EQ(error.failure, PhotoFailure::TooManyPixels);
    EXPECT_TRUE(SameImage(image, before));
}
