// Saved files read back by Qt, ImageMagick and the exiv2 tool: every pixel of the lossless
// formats, JPEG as Qt's writer makes it, the metadata and colour profile of a camera photo, and
// 16 bits where the source had them; refused and failed saves leave everything as it was.
#include <QBuffer>
#include <QColor>
#include <QColorSpace>
#include <QImageReader>

#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "imageio/PhotoFormats.h"
#include "imageio/PhotoLoader.h"
#include "imageio/PhotoMetadata.h"
#include "imageio/PhotoSaver.h"
#include "imageio/PhotoSaverTesting.h"
#include "tests/imageio/PhotoFiles.h"

namespace {

// Every pixel of a saved picture against the image's own 8-bit view of it.
void ExpectSamePixels(const QImage& saved, const C_ImgBuff& image) {
    ASSERT_EQ(saved.size(), QSize(image.width, image.height));
    for (int i = 0; i < image.width * image.height; ++i) {
        uint8_t r, g, b;
        ASSERT_EQ(image.GetRGB8(i % image.width, i / image.width, &r, &g, &b), 1);
        ASSERT_EQ(saved.pixel(i % image.width, i / image.width), qRgb(r, g, b)) << "pixel " << i;
    }
}

}  // namespace

// Every name in any case gets its format. Odd widths leave padding at the end of bitmap rows,
// odd heights a middle row; HSV images are written from the high bytes of their RGB (any HSV
// value, across several runs of the row conversion and, in TIFF, many strips encoded in several
// groups), RGB ones through the pixel accessor, grey
// ones as grey; saving leaves the image as it was. A JPEG holds exactly what Qt's writer makes
// of that 8-bit picture at the chosen quality, though its rows are made band by band beside the
// encoder.
TEST(SavePhotoTest, EachExtensionGetsItsFormatAndLosslessOnesEveryPixel) {
    ScratchFolder folder;
    CImgBuff images[4];
    MakeReference(RandomPicture(5, 3, 1), images[0].buffer, PT_RGB8);
    MakeReference(RandomPicture(70, 131, 2), images[1].buffer, PT_RGB16);
    MakeExpected(images[2].buffer, 9, 141, PT_GRAY8,
                 [](C_ImgBuff* b, int x, int y) { b->SetGray8(x, y, (x * 31 + y * 7) % 256); });
    std::mt19937 random(6);
    MakeExpected(images[3].buffer, 2001, 400, PT_HSV16, [&](C_ImgBuff* b, int x, int y) {
        b->SetHSV16(x, y, random() % 65536, x % 7 == 0 ? 65535 : random() % 65536,
                    random() % 65536);
    });
    const std::pair<const char*, QByteArray> names[] = {
        {"a.PNG", "png"},  {"c.bmp", "bmp"},  {"d.tif", "tiff"}, {"e.TIFF", "tiff"},
        {"h.tif", "tiff"}, {"f.JPG", "jpeg"}, {"g.jpeg", "jpeg"}};
    // The TIFF compressions (LZW by default) and the Compression field each writes.
    const std::map<char, std::pair<TiffCompression, int>> tiffs = {
        {'d', {TiffCompression::Lzw, 5}},
        {'e', {TiffCompression::None, 1}},
        {'h', {TiffCompression::Deflate, 8}}};
    for (CImgBuff& image : images) {
        C_ImgBuff before;
        before.Copy(*image.buffer);
        for (const auto& [name, format] : names) {
            const std::string path = folder.Path(std::to_string(before.width) + name);
            SCOPED_TRACE(path);
            SaveOptions options{.quality = name[0] == 'g' ? 90 : -1};
            if (tiffs.count(name[0])) options.tiffCompression = tiffs.at(name[0]).first;
            ASSERT_EQ(SavePhoto(path.c_str(), &image, nullptr, nullptr, &options), 1);
            if (tiffs.count(name[0]) && before.type == PT_HSV16) {
                // The first directory of the little-endian file, at offset 8, lists Compression
                // (259) among its entries.
                const QByteArray file = folder.Read(path.substr(path.rfind('/') + 1));
                ASSERT_TRUE(file.startsWith(QByteArray("II*\0\x08\0\0\0", 8)));
                const int entries = uint8_t(file[8]) | uint8_t(file[9]) << 8;
                int compression = 0;
                for (int e = 0; e < entries && 22 + 12 * e <= file.size(); ++e) {
                    const int at = 10 + 12 * e;
                    if ((uint8_t(file[at]) | uint8_t(file[at + 1]) << 8) == 259)
                        compression = uint8_t(file[at + 8]);
                }
                EXPECT_EQ(compression, tiffs.at(name[0]).second);
            }
            QByteArray written;
            const QImage saved = ReadPicture(path, true, &written);
            EXPECT_EQ(written, format);
            EXPECT_EQ(saved.depth() == 8, before.type == PT_GRAY8) << "grey saved as grey";
            if (format != "jpeg") {
                ExpectSamePixels(saved, before);
                continue;
            }
            EXPECT_EQ(folder.Read(path.substr(path.rfind('/') + 1)),
                      QtJpeg(MakeEncoderImage(before), options.quality));
        }
        EXPECT_TRUE(SameImage(*image.buffer, before)) << "saving changed the image";
    }
}

