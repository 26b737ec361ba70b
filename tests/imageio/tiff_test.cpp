// TIFF files made by libtiff's tools and ImageMagick at test time, compared with the samples
// written to them or with Qt's decode of them, through the own reader and (for compressed, tiled,
// planar and other copies the own reader refuses) through libtiff; hand-built files for field
// rules and hostile layouts.
#include <QDir>

#include <algorithm>
#include <string>
#include <vector>

#include "imageio/PhotoLoader.h"
#include "imageio/PhotoMetadata.h"
#include "imageio/PhotoSaver.h"
#include "imageio/tiff/LibTiffDecoder.h"
#include "imageio/tiff/TiffReader.h"
#include "imageio/tiff/TiffReaderTesting.h"
#include "tests/imageio/PhotoFiles.h"

namespace {

class TiffTest : public ::testing::Test {
  protected:
    int Load(const std::string& name, CImgBuff* target) const {
        return LoadTiff(folder_.Path(name).c_str(), target);
    }
    // The file through libtiff; the own reader must refuse it for the test to mean anything.
    int Decode(const std::string& name, CImgBuff* target, std::string* reason = nullptr,
               uint64_t maxPixels = UINT32_MAX) {
        const QByteArray bytes = folder_.Read(name);
        CImgBuff own;
        EXPECT_EQ(Load(name, &own), 0) << name << " is the own reader's";
        return DecodeTiffWithLibtiff(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                     static_cast<size_t>(bytes.size()), maxPixels, target, reason);
    }
    ScratchFolder folder_;
};

uint32_t Byte(const QByteArray& raw, int i) {
    return static_cast<uint8_t>(raw[i]);
}

// raw2tiff stores the raw (little-endian) samples as they are; tiffcp -B rewrites a file
// big-endian. Every copy into another layout or lossless compression gives libtiff's decoder the
// same.
TEST_F(TiffTest, FilesHoldTheWrittenSamples) {
    const int w = 297, h = 5;  // rows longer than a run of the vector conversion
    const QByteArray raw = RandomBytes(w * h * 6, 16);
    ASSERT_TRUE(folder_.Write("s.raw", raw));
    // Separate planes and extra (alpha) samples come from ImageMagick: tiffcp splits 8 bits only.
    const char* copies[] = {"tiffcp -c lzw t.tif c.tif", "tiffcp -c zip:2 -B t.tif c.tif",
                            "tiffcp -c lzw -t -w 16 -l 16 t.tif c.tif",
                            "convert t.tif -interlace plane -compress zip c.tif",
                            "convert t.tif -alpha opaque -compress lzw c.tif"};
    // raw2tiff's options (16 bits with "short", RGB with "rgb"), each file also made big-endian.
    for (const std::string options : {"-r 2 -d short -b 3 -p rgb", "-b 3 -p rgb",
                                      "-r 3 -d short -p miniswhite", "-p miniswhite"})
        for (const char* after : {"", " && tiffcp -B t.tif b.tif && mv b.tif t.tif"}) {
            const std::string command =
                "raw2tiff -M -c none -w 297 -l 5 " + options + " s.raw t.tif" + after;
            folder_.Shell("rm -f t.tif && " + command);
            const int bits = options.find("short") != std::string::npos ? 16 : 8;
            const int channels = options.find("rgb") != std::string::npos ? 3 : 1;
            const bool whiteIsZero = options.find("miniswhite") != std::string::npos;
            C_ImgBuff expected;
            MakeExpected(&expected, w, h, PT_HSV16, [&](C_ImgBuff* b, int x, int y) {
                uint32_t v[3];
                for (int k = 0; k < 3; ++k) {
                    const int i = (y * w + x) * channels + (channels == 3 ? k : 0);
                    v[k] = bits == 16 ? Byte(raw, 2 * i) | Byte(raw, 2 * i + 1) << 8 : Byte(raw, i);
                    if (whiteIsZero) v[k] = (1u << bits) - 1 - v[k];
                }
                // A grey pixel is three equal channels.
                bits == 16 ? b->SetRGB16(x, y, v[0], v[1], v[2])
                           : b->SetRGB8(x, y, v[0], v[1], v[2]);
            });
            CImgBuff loaded;
            ASSERT_EQ(Load("t.tif", &loaded), 1) << command;
            EXPECT_TRUE(SameImage(*loaded.buffer, expected)) << command;
            for (const char* copy : copies) {
                folder_.Shell(copy);
                CImgBuff decoded;
                ASSERT_EQ(Decode("c.tif", &decoded), 1) << command << " | " << copy;
                EXPECT_TRUE(SameImage(*decoded.buffer, expected)) << command << " | " << copy;
            }
        }
}

// Grey files of 1 and 4 bits (13 pixels a row: rows end inside a byte, the next starts on a new
// one) and every orientation (5 x 3 pixels, so that a missed swap of width and height shows)
// arrive as Qt's decoder shows them with the Orientation tag applied, from the own reader and
// from libtiff's decoding of an LZW copy; so do palette, CMYK (of plain colours, which
// ImageMagick converts exactly), JPEG-compressed and floating-point files, which only libtiff
// decodes.
TEST_F(TiffTest, FilesArriveAsQtShowsThem) {
    ASSERT_TRUE(folder_.Write("g.pgm", "P5 13 5 255\n" + RandomBytes(13 * 5, 3)) &&
                folder_.Write("rgb8.raw", RandomBytes(5 * 3 * 3, 21)));
    folder_.Shell(
        "convert g.pgm -depth 4 -compress none -define tiff:rows-per-strip=2 g4.tif && "
        "convert g.pgm -depth 1 -compress none g1.tif && convert g1.tif b.pbm && "
        "cp g1.tif nobits.tif && tiffset -u 258 nobits.tif && "  // 1 bit by default
        "ppm2tiff -c none -r 2 b.pbm w1.tif && "                 // WhiteIsZero
        "raw2tiff -M -c none -r 2 -w 5 -l 3 -b 3 -p rgb rgb8.raw rgb8.tif && "
        "for n in $(seq 8); do cp rgb8.tif o$n.tif && tiffset -s 274 $n o$n.tif; done && "
        "convert -seed 4 -size 48x32 plasma: -posterize 2 plain.png && "
        "convert plain.png -type Palette -compress lzw l0.tif && convert plain.png -type Palette "
        "-depth 4 l1.tif && convert plain.png -colorspace CMYK -compress zip l2.tif && "
        "convert plain.png -compress jpeg -quality 95 l3.tif && "
        "convert plain.png -type TrueColor -depth 32 -define quantum:format=floating-point l4.tif");
    // rgb8.tif is o1.tif without the tag.
    for (const QString& file : QDir(folder_.Path("").c_str()).entryList({"*.tif"})) {
        const std::string name = file.toStdString();
        C_ImgBuff shown;
        MakeReference(ReadPicture(folder_.Path(name)), &shown);
        CImgBuff loaded, decoded;
        EXPECT_TRUE(name[0] == 'l' || (Load(name, &loaded) && SameImage(*loaded.buffer, shown)))
            << name << " through the own reader";
        folder_.Shell((name[0] != 'l' ? "tiffcp -c lzw " : "cp ") + name + " lzw.tif");
        ASSERT_EQ(Decode("lzw.tif", &decoded), 1) << name;
        EXPECT_TRUE(SameImage(*decoded.buffer, shown)) << name << " through libtiff";
    }
}

// Damaged files, more samples than a photo has (16 still load) and pictures above the caller's
// limit fail in libtiff's decoder with a reason and leave the target as it was; nothing is
// printed.
TEST_F(TiffTest, LibtiffRefusalsGiveAReasonAndKeepTheTarget) {
    ASSERT_TRUE(folder_.Write("s.raw", RandomBytes(64 * 64 * 6, 9)));
    folder_.Shell(
        "raw2tiff -M -c lzw -r 64 -w 64 -l 64 -d short -b 3 -p rgb s.raw lzw.tif && "
        "raw2tiff -M -c lzw -w 8 -l 4 -b 16 s.raw 16.tif && "
        "raw2tiff -M -c lzw -w 8 -l 4 -b 17 s.raw 17.tif");
    const QByteArray whole = folder_.Read("lzw.tif");
    ASSERT_TRUE(folder_.Write("truncated.tif", whole.left(whole.size() / 2)));
    const struct {
        const char* name;
        const char* reason;  // null: loads
        uint64_t maxPixels = UINT32_MAX;
    } cases[] = {{"truncated.tif", ""},
                 {"17.tif", "17 samples per pixel"},
                 {"16.tif", nullptr},
                 {"lzw.tif", "64 x 64", 64 * 64 - 1}};
    C_ImgBuff before;
    MakeReference(RandomPicture(3, 2, 9), &before);
    for (const auto& c : cases) {
        CImgBuff target;
        target.buffer->Copy(before);
        std::string reason;
        EXPECT_EQ(Decode(c.name, &target, &reason, c.maxPixels), c.reason ? 0 : 1) << reason;
        if (c.reason == nullptr) continue;
        EXPECT_TRUE(!reason.empty() && reason.find(c.reason) != std::string::npos) << reason;
        EXPECT_TRUE(SameImage(*target.buffer, before)) << c.name;
    }
}

// Through loading, every TIFF goes to libtiff when the own reader refuses it: BigTIFFs of either
// byte order and tiles larger than the picture give the plain file's 16-bit samples, BigTIFFs
// keeping their EXIF; a damaged file is refused in libtiff's own words, and nothing is printed.
TEST_F(TiffTest, LoadingGivesLibtiffEveryTiffAndItsReasons) {
    ASSERT_TRUE(folder_.Write("s.raw", RandomBytes(300 * 200 * 6, 5)));
    folder_.Shell(
        "raw2tiff -M -c none -w 300 -l 200 -d short -b 3 -p rgb s.raw t.tif && "
        "exiftool -q -overwrite_original -Artist=Someone t.tif && tiffcp -8 t.tif big.tif && "
        "tiffcp -8 -B -c zip t.tif big-mm.tif && tiffcp -t -w 2048 -l 2048 t.tif tiles.tif && "
        "tiffcp -c lzw t.tif lzw.tif");
    ASSERT_TRUE(folder_.Write("damaged.tif",
                              folder_.Read("lzw.tif").replace(300, 3700, QByteArray(3700, 0))));
    CImgBuff plain;
    ASSERT_EQ(Load("t.tif", &plain), 1);
    for (const std::string name : {"big.tif", "big-mm.tif", "tiles.tif"}) {
        CImgBuff loaded;
        PhotoOrigin origin;
        ASSERT_TRUE(LoadPhoto(folder_.Path(name).c_str(), &loaded, nullptr, {}, &origin)) << name;
        EXPECT_TRUE(SameImage(*loaded.buffer, *plain.buffer)) << name;
        EXPECT_EQ(origin.bitsPerChannel, 16) << name;
        ASSERT_TRUE(SavePhoto(folder_.Path("saved.jpg").c_str(), &loaded, nullptr, &origin));
        EXPECT_EQ(folder_.Output("exiftool -s3 -Artist saved.jpg"), "Someone\n") << name;
    }
    PhotoError error;
    CImgBuff target;
    testing::internal::CaptureStderr();
    EXPECT_EQ(LoadPhoto(folder_.Path("damaged.tif").c_str(), &target, &error), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(error.failure, PhotoFailure::NotAPhoto);
    EXPECT_NE(error.text.find("scanline"), std::string::npos) << error.text;  // libtiff's word
}

struct Field {
    uint16_t tag, type;
    std::vector<uint32_t> values;  // RATIONAL: numerator and denominator pairs
    int64_t count = -1;            // written count when not the number of values
};

// Header, the pixel bytes at offset 8, the directory, then the values that do not fit their entry.
QByteArray BuildTiff(const std::vector<Field>& fields, const QByteArray& pixels,
                     bool bigEndian = false) {
    QByteArray out(bigEndian ? "MM" : "II");
    auto put = [&](QByteArray& to, uint32_t v, int n) {
        for (int i = 0; i < n; ++i) to += char(v >> (bigEndian ? 8 * (n - 1 - i) : 8 * i));
    };
    put(out, 42, 2);
    const uint32_t ifd = 8 + uint32_t(pixels.size());
    put(out, ifd, 4);
    out += pixels;
    put(out, uint32_t(fields.size()), 2);
    QByteArray extra;
    const uint32_t extraStart = ifd + 2 + 12 * uint32_t(fields.size()) + 4;
    for (const Field& f : fields) {
        QByteArray data;
        for (uint32_t v : f.values) put(data, v, f.type == 3 ? 2 : 4);
        const size_t count = f.type == 5 ? f.values.size() / 2 : f.values.size();
        put(out, f.tag, 2);
        put(out, f.type, 2);
        put(out, f.count >= 0 ? uint32_t(f.count) : uint32_t(count), 4);
        if (data.size() <= 4) {
            out += data.leftJustified(4, '\0');
        } else {
            put(out, extraStart + uint32_t(extra.size()), 4);
            extra += data;
        }
    }
    put(out, 0, 4);
    return out + extra;
}

// An 8-bit grey image of 4 x 4 pixels, one row per strip.
const std::vector<Field> kGrey8 = {{256, 3, {4}}, {257, 3, {4}}, {258, 3, {8}},
                                   {259, 3, {1}}, {262, 3, {1}}, {273, 4, {8, 12, 16, 20}},
                                   {277, 3, {1}}, {278, 3, {1}}, {279, 4, {4, 4, 4, 4}}};
const QByteArray kGrey8Pixels = RandomBytes(16, 7);

// The fields with each of changes replacing the field of its tag, or added when there is none;
// a change without a type removes the field.
std::vector<Field> Change(std::vector<Field> fields, std::initializer_list<Field> changes) {
    for (const Field& change : changes) {
        auto same = std::ranges::find(fields, change.tag, &Field::tag);
        if (change.type == 0) {
            fields.erase(same);
            continue;
        }
        if (same == fields.end()) same = fields.insert(same, change);
        *same = change;
    }
    return fields;
}

// Accepted files give at each place the stored pixel that index names; refused ones (no index)
// leave the target as it was.
TEST_F(TiffTest, HandBuiltFilesLoadAsTheirFieldsSayOrAreRefused) {
    using Index = int (*)(int x, int y);
    const Index stored = [](int x, int y) { return y * 4 + x; };
    // The grey image with the fields changed.
    auto grey = [](std::initializer_list<Field> changes, bool bigEndian = false) {
        return BuildTiff(Change(kGrey8, changes), kGrey8Pixels, bigEndian);
    };
    const QByteArray good = grey({});
    std::vector<Field> duplicate = kGrey8;
    duplicate.push_back({258, 3, {16}});  // only the first entry of a tag counts
    const struct {
        const char* what;
        QByteArray file;
        Index index = nullptr;
    } cases[] = {
        {"SHORT strip offsets, big-endian", grey({{273, 3, {8, 12, 16, 20}}}, true), stored},
        {"huge strip counts, only the needed values read",
         grey({{273, 4, {8, 12, 16, 20}, 0x40000000}, {279, 4, {4, 4, 4, 4}, 0x40000000}}), stored},
        {"strip past the last row", grey({{278, 4, {~0u}}, {273, 4, {8}}, {279, 4, {16}}}), stored},
        {"duplicate BitsPerSample", BuildTiff(duplicate, kGrey8Pixels), stored},
        {"orientation as LONG", grey({{274, 4, {3}}}), stored},
        {"missing strips repeat the last pixel", grey({{273, 4, {8, 12}}, {279, 4, {4, 4}}}),
         [](int x, int y) { return y < 2 ? y * 4 + x : 7; }},
        {"strip offset 0", grey({{273, 4, {8, 12, 0, 20}}}),
         [](int x, int y) { return y < 2 ? y * 4 + x : 7; }},
        {"last strip runs past the end", grey({{273, 4, {8, 12, 16, uint32_t(good.size() - 2)}}}),
         [](int x, int y) { return y < 3 ? y * 4 + x : 11; }},

        {"shorter than a header", QByteArray("II*\0\x08\0\0", 7)},
        {"directory offset past the end", QByteArray(good).replace(4, 4, "\xF0\xFF\xFF\xFF")},
        {"entry count past the end", QByteArray(good).replace(8 + 16, 2, "\xFF\xFF")},
        // Entry 5's value, behind the header, 16 pixel bytes, the entry count and 5 entries.
        {"strip offsets stored past the end", QByteArray(good).replace(94, 4, "\xF0\xFF\xFF\xFF")},
        {"RGB with 4 samples", grey({{262, 3, {2}}, {258, 3, {8, 8, 8, 8}}, {277, 3, {4}}})},
        {"no RowsPerStrip", grey({{278, 0, {}}})},
        {"RowsPerStrip 0", grey({{278, 3, {0}}})},
        {"strip counts differ", grey({{279, 4, {4, 4, 4}}})},
        {"no StripByteCounts", grey({{279, 0, {}}})},
        {"StripOffsets without values", grey({{273, 4, {}}, {279, 4, {}}})},
        {"signed samples", grey({{339, 3, {2}}})},
        {"first strip past the end", grey({{273, 4, {uint32_t(good.size() - 2), 12, 16, 20}}})},
        {"height the file cannot hold", grey({{257, 4, {1000000}}})},
        {"width above 31 bits", grey({{256, 4, {0x80000000}}, {258, 3, {1}}})},
    };
    C_ImgBuff before;
    MakeReference(RandomPicture(2, 1, 9), &before);
    for (const auto& c : cases) {
        ASSERT_TRUE(folder_.Write("t.tif", c.file));
        CImgBuff loaded;
        loaded.buffer->Copy(before);
        C_ImgBuff expected;
        expected.Copy(before);
        if (c.index)
            MakeExpected(&expected, 4, 4, PT_HSV16, [&](C_ImgBuff* b, int x, int y) {
                b->SetGray8(x, y, Byte(kGrey8Pixels, c.index(x, y)));
            });
        EXPECT_EQ(Load("t.tif", &loaded), c.index ? 1 : 0) << c.what;
        EXPECT_TRUE(SameImage(*loaded.buffer, expected)) << c.what;
        PhotoOrigin origin;  // the rows that repeat a pixel are the lower ones said to be damaged
        if (c.index) {
            EXPECT_TRUE(LoadPhoto(folder_.Path("t.tif").c_str(), &loaded, nullptr,
                                  {.allowDamaged = true}, &origin));
        }
        int missing = 0;
        for (int y = 0; c.index && y < 4; ++y) missing += c.index(0, y) != stored(0, y);
        EXPECT_EQ(origin.damagedRows, missing) << c.what;
    }
}

}  // namespace
