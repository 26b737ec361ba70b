// Files made by libtiff's tools and ImageMagick at test time, compared with the samples written to
// them or with Qt's decode of them; hand-built files for field rules and hostile layouts.
#include <sys/stat.h>

#include <QImageReader>

#include <algorithm>
#include <string>
#include <vector>

#include "imageio/tiff/TiffReader.h"
#include "tests/imageio/PhotoFiles.h"

namespace {

class TiffReaderTest : public ::testing::Test {
  protected:
    void Shell(const std::string& command) { ASSERT_TRUE(folder_.Run(command)) << command; }
    int Load(const std::string& name, CImgBuff* target) const {
        return LoadTiff(folder_.Path(name).c_str(), target);
    }
    ScratchFolder folder_;
};

uint32_t Byte(const QByteArray& raw, int i) {
    return static_cast<uint8_t>(raw[i]);
}
uint32_t LittleEndian16(const QByteArray& raw, int i) {
    return Byte(raw, 2 * i) | Byte(raw, 2 * i + 1) << 8;
}

// raw2tiff stores the raw (little-endian) samples as they are; tiffcp -B rewrites a file
// big-endian. 7 x 37 pixels; the turned file is 37 x 7 with the left column, read upwards, on top.
TEST_F(TiffReaderTest, FilesFromLibtiffToolsHoldTheWrittenSamples) {
    const int w = 7, h = 37;
    const QByteArray raw = RandomBytes(w * h * 6, 16);
    ASSERT_TRUE(folder_.Write("s.raw", raw));
    const std::string bigEndian = " && tiffcp -B t.tif b.tif && mv b.tif t.tif";
    const struct {
        std::string options, after;  // for raw2tiff, and commands run on its file
        int channels, bits;
        bool whiteIsZero = false, turned = false;
    } cases[] = {
        {"-r 2 -d short -b 3 -p rgb", "", 3, 16},
        {"-d short -b 3 -p rgb", bigEndian, 3, 16},
        {"-r 3 -d short -b 3 -p rgb", " && tiffset -s 274 6 t.tif", 3, 16, false, true},
        {"-b 3 -p rgb", "", 3, 8},
        {"-d short", bigEndian, 1, 16},
        {"-r 3 -d short -p miniswhite", "", 1, 16, true},
        {"-r 1", "", 1, 8},
        {"-p miniswhite", "", 1, 8, true},
    };
    for (const auto& c : cases) {
        const std::string command = "raw2tiff -M -c none -w 7 -l 37 " + c.options + " s.raw t.tif";
        Shell("rm -f t.tif && " + command + c.after);
        CImgBuff loaded;
        C_ImgBuff expected;
        ASSERT_EQ(Load("t.tif", &loaded), 1) << command;
        MakeExpected(
            &expected, c.turned ? h : w, c.turned ? w : h, [&](C_ImgBuff* b, int x, int y) {
                const int first = (c.turned ? (h - 1 - x) * w + y : y * w + x) * c.channels;
                uint32_t v[3];
                for (int k = 0; k < 3; ++k) {
                    const int i = first + (c.channels == 3 ? k : 0);
                    v[k] = c.bits == 16 ? LittleEndian16(raw, i) : Byte(raw, i);
                    if (c.whiteIsZero) v[k] = (1u << c.bits) - 1 - v[k];
                }
                // A grey pixel is three equal channels.
                c.bits == 16 ? b->SetRGB16(x, y, v[0], v[1], v[2])
                             : b->SetRGB8(x, y, v[0], v[1], v[2]);
            });
        EXPECT_TRUE(SameImage(*loaded.buffer, expected)) << command;
    }
}

// 13 pixels a row: 1-bit and 4-bit rows end inside a byte, and the next row starts on a new one.
TEST_F(TiffReaderTest, SubByteRowsStartOnTheirOwnByte) {
    auto grey4 = [](int x, int y) { return (x * 7 + y * 5) % 16 * 17; };
    auto grey1 = [](int x, int y) { return (x * 3 + y) % 5 < 2 ? 255 : 0; };
    QByteArray pgm4 = "P5 13 5 255\n", pgm1 = pgm4;
    for (int i = 0; i < 13 * 5; ++i) {
        pgm4 += char(grey4(i % 13, i / 13));
        pgm1 += char(grey1(i % 13, i / 13));
    }
    ASSERT_TRUE(folder_.Write("g4.pgm", pgm4) && folder_.Write("g1.pgm", pgm1));
    Shell("convert g4.pgm -depth 4 -compress none -define tiff:rows-per-strip=2 g4.tif");
    Shell("convert g1.pgm -depth 1 -compress none g1.tif");
    Shell("cp g1.tif nobits.tif && tiffset -u 258 nobits.tif");
    Shell("convert g1.pgm b.pbm && ppm2tiff -c none -r 2 b.pbm w1.tif");  // WhiteIsZero
    for (const std::string name : {"g4.tif", "g1.tif", "nobits.tif", "w1.tif"}) {
        CImgBuff loaded;
        C_ImgBuff expected;
        ASSERT_EQ(Load(name, &loaded), 1) << name;
        MakeExpected(&expected, 13, 5, [&](C_ImgBuff* b, int x, int y) {
            b->SetGray8(x, y, name == "g4.tif" ? grey4(x, y) : grey1(x, y));
        });
        EXPECT_TRUE(SameImage(*loaded.buffer, expected)) << name;
    }
}

TEST_F(TiffReaderTest, OnlyTheFirstPageIsLoaded) {
    ASSERT_TRUE(folder_.Write("a.raw", RandomBytes(4 * 3 * 3, 1)) &&
                folder_.Write("b.raw", RandomBytes(6 * 2, 2)));
    Shell("raw2tiff -M -c none -w 4 -l 3 -b 3 -p rgb a.raw a.tif");
    Shell("raw2tiff -M -c none -w 6 -l 2 b.raw b.tif");
    Shell("tiffcp a.tif b.tif ab.tif");
    CImgBuff first, loaded;
    ASSERT_EQ(Load("a.tif", &first), 1);
    ASSERT_EQ(Load("ab.tif", &loaded), 1);
    EXPECT_TRUE(SameImage(*loaded.buffer, *first.buffer));
}

// Every prefix of a real file: those that cut the directory or the pixels are refused, and any
// that still loads gives the whole file's image.
TEST_F(TiffReaderTest, TruncatedFilesAreRefused) {
    ASSERT_TRUE(folder_.Write("rgb16.raw", RandomBytes(5 * 4 * 6, 9)));
    Shell("raw2tiff -M -c none -r 1 -w 5 -l 4 -d short -b 3 -p rgb rgb16.raw whole.tif");
    const QByteArray whole = folder_.Read("whole.tif");
    CImgBuff full;
    ASSERT_EQ(Load("whole.tif", &full), 1);
    const uint32_t ifd =
        Byte(whole, 4) | Byte(whole, 5) << 8 | Byte(whole, 6) << 16 | Byte(whole, 7) << 24;
    const uint32_t directoryEnd = ifd + 2 + 12 * (Byte(whole, ifd) | Byte(whole, ifd + 1) << 8);
    for (int length = 0; length < whole.size(); ++length) {
        ASSERT_TRUE(folder_.Write("cut.tif", whole.left(length)));
        CImgBuff loaded;
        const int result = Load("cut.tif", &loaded);
        if (length < int(directoryEnd) || length < 8 + 5 * 4 * 6) {
            EXPECT_EQ(result, 0) << length;
        } else if (result) {
            EXPECT_TRUE(SameImage(*loaded.buffer, *full.buffer)) << length;
        }
    }
}

// Qt's TIFF decoder applies the Orientation tag when asked to; the reader must arrive at the same
// picture. 5 x 3 pixels, so that a missed swap of width and height shows.
TEST_F(TiffReaderTest, OrientedFilesArriveAsQtShowsThem) {
    ASSERT_TRUE(folder_.Write("rgb8.raw", RandomBytes(5 * 3 * 3, 21)));
    Shell("raw2tiff -M -c none -r 2 -w 5 -l 3 -b 3 -p rgb rgb8.raw rgb8.tif");
    for (int n = 1; n <= 8; ++n) {
        Shell("cp rgb8.tif o.tif && tiffset -s 274 " + std::to_string(n) + " o.tif");
        CImgBuff loaded;
        ASSERT_EQ(Load("o.tif", &loaded), 1) << n;
        QImageReader reader(QString::fromStdString(folder_.Path("o.tif")));
        reader.setAutoTransform(true);
        C_ImgBuff shown;
        MakeReference(reader.read(), &shown);
        EXPECT_TRUE(SameImage(*loaded.buffer, shown)) << "orientation " << n;
    }
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

// The fields with each of changes replacing the field of its tag, or added when there is none.
std::vector<Field> Change(std::vector<Field> fields, std::initializer_list<Field> changes) {
    for (const Field& change : changes) {
        auto same = std::ranges::find(fields, change.tag, &Field::tag);
        if (same == fields.end()) same = fields.insert(same, change);
        *same = change;
    }
    return fields;
}

std::vector<Field> Remove(std::vector<Field> fields, uint16_t tag) {
    std::erase_if(fields, [&](const Field& f) { return f.tag == tag; });
    return fields;
}

// Accepted files give at each place the stored pixel that index names; refused ones (no index)
// leave the target as it was.
TEST_F(TiffReaderTest, HandBuiltFilesLoadAsTheirFieldsSayOrAreRefused) {
    using Index = int (*)(int x, int y);
    const Index stored = [](int x, int y) { return y * 4 + x; };
    auto grey = [](const std::vector<Field>& fields) { return BuildTiff(fields, kGrey8Pixels); };
    const QByteArray good = grey(kGrey8);
    auto patched = [](QByteArray file, int at, std::initializer_list<uint8_t> bytes) {
        for (uint8_t v : bytes) file[at++] = char(v);
        return file;
    };
    // Where the value (or its offset) of entry sits, behind pixelBytes of pixels.
    auto valueField = [](int pixelBytes, int entry) { return 8 + pixelBytes + 2 + 12 * entry + 8; };
    const std::vector<Field> rgb = Change(
        kGrey8, {{262, 3, {2}}, {258, 3, {8, 8, 8}}, {277, 3, {3}}, {273, 4, {8, 20, 32, 44}}});
    const QByteArray rgbPixels = RandomBytes(48, 5);
    std::vector<Field> duplicate = kGrey8;
    duplicate.push_back({258, 3, {16}});  // only the first entry of a tag counts
    const int nextDirectory = 8 + 16 + 2 + 12 * int(kGrey8.size());
    const struct {
        const char* what;
        QByteArray file;
        Index index = nullptr;
    } cases[] = {
        {"SHORT strip offsets",
         BuildTiff(Change(kGrey8, {{273, 3, {8, 12, 16, 20}}}), kGrey8Pixels, true), stored},
        {"huge strip counts, only the needed values read",
         grey(Change(kGrey8,
                     {{273, 4, {8, 12, 16, 20}, 0x40000000}, {279, 4, {4, 4, 4, 4}, 0x40000000}})),
         stored},
        {"rows per strip beyond the image",
         grey(Change(kGrey8, {{278, 4, {0xFFFFFFFF}}, {273, 4, {8}}, {279, 4, {16}}})), stored},
        {"duplicate BitsPerSample", grey(duplicate), stored},
        {"orientation as LONG", grey(Change(kGrey8, {{274, 4, {3}}})), stored},
        {"next directory is itself",
         good.left(nextDirectory) + good.mid(4, 4) + good.mid(nextDirectory + 4), stored},
        {"missing strips repeat the last pixel",
         grey(Change(kGrey8, {{273, 4, {8, 12}}, {279, 4, {4, 4}}})),
         [](int x, int y) { return y < 2 ? y * 4 + x : 7; }},

        {"shorter than a header", QByteArray("II*\0\x08\0\0", 7)},
        {"no byte-order mark", QByteArray("IM*\0\x08\0\0\0\0\0", 10)},
        {"directory offset past the end", patched(good, 4, {0xF0, 0xFF, 0xFF, 0xFF})},
        {"directory offset 0", patched(good, 4, {0, 0, 0, 0})},
        {"entry count past the end", patched(good, 8 + 16, {0xFF, 0xFF})},
        {"strip offsets stored past the end",
         patched(good, valueField(16, 5), {0xF0, 0xFF, 0xFF, 0xFF})},
        {"RGB bits stored past the end",
         patched(BuildTiff(rgb, rgbPixels), valueField(48, 2), {0xF0, 0xFF, 0xFF, 0xFF})},
        {"RGB with 4 samples",
         BuildTiff(Change(rgb, {{258, 3, {8, 8, 8, 8}}, {277, 3, {4}}}), rgbPixels)},
        {"no RowsPerStrip", grey(Remove(kGrey8, 278))},
        {"RowsPerStrip 0", grey(Change(kGrey8, {{278, 3, {0}}}))},
        {"strip counts differ", grey(Change(kGrey8, {{279, 4, {4, 4, 4}}}))},
        {"no StripByteCounts", grey(Remove(kGrey8, 279))},
        {"StripOffsets without values", grey(Change(kGrey8, {{273, 4, {}}, {279, 4, {}}}))},
        {"FillOrder 2", grey(Change(kGrey8, {{266, 3, {2}}}))},
        {"PlanarConfiguration 2", grey(Change(kGrey8, {{284, 3, {2}}}))},
        {"grey with 2 samples", grey(Change(kGrey8, {{277, 3, {2}}}))},
        {"signed samples", grey(Change(kGrey8, {{339, 3, {2}}}))},
        {"strip offset past the end", grey(Change(kGrey8, {{273, 4, {8, 12, 16, 0xFFFFFFF0}}}))},
        {"last strip runs past the end",
         grey(Change(kGrey8, {{273, 4, {8, 12, 16, uint32_t(good.size() - 2)}}}))},
        {"strip offset 0", grey(Change(kGrey8, {{273, 4, {8, 12, 0, 20}}}))},
        {"huge size", grey(Change(kGrey8, {{256, 4, {0x7FFFFFFF}}, {257, 4, {0x7FFFFFFF}}}))},
        {"height the file cannot hold", grey(Change(kGrey8, {{257, 4, {1000000}}}))},
        {"width above 31 bits", grey(Change(kGrey8, {{256, 4, {0x80000000}}, {258, 3, {1}}}))},
    };
    C_ImgBuff before;
    MakeExpected(&before, 2, 1, [](C_ImgBuff* b, int x, int) { b->SetRGB8(x, 0, 10, 20, 30); });
    for (const auto& c : cases) {
        ASSERT_TRUE(folder_.Write("t.tif", c.file));
        CImgBuff loaded;
        loaded.buffer->Copy(before);
        C_ImgBuff expected;
        expected.Copy(before);
        if (c.index) {
            MakeExpected(&expected, 4, 4, [&](C_ImgBuff* b, int x, int y) {
                b->SetGray8(x, y, Byte(kGrey8Pixels, c.index(x, y)));
            });
        }
        EXPECT_EQ(Load("t.tif", &loaded), c.index ? 1 : 0) << c.what;
        EXPECT_TRUE(SameImage(*loaded.buffer, expected)) << c.what;
    }
    CImgBuff target;
    EXPECT_EQ(Load("missing.tif", &target), 0);
    EXPECT_EQ(Load(".", &target), 0);
    // A FIFO must not make the reader wait for a writer.
    ASSERT_EQ(mkfifo(folder_.Path("fifo.tif").c_str(), 0600), 0);
    EXPECT_EQ(Load("fifo.tif", &target), 0);
}

}  // namespace