// Names of no format written, missing folders, targets other than a regular file (or a link to
// one), and sizes the format cannot hold (JPEG: 65500 pixels a side) are refused with their cause,
// and nothing is created (a write the file size limit stops is tried end to end, with the batch
// tool); a save told not to replace leaves an existing file alone and takes a free name. A
// replaced file keeps its permissions, a link is written through and stays a link, and a name in
// bytes that are not UTF-8 is written and read back as the file system holds it.
TEST(SavePhotoTest, TargetsAreCheckedAndReplacedWhole) {
    ScratchFolder folder;
    const QByteArray old = "the user's earlier photo";
    ASSERT_TRUE(folder.Write("real.png", old) && folder.Write("private.bmp", old) &&
                folder.Write("plain-file", "not a folder"));
    folder.Shell(
        "mkfifo fifo.jpg && mkdir dir.jpg && ln -s fifo.jpg to-fifo.jpg && "
        "ln -s dir.jpg to-dir.jpg && ln -s nowhere.jpg dangling.jpg && "
        "ln -s loop-b.jpg loop-a.jpg && ln -s loop-a.jpg loop-b.jpg && "
        "chmod 640 real.png && chmod 600 private.bmp && mkdir sub && "
        "ln -s ../real.png sub/link.png");
    const std::string entries = folder.Output("ls -A");
    const std::string path = folder.Path("private.bmp");
    CImgBuff image, empty, wide, loaded;
    MakeReference(RandomPicture(400, 300, 8), image.buffer, PT_RGB8);
    ASSERT_EQ(wide.buffer->Create(65501, 1, PT_HSV16), 1);
    using enum PhotoFailure;
    const std::pair<PhotoFailure, std::vector<const char*>> cases[] = {
        {NotRegularFile, {"fifo.jpg", "to-fifo.jpg"}},
        {IsFolder, {"dir.jpg", "to-dir.jpg"}},
        {DanglingLink, {"dangling.jpg"}},
        {LinkLoop, {"loop-a.jpg"}},
        {UnknownFormat, {"photo.gif", "photo", "photo.jpg.bak", "dot.d/photo"}},
        {FolderMissing, {"missing/x.jpg"}},
        {NoSuchFile, {"plain-file/x.jpg"}},
        {TooLargeForFormat, {"wide.jpg"}}};
    PhotoError error;
    for (const auto& [failure, names] : cases)
        for (const char* name : names) {
            EXPECT_EQ(SavePhoto(folder.Path(name).c_str(), &wide, &error), 0) << name;
            EXPECT_EQ(error.failure, failure) << name << ": " << error.text;
        }
    EXPECT_EQ(SavePhoto(path.c_str(), &empty), 0);
    const SaveOptions keep{.replaceExisting = false};
    EXPECT_EQ(SavePhoto(path.c_str(), &image, &error, nullptr, &keep), 0);
    EXPECT_EQ(folder.Read("private.bmp"), old);
    EXPECT_EQ(folder.Output("ls -A"), entries);

    ASSERT_EQ(SavePhoto(path.c_str(), &image), 1);
    ASSERT_EQ(SavePhoto(folder.Path("sub/link.png").c_str(), &image), 1);
    ExpectSamePixels(ReadPicture(path), *image.buffer);
    ExpectSamePixels(ReadPicture(folder.Path("real.png")), *image.buffer);
    EXPECT_EQ(folder.Output("test -L sub/link.png && stat -c %a real.png private.bmp"),
              "640\n600\n");
    EXPECT_EQ(folder.Output("ls -A"), entries);

    const std::string latin1 = folder.Path("caf\xE9.png");
    ASSERT_EQ(SavePhoto(latin1.c_str(), &image, &error, nullptr, &keep), 1);
    EXPECT_EQ(LoadPhoto(latin1.c_str(), &loaded), 1);
    EXPECT_EQ(unlink(latin1.c_str()), 0);  // Qt's own clean-up cannot name it
    // JPEG takes its largest side.
    ASSERT_EQ(wide.buffer->Create(65500, 1, PT_HSV16), 1);
    EXPECT_EQ(SavePhoto(folder.Path("edge.jpg").c_str(), &wide), 1);
}

