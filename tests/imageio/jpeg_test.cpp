// The own JPEG decoder and encoder against Qt's: files made by ImageMagick, libjpeg's tools and
// exiv2 decode to exactly the pixels Qt's reader gives, and pictures encode to exactly the bytes
// Qt's writer makes.
#include <QBuffer>
#include <QImageWriter>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "image/ImgBuff.h"
#include "imageio/JpegDecoder.h"
#include "imageio/JpegEncoder.h"
#include "imageio/PhotoLoader.h"
#include "imageio/PhotoLoaderTesting.h"
#include "tests/imageio/PhotoFiles.h"

namespace {

// Photo-like content and every 8-bit extreme: a plasma with a band of random pixels.
const char kSource[] =
    "convert -size 301x263 -seed 5 plasma:fractal -blur 0x1 +noise Gaussian "
    "\\( -size 301x20 xc: +noise Random \\) -geometry +0+120 -composite ";

int Encode(const QImage& picture, int quality, QByteArray* bytes, PhotoError* error = nullptr) {
    const JpegPicture header{
        picture.width(), picture.height(),        picture.format() == QImage::Format_Grayscale8,
        quality,         picture.dotsPerMeterX(), picture.dotsPerMeterY()};
    const size_t rowBytes = static_cast<size_t>(picture.width()) * (header.grey ? 1 : 3);
    return EncodeJpeg(
        header,
        [&](uint32_t first, uint32_t count, uint8_t* rows, size_t stride) {
            for (uint32_t i = 0; i < count; ++i)
                std::memcpy(rows + i * stride, picture.constScanLine(first + i), rowBytes);
            return true;
        },
        bytes, error);
}

}  // namespace