// An encoder whose output cannot grow, as when memory is short, fails the save of every format
// written (HSV through the own TIFF writer, RGB through Qt's): inside libjpeg's, libpng's and
// libtiff's callbacks no exception may escape. The old file stays byte for byte with nothing
// beside it, the cause is memory, and the next save writes the file.
TEST(SavePhotoTest, AnEncoderShortOfMemoryLeavesTheOldFile) {
    ScratchFolder folder;
    CImgBuff images[2];
    MakeReference(RandomPicture(300, 200, 3), images[0].buffer, PT_HSV16);
    MakeReference(RandomPicture(300, 200, 4), images[1].buffer, PT_RGB8);
    for (const PhotoFormat& format : kPhotoFormats)
        for (CImgBuff& image : images) {
            if (format.encoder == PhotoEncoder::None) continue;
            const std::string name = std::string("old.") + format.extensions[0];
            SCOPED_TRACE(name + (&image == images ? " HSV" : " RGB"));
            ASSERT_TRUE(folder.Write(name, "the user's photo"));
            const std::string entries = folder.Output("ls -A");
            PhotoError error;
            PhotoSaver_FailEncoderAllocation(1);
            EXPECT_EQ(SavePhoto(folder.Path(name).c_str(), &image, &error), 0);
            PhotoSaver_FailEncoderAllocation(0);
            EXPECT_EQ(error.failure, PhotoFailure::NotEnoughMemory) << error.text;
            EXPECT_EQ(folder.Read(name), "the user's photo");
            EXPECT_EQ(folder.Output("ls -A"), entries);
            EXPECT_EQ(SavePhoto(folder.Path(name).c_str(), &image, &error), 1) << error.text;
        }
}

class PhotoMetadataTest : public ::testing::Test {
  protected:
    std::string Value(const std::string& key, const std::string& file) const {
        std::string value = folder_.Output("exiv2 -K " + key + " -Pv " + file);
        while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
        return value;
    }
    // Loads from and saves to the way a correction does, carrying the origin across.
    int Correct(const std::string& from, const std::string& to,
                const SaveOptions* options = nullptr) {
        CImgBuff image;
        PhotoOrigin origin;
        if (!LoadPhoto(folder_.Path(from).c_str(), &image, nullptr, {}, &origin)) return 0;
        return SavePhoto(folder_.Path(to).c_str(), &image, nullptr, &origin, options);
    }
    ScratchFolder folder_;
};