// Files in every sampling, coding and size the decoder takes (more than one band of rows, odd
// sizes, grey, RGB, every EXIF orientation, an orientation in XMP alone, which Qt ignores, and
// EXIF blocks made byte by byte, damaged ones among them) it decodes; those it leaves to Qt's
// reader (CMYK, cut short, damaged) it does not touch. Either way the photo loads exactly as
// Qt's reader has it, turned upright.
TEST(JpegDecoderTest, DecodesWhatItTakesAndLoadsAllAsQtDoes) {
    ScratchFolder folder;
    folder.Shell(kSource + std::string("source.ppm && ") + kSource + "-quality 90 photo.jpg");
    folder.Shell(
        "convert source.ppm -crop 17x9+40+100 +repage odd.ppm && "
        "convert source.ppm -crop 1x1+150+130 +repage one.ppm && "
        "convert source.ppm -crop 100x130+10+10 +repage -colorspace Gray grey.pgm");
    const QByteArray photo = folder.Read("photo.jpg");
    QByteArray damaged = photo;
    for (qsizetype i = photo.size() / 3; i < photo.size() / 3 + 400; i += 7) damaged[i] = '\xA5';
    // Every scan of a grey photo a coefficient band: the most scans a component may take.
    std::string scans = "0: 0 0 0 0; 0: 31 63 0 0;";
    for (int k = 1; k < 31; ++k)
        scans += " 0: " + std::to_string(k) + " " + std::to_string(k) + " 0 0;";
    ASSERT_TRUE(folder.Write("cut.jpg", photo.left(photo.size() / 2)) &&
                folder.Write("damaged.jpg", damaged) && folder.Write("32.txt", scans.c_str()));
    // Each command makes the file its last word names; true when the decoder takes it.
    std::vector<std::pair<std::string, bool>> files = {
        {"convert one.ppm one.jpg", true},
        {"cjpeg -quality 88 -progressive -sample 1x2 source.ppm >prog-440.jpg", true},
        {"cjpeg -quality 97 -rgb source.ppm >rgb.jpg", true},
        {"cjpeg -quality 60 -sample 2x2 odd.ppm >odd-420.jpg", true},
        {"cjpeg -grayscale -progressive -restart 2 grey.pgm >grey-prog.jpg", true},
        {"jpegtran -scans 32.txt grey-prog.jpg >scans-32.jpg", true},
        // One flat colour takes the fewest coded bits a block can: two, or one progressive.
        {"convert -size 999x99 xc:gray40 flat.ppm && cjpeg -optimize flat.ppm >flat.jpg", true},
        {"cjpeg -optimize -progressive flat.ppm >flat-prog.jpg", true},
        {"cp photo.jpg xmp.jpg && exiv2 -M'set Xmp.tiff.Orientation 6' xmp.jpg", true},
        {"convert photo.jpg -colorspace CMYK cmyk.jpg", false},
        {"test -s cut.jpg", false},
        {"test -s damaged.jpg", false}};
    // Every orientation of the colour photo, and turns of the grey one and of one narrower than
    // a tile.
    const std::pair<std::string, int> turned[] = {
        {"photo", 1}, {"photo", 2}, {"photo", 3},     {"photo", 4},     {"photo", 5},  {"photo", 6},
        {"photo", 7}, {"photo", 8}, {"grey-prog", 2}, {"grey-prog", 7}, {"odd-420", 6}};
    for (const auto& [from, orientation] : turned) {
        const std::string o = std::to_string(orientation), name = from + o + ".jpg";
        const std::string exiv2 = "exiv2 -M'set Exif.Image.Orientation " + o + "' ";
        files.push_back({"cp " + from + ".jpg " + name + " && " + exiv2 + name, true});
    }
    // APP1 segments (hex, "Exif" for its six-byte header) put before the photo's own.
    const std::vector<std::string> blocks[] = {
        {"Exif MM 002a 00000008 0001 0112 0003 00000001 0008 0000 00000000"},
        // Orientation in IFD1 alone; an IFD1 before IFD0's end.
        {"Exif II 2a00 08000000 0100 0001 0300 01000000 1100 0000 1a000000"
         " 0100 1201 0300 01000000 0500 0000 00000000"},
        {"Exif II 2a00 08000000 0100 0001 0300 01000000 1100 0000 08000000"
         " 0100 1201 0300 01000000 0500 0000 00000000"},
        // More entries than the block holds: cut within the orientation, after its value.
        {"Exif II 2a00 08000000 ff00 0001 0300 01000000 1100 0000 1201 0300 0100"},
        {"Exif II 2a00 08000000 ff00 0001 0300 01000000 1100 0000 1201 0300 01000000 0300"},
        // A header not ending in two zero bytes; an unknown byte order; 42 in the other order.
        {"457869660100 II 2a00 08000000 0100 1201 0300 01000000 0600 0000 00000000"},
        {"Exif 4d49 2a00 08000000 0100 1201 0300 01000000 0600 0000 00000000"},
        {"Exif II 002a 08000000 0100 1201 0300 01000000 0600 0000 00000000"},
        // IFD0 past the end, near and far; a value out of range; a LONG.
        {"Exif II 2a00 0c000000"},
        {"Exif II 2a00 f0ffffff 0100 1201 0300 01000000 0600 0000 00000000"},
        {"Exif II 2a00 08000000 0100 1201 0300 01000000 0900 0000 00000000"},
        {"Exif II 2a00 08000000 0100 1201 0400 01000000 0600 0000 00000000"},
        // Split over two segments; behind another segment.
        {"Exif II 2a00 0800", "0000 0100 1201 0300 01000000 0600 0000 00000000"},
        {"786d7000", "Exif II 2a00 08000000 0100 1201 0300 01000000 0600 0000 00000000"}};
    for (const auto& segments : blocks) {
        QByteArray bytes = photo.left(2);
        for (const std::string& hex : segments) {
            const QByteArray data = QByteArray::fromHex(QByteArray::fromStdString(hex)
                                                            .replace("Exif", "457869660000")
                                                            .replace("II", "4949")
                                                            .replace("MM", "4d4d"));
            bytes += "\xFF\xE1" + QByteArray(1, char((data.size() + 2) >> 8)) +
                     char((data.size() + 2) & 0xFF) + data;
        }
        const std::string name = "exif" + std::to_string(&segments - blocks) + ".jpg";
        ASSERT_TRUE(folder.Write(name, bytes + photo.mid(2)));
        files.push_back({"test -s " + name, true});
    }
    for (const auto& [command, taken] : files) {
        folder.Shell(command);
        const std::string name = command.substr(command.find_last_of(" >") + 1);
        PhotoError error, qtError;
        const FileDescriptor fd(OpenPhotoFile(folder.Path(name).c_str(), &error));
        C_ImgBuff own;
        EXPECT_EQ(DecodeJpegToHsv(fd.get(), &own, {}, &error),
                  taken ? JpegDecoding::Decoded : JpegDecoding::NotTaken)
            << name;
        EXPECT_EQ(own.type, taken ? PT_HSV16 : PT_NONE) << name;
        CImgBuff qt, target;
        const int qtLoaded = DecodeWithQt(fd.get(), &qt, {}, &qtError);
        EXPECT_EQ(LoadPhoto(folder.Path(name).c_str(), &target, &error, {.allowDamaged = true}),
                  qtLoaded)
            << name;
        EXPECT_EQ(error.failure, qtError.failure) << name;
        EXPECT_TRUE(SameImage(*target.buffer, *qt.buffer)) << name;
    }
}

// Files whose decoding would cost far more than their size warrants are refused as damaged before
// a pixel is decoded, by whichever decoder, damage allowed or not: a component in more scans than
// a photo has, and a small file whose frame claims 6000 x 6000 pixels, which its coded data cannot
// hold (or, arithmetic coded, holds no photo of), baseline, progressive or CMYK.
TEST(JpegDecoderTest, FilesCostlierThanTheirSizeAreRefused) {
    ScratchFolder folder;
    std::string scans = "0: 0 0 0 0;";
    for (int k = 1; k < 64; ++k)
        scans += " 0: " + std::to_string(k) + " " + std::to_string(k) + " 0 0;";
    ASSERT_TRUE(folder.Write("64.txt", scans.c_str()));
    folder.Shell(
        kSource + std::string("-crop 16x16+0+0 +repage small.ppm && ") +
        "cjpeg -grayscale small.ppm >grey.jpg && jpegtran -scans 64.txt grey.jpg >64.jpg && "
        "cjpeg -progressive small.ppm >prog.jpg && cjpeg -arithmetic small.ppm >arith.jpg && "
        "convert small.ppm -colorspace CMYK cmyk.jpg");
    for (const std::string name : {"64.jpg", "grey.jpg", "prog.jpg", "arith.jpg", "cmyk.jpg"}) {
        QByteArray bytes = folder.Read(name);
        if (name != "64.jpg") {
            // Height then width after the frame marker (baseline, progressive or arithmetic).
            qsizetype frame = -1;
            for (const char* marker : {"\xFF\xC0", "\xFF\xC2", "\xFF\xC9"})
                frame = std::max(frame, bytes.indexOf(marker));
            ASSERT_GT(frame, 0) << name;
            bytes.replace(frame + 5, 4, QByteArray("\x17\x70\x17\x70", 4));
        }
        ASSERT_TRUE(folder.Write("claim-" + name, bytes));
        PhotoError error;
        CImgBuff target;
        EXPECT_EQ(LoadPhoto(folder.Path("claim-" + name).c_str(), &target, &error,
                            {.allowDamaged = true}),
                  0);
        EXPECT_EQ(error.failure, PhotoFailure::Damaged) << name << ": " << error.text;
        EXPECT_EQ(target.buffer->type, PT_NONE) << name;
    }
}

// Byte for byte what Qt's writer makes of the same picture: odd sizes, widths off the 8 and 16
// pixel blocks, heights over several bands, grey and colour, the whole range of qualities, and
// densities that Qt writes per inch, per centimetre, or per centimetre on a tie; what libjpeg
// refuses is refused.
TEST(EncodeJpegTest, GivesQtsBytesOrRefuses) {
    const std::pair<int, int> sizes[] = {{1, 1}, {2, 3}, {17, 9}, {33, 16}, {300, 65}, {5, 777}};
    const std::pair<int, int> densities[] = {{0, 0}, {2835, 2835}, {1000, 5007}, {5000, 5000}};
    for (int i = 0; i < 12; ++i) {
        QImage picture =
            RandomPicture(sizes[i / 2].first, sizes[i / 2].second, i)
                .convertToFormat(i % 2 ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
        picture.setDotsPerMeterX(densities[i % 4].first);  // Qt ignores 0
        picture.setDotsPerMeterY(densities[i % 4].second);
        for (const int quality : {-1, 1, 50, 95, 100}) {
            SCOPED_TRACE(testing::Message() << "picture " << i << " quality " << quality);
            QByteArray bytes;
            ASSERT_EQ(Encode(picture, quality, &bytes), 1);
            EXPECT_EQ(bytes, QtJpeg(picture, quality));
        }
    }
    // libjpeg's refusals come back in its words, with the band thread stopped and nothing leaked.
    QByteArray bytes;
    PhotoError error;
    EXPECT_EQ(Encode(QImage(65501, 3, QImage::Format_RGB888), 75, &bytes, &error), 0);
    EXPECT_NE(error.text.find("65500"), std::string::npos) << error.text;
    EXPECT_EQ(Encode(QImage(), 75, &bytes, &error), 0);
    EXPECT_EQ(error.failure, PhotoFailure::SystemError);
}