// A 3000 x 200 camera JPEG stored sideways (left half red, right half blue) with a thumbnail, an
// Adobe RGB profile, EXIF (camera, date, GPS, Orientation 6), XMP and IPTC. The corrected photo
// keeps all of it in every format that holds it, stands upright with Orientation 1 and its new
// size, and has no stale thumbnail; without metadata it keeps only the profile. BMP holds none
// of it and is written all the same.
TEST_F(PhotoMetadataTest, CameraJpegKeepsWhatItCarriesAndStandsUpright) {
    const QByteArray profile = QColorSpace(QColorSpace::AdobeRgb).iccProfile();
    ASSERT_TRUE(!profile.isEmpty() && folder_.Write("cam.icc", profile));
    folder_.Shell(
        "convert -size 3000x200 xc:red -fill blue -draw 'rectangle 1500,0 2999,199' "
        "-quality 95 cam.jpg && convert -size 160x120 xc:green cam-thumb.jpg && "
        "exiv2 -it cam.jpg && exiv2 -iC cam.jpg && exiv2 -M'set Exif.Image.Make Canon' "
        "-M'set Exif.Image.Model Canon EOS R5' -M'set Exif.Image.Orientation 6' "
        "-M'set Exif.Photo.PixelXDimension 3000' -M'set Exif.Photo.PixelYDimension 200' "
        "-M'set Exif.GPSInfo.GPSLatitudeRef N' -M'set Exif.GPSInfo.GPSLatitude 35/1 40/1 7/1' "
        "-M'set Xmp.xmp.Rating 4' -M'set Xmp.tiff.Orientation 6' "
        "-M'set Iptc.Application2.Caption Kiyomizu' -M'set Exif.Image.DocumentName Roll 12' "
        "-M'set Exif.Image.XResolution 300/1' -M'set Exif.Image.YResolution 240/1' "
        "-M'set Exif.Image.ResolutionUnit 2' cam.jpg");
    ASSERT_EQ(Value("Exif.Thumbnail.Compression", "cam.jpg"), "6");
    const std::pair<const char*, const char*> kept[] = {
        {"Exif.Image.Make", "Canon"},
        {"Exif.GPSInfo.GPSLatitude", "35/1 40/1 7/1"},
        {"Exif.Image.Orientation", "1"},
        {"Xmp.tiff.Orientation", "1"},
        {"Exif.Photo.PixelXDimension", "200"},
        {"Exif.Photo.PixelYDimension", "3000"},
        {"Xmp.xmp.Rating", "4"},
        {"Iptc.Application2.Caption", "Kiyomizu"},
        {"Exif.Image.DocumentName", "Roll 12"}};
    const SaveOptions strip{.keepMetadata = false};
    for (const std::string name : {"out.jpg", "out.png", "out.tif"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(Correct("cam.jpg", name), 1);
        for (const auto& [key, value] : kept) EXPECT_EQ(Value(key, name), value) << key;
        EXPECT_EQ(folder_.Output("exiv2 -pa " + name).find("Thumbnail"), std::string::npos);
        EXPECT_EQ(folder_.Output("convert " + name + " icc:-"), profile.toStdString());
        // Upright in the pixels themselves: a viewer that ignores the tag shows it right.
        const QImage saved = ReadPicture(folder_.Path(name), false);
        ASSERT_EQ(saved.size(), QSize(200, 3000));
        // The source's density, not a default: 300 x 240 per inch, as Qt reads it per metre from
        // JFIF's or TIFF's whole dots per inch or PNG's per metre.
        EXPECT_EQ(saved.dotsPerMeterX(), 11811);
        EXPECT_NEAR(saved.dotsPerMeterY(), 9449, 1);
        // PNG carries the EXIF block in the standard chunk, right after the header.
        if (name == "out.png") {
            const QByteArray png = folder_.Read(name);
            EXPECT_EQ(png.mid(37, 8), QByteArray("eXIfII*\0", 8));
            EXPECT_TRUE(png.indexOf("Canon") > 37 && png.indexOf("Canon") < png.indexOf("IDAT"));
        }
        EXPECT_GT(qRed(saved.pixel(100, 400)), 200);
        EXPECT_GT(qBlue(saved.pixel(100, 2600)), 200);

        ASSERT_EQ(Correct("cam.jpg", name, &strip), 1);
        const std::string all = folder_.Output("exiv2 -pa " + name);
        for (const char* family : {"Exif.Photo", "Exif.GPSInfo", "Make", "Xmp.", "Iptc."})
            EXPECT_EQ(all.find(family), std::string::npos) << family << " in " << all;
        EXPECT_EQ(folder_.Output("convert " + name + " icc:-"), profile.toStdString());
        EXPECT_EQ(ReadPicture(folder_.Path(name), false).dotsPerMeterX(), 11811) << "no metadata";
    }
    ASSERT_EQ(Correct("cam.jpg", "out.bmp"), 1);
}

// An XMP packet Exiv2 cannot parse (a property given twice) is carried over byte for byte, only
// the orientation set upright as in parsed XMP.
TEST_F(PhotoMetadataTest, AnUnparsableXmpPacketSurvivesWhole) {
    const std::string packet =
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
        "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
        "rdf:about=\"\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" "
        "xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\" tiff:Orientation=\"6\">"
        "<xmp:Label>Red</xmp:Label><xmp:Label>Blue</xmp:Label></rdf:Description></rdf:RDF>"
        "</x:xmpmeta>";
    QImage picture(40, 30, QImage::Format_RGB888);
    picture.fill(Qt::darkCyan);
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    ASSERT_TRUE(buffer.open(QIODevice::WriteOnly) && picture.save(&buffer, "JPEG"));
    const QByteArray payload = QByteArray("http://ns.adobe.com/xap/1.0/", 29) + packet.c_str();
    const char length[2] = {char((payload.size() + 2) >> 8), char(payload.size() + 2)};
    jpeg.insert(2, QByteArray("\xFF\xE1", 2) + QByteArray(length, 2) + payload);
    ASSERT_TRUE(folder_.Write("xmp.jpg", jpeg));
    std::string upright = packet;
    upright.replace(upright.find("Orientation=\"6\""), 15, "Orientation=\"1\"");
    for (const std::string name : {"out.jpg", "out.png", "out.tif"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(Correct("xmp.jpg", name), 1);
        EXPECT_NE(folder_.Read(name).indexOf(upright.c_str()), -1);
    }
}

// 16-bit sources (a TIFF, though named .jpg) keep 16 bits in TIFF and PNG: the samples are the
// image's 16-bit RGB, as the buffer's own getter gives them. A 16-bit PNG (RGB, with alpha, grey),
// made by Qt from the samples of a TIFF, loads as that TIFF does, alpha ignored. 8-bit sources, and
// JPEG, stay 8-bit; options choose.
TEST_F(PhotoMetadataTest, DeepSourcesSaveSixteenBitsWhereTheFormatHoldsThem) {
    const int w = 13, h = 9;
    const QByteArray raw = RandomBytes(w * h * 6, 4);
    const auto* samples = reinterpret_cast<const uint16_t*>(raw.constData());
    QImage rgb(w, h, QImage::Format_RGBX64), rgba(w, h, QImage::Format_RGBA64),
        grey(w, h, QImage::Format_Grayscale16);
    for (int i = 0; i < w * h; ++i) {
        const uint16_t* p = samples + 3 * i;
        rgb.setPixelColor(i % w, i / w, QColor::fromRgba64(p[0], p[1], p[2]));
        rgba.setPixelColor(i % w, i / w, QColor::fromRgba64(p[0], p[1], p[2], samples[i] | 1));
        reinterpret_cast<uint16_t*>(grey.scanLine(i / w))[i % w] = samples[i];
    }
    ASSERT_TRUE(folder_.Write("s.raw", raw) && rgb.save(folder_.Path("rgb16.png").c_str()) &&
                rgba.save(folder_.Path("rgba16.png").c_str()) &&
                grey.save(folder_.Path("grey16.png").c_str()));
    folder_.Shell(
        "raw2tiff -L -c none -w 13 -l 9 -d short -b 3 -p rgb s.raw s16.tif && "
        "head -c 234 s.raw > g.raw && "
        "raw2tiff -L -c none -w 13 -l 9 -d short -b 1 -p minisblack g.raw g16.tif && "
        "tiffcp -c lzw s16.tif lzw16.jpg && convert s16.tif -depth 8 s8.png");
    const std::pair<const char*, const char*> sources[] = {{"lzw16.jpg", "s16.tif"},
                                                           {"rgb16.png", "s16.tif"},
                                                           {"rgba16.png", "s16.tif"},
                                                           {"grey16.png", "g16.tif"}};
    for (const auto& [source, same] : sources) {
        SCOPED_TRACE(source);
        CImgBuff image, reference;
        PhotoOrigin origin;
        ASSERT_EQ(LoadPhoto(folder_.Path(source).c_str(), &image, nullptr, {}, &origin), 1);
        ASSERT_EQ(LoadPhoto(folder_.Path(same).c_str(), &reference), 1);
        EXPECT_TRUE(SameImage(*image.buffer, *reference.buffer));
        EXPECT_EQ(origin.bitsPerChannel, 16);
        QByteArray expected;  // the image's 16-bit RGB, little-endian as ImageMagick writes it
        for (int i = 0; i < w * h; ++i) {
            uint16_t rgb[3];
            ASSERT_EQ(image.buffer->GetRGB16(i % w, i / w, rgb, rgb + 1, rgb + 2), 1);
            expected.append(reinterpret_cast<const char*>(rgb), sizeof rgb);
        }
        for (const std::string name : {"o.tif", "o.png"}) {
            ASSERT_EQ(SavePhoto(folder_.Path(name).c_str(), &image, nullptr, &origin), 1);
            EXPECT_EQ(folder_.Output("convert " + name + " -depth 16 -endian LSB rgb:-"),
                      expected.toStdString());
        }
    }
    CImgBuff image;
    PhotoOrigin origin;
    ASSERT_EQ(LoadPhoto(folder_.Path("lzw16.jpg").c_str(), &image, nullptr, {}, &origin), 1);
    const SaveOptions eight{.bitsPerChannel = 8}, sixteen{.bitsPerChannel = 16};
    ASSERT_EQ(SavePhoto(folder_.Path("o8.tif").c_str(), &image, nullptr, &origin, &eight), 1);
    ASSERT_EQ(SavePhoto(folder_.Path("o.jpg").c_str(), &image, nullptr, &origin, &sixteen), 1);
    ASSERT_EQ(Correct("s8.png", "from8.png"), 1);
    ASSERT_EQ(Correct("s8.png", "wide.png", &sixteen), 1);
    EXPECT_EQ(folder_.Output("identify -format %z o8.tif o.jpg from8.png wide.png"), "88816");
}
