// Files made by libtiff's tools and ImageMagick at test time, compared with the samples written to
// them or with Qt's decode of them; hand-built files for the damaged and hostile cases.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QImage>
#include <QImageReader>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "image/ImgBuff.h"
#include "imageio/TiffReader.h"

namespace {

using Bytes = std::vector<uint8_t>;

class TiffReaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tiff_reader_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    void Write(const std::string& name, const Bytes& bytes) const {
        std::ofstream out(Path(name), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }

    Bytes ReadBack(const std::string& name) const {
        std::ifstream in(Path(name), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

    // Runs a shell command in the temp folder; the tools write the files under test.
    void Shell(const std::string& command) const {
        const std::string line = "cd '" + dir_ + "' && " + command + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(line.c_str()), 0) << command;
    }

    int Load(const std::string& name, CImgBuff* target) const {
        return LoadTiff(Path(name).c_str(), target);
    }

    std::string dir_;
};

// A PT_HSV16 buffer filled through the same setters the reader must use, from known samples.
void MakeExpected(CImgBuff* out, int w, int h,
                  const std::function<void(C_ImgBuff*, int, int)>& set) {
    ASSERT_EQ(out->buffer->Create(w, h, PT_HSV16), 1);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) set(out->buffer, x, y);
    }
}

::testing::AssertionResult SameBuffer(const CImgBuff& a, const CImgBuff& b) {
    int32_t wa, ha, wb, hb;
    PixelType ta, tb;
    const uint8_t* pa = a.GetData(&wa, &ha, &ta);
    const uint8_t* pb = b.GetData(&wb, &hb, &tb);
    if (wa != wb || ha != hb || ta != tb || !pa || !pb) {
        return ::testing::AssertionFailure() << "shape " << wa << "x" << ha << " type " << ta
                                             << " vs " << wb << "x" << hb << " type " << tb;
    }
    const size_t n = size_t(wa) * ha * kBytesPerPixel[ta];
    for (size_t i = 0; i < n; ++i) {
        if (pa[i] != pb[i]) {
            const size_t pixel = i / kBytesPerPixel[ta];
            return ::testing::AssertionFailure()
                   << "differs at pixel (" << pixel % wa << ", " << pixel / wa << ")";
        }
    }
    return ::testing::AssertionSuccess();
}

Bytes PatternBytes(size_t n, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes bytes(n);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

// ---- Files written by other programs -----------------------------------------------------------

// Samples in the writer's byte order (little-endian raw input), 7 x 37 pixels. raw2tiff writes
// them as they are; tiffcp -B rewrites a file big-endian.
TEST_F(TiffReaderTest, WrittenSamplesLoadAtFullPrecision) {
    const int w = 7, h = 37;
    Bytes rgb16 = PatternBytes(w * h * 6, 16);
    std::fill_n(rgb16.begin(), 6, 0x12);  // a neutral pixel that must come back exactly
    const Bytes rgb8 = PatternBytes(w * h * 3, 8), g16 = PatternBytes(w * h * 2, 17),
                g8 = PatternBytes(w * h, 80);
    Write("rgb16.raw", rgb16);
    Write("rgb8.raw", rgb8);
    Write("g16.raw", g16);
    Write("g8.raw", g8);
    auto at16 = [&](const Bytes& b, size_t i) { return uint32_t(b[2 * i] | b[2 * i + 1] << 8); };
    using Set = std::function<void(C_ImgBuff*, int, int, int)>;  // x, y, pixel index
    const Set setRgb16 = [&](C_ImgBuff* b, int x, int y, int i) {
        b->SetRGB16(x, y, at16(rgb16, 3 * i), at16(rgb16, 3 * i + 1), at16(rgb16, 3 * i + 2));
    };
    const Set setGrey16 = [&](C_ImgBuff* b, int x, int y, int i) {
        b->SetGray16(x, y, at16(g16, i));
    };
    const struct {
        const char* commands;
        Set set;
    } cases[] = {
        {"raw2tiff -M -c none -r 2 -w 7 -l 37 -d short -b 3 -p rgb rgb16.raw t.tif", setRgb16},
        {"raw2tiff -M -c none -w 7 -l 37 -d short -b 3 -p rgb rgb16.raw le.tif && "
         "tiffcp -B le.tif t.tif",
         setRgb16},
        {"raw2tiff -M -c none -w 7 -l 37 -b 3 -p rgb rgb8.raw t.tif",
         [&](C_ImgBuff* b, int x, int y, int i) {
             b->SetRGB8(x, y, rgb8[3 * i], rgb8[3 * i + 1], rgb8[3 * i + 2]);
         }},
        {"raw2tiff -M -c none -r 3 -w 7 -l 37 -d short g16.raw t.tif", setGrey16},
        {"raw2tiff -M -c none -w 7 -l 37 -d short g16.raw le.tif && tiffcp -B le.tif t.tif",
         setGrey16},
        {"raw2tiff -M -c none -w 7 -l 37 -d short -p miniswhite g16.raw t.tif",
         [&](C_ImgBuff* b, int x, int y, int i) { b->SetGray16(x, y, 65535 - at16(g16, i)); }},
        {"raw2tiff -M -c none -r 1 -w 7 -l 37 g8.raw t.tif",
         [&](C_ImgBuff* b, int x, int y, int i) { b->SetGray8(x, y, g8[i]); }},
        {"raw2tiff -M -c none -r 1 -w 7 -l 37 -p miniswhite g8.raw t.tif",
         [&](C_ImgBuff* b, int x, int y, int i) { b->SetGray8(x, y, 255 - g8[i]); }},
    };
    CImgBuff firstRgb16;
    for (const auto& c : cases) {
        Shell("rm -f t.tif && " + std::string(c.commands));
        CImgBuff loaded, expected;
        ASSERT_EQ(Load("t.tif", &loaded), 1) << c.commands;
        MakeExpected(&expected, w, h,
                     [&](C_ImgBuff* b, int x, int y) { c.set(b, x, y, y * w + x); });
        EXPECT_TRUE(SameBuffer(loaded, expected)) << c.commands;
        if (&c == &cases[0]) firstRgb16.Copy(loaded);
        if (&c == &cases[1]) {
            EXPECT_EQ(ReadBack("t.tif")[0], 'M');
            EXPECT_TRUE(SameBuffer(loaded, firstRgb16));
        }
    }
    uint16_t r, g, b;
    ASSERT_EQ(firstRgb16.buffer->GetRGB16(0, 0, &r, &g, &b), 1);
    EXPECT_EQ(r, 0x1212);
    EXPECT_EQ(b, 0x1212);
}

// 13 pixels per row: both 1-bit and 4-bit rows end inside a byte, and the next row must start on
// the following byte.
TEST_F(TiffReaderTest, SubByteRowsStartOnTheirOwnByte) {
    const int w = 13, h = 5;
    auto level = [](int x, int y) { return (x * 7 + y * 5) % 16; };
    auto bit = [](int x, int y) { return (x * 3 + y) % 5 < 2; };
    std::string pgm4 = "P5 13 5 255\n", pgm1 = pgm4, pbm = "P4 13 5\n";
    for (int y = 0; y < h; ++y) {
        uint8_t packed[2] = {0, 0};
        for (int x = 0; x < w; ++x) {
            pgm4 += char(level(x, y) * 17);
            pgm1 += char(bit(x, y) ? 255 : 0);
            if (bit(x, y)) packed[x / 8] |= 0x80 >> (x % 8);
        }
        pbm.append(reinterpret_cast<char*>(packed), 2);
    }
    Write("g4.pgm", Bytes(pgm4.begin(), pgm4.end()));
    Write("g1.pgm", Bytes(pgm1.begin(), pgm1.end()));
    Write("b.pbm", Bytes(pbm.begin(), pbm.end()));
    Shell("convert g4.pgm -depth 4 -compress none -define tiff:rows-per-strip=2 g4.tif");
    Shell("convert g1.pgm -depth 1 -compress none g1.tif");
    Shell("ppm2tiff -c none -r 2 b.pbm w1.tif");  // WhiteIsZero: a set bit is black
    Shell("cp g1.tif nobits.tif && tiffset -u 258 nobits.tif");

    CImgBuff loaded, expected;
    ASSERT_EQ(Load("g4.tif", &loaded), 1);
    MakeExpected(&expected, w, h,
                 [&](C_ImgBuff* b, int x, int y) { b->SetGray8(x, y, level(x, y) * 17); });
    EXPECT_TRUE(SameBuffer(loaded, expected));

    MakeExpected(&expected, w, h,
                 [&](C_ImgBuff* b, int x, int y) { b->SetGray8(x, y, bit(x, y) ? 255 : 0); });
    for (const char* name : {"g1.tif", "nobits.tif"}) {
        ASSERT_EQ(Load(name, &loaded), 1) << name;
        EXPECT_TRUE(SameBuffer(loaded, expected)) << name;
    }
    MakeExpected(&expected, w, h,
                 [&](C_ImgBuff* b, int x, int y) { b->SetGray8(x, y, bit(x, y) ? 0 : 255); });
    ASSERT_EQ(Load("w1.tif", &loaded), 1);
    EXPECT_TRUE(SameBuffer(loaded, expected));
}

TEST_F(TiffReaderTest, OnlyTheFirstPageIsLoaded) {
    Write("a.raw", PatternBytes(4 * 3 * 3, 1));
    Write("b.raw", PatternBytes(6 * 2, 2));
    Shell("raw2tiff -M -c none -w 4 -l 3 -b 3 -p rgb a.raw a.tif");
    Shell("raw2tiff -M -c none -w 6 -l 2 b.raw b.tif");
    Shell("tiffcp a.tif b.tif ab.tif");
    Shell("tiffcp b.tif a.tif ba.tif");
    CImgBuff first, loaded;
    ASSERT_EQ(Load("a.tif", &first), 1);
    ASSERT_EQ(Load("ab.tif", &loaded), 1);
    EXPECT_TRUE(SameBuffer(loaded, first));
    ASSERT_EQ(Load("b.tif", &first), 1);
    ASSERT_EQ(Load("ba.tif", &loaded), 1);
    EXPECT_TRUE(SameBuffer(loaded, first));
}

// Layouts outside the subset go to the general decoder: LoadTiff leaves the target as it was.
TEST_F(TiffReaderTest, RefusesWhatItCannotDecode) {
    Write("rgb.raw", PatternBytes(16 * 16 * 4, 3));
    Write("grey.raw", PatternBytes(16 * 16 * 4, 4));
    Shell("raw2tiff -M -c none -w 16 -l 16 -b 3 -p rgb rgb.raw rgb.tif");
    Shell("tiffcp -c lzw rgb.tif lzw.tif");
    Shell("tiffcp -c zip rgb.tif zip.tif");
    Shell("tiffcp -c packbits rgb.tif packbits.tif");
    Shell("tiffcp -t -w 16 -l 16 rgb.tif tiled.tif");
    Shell("tiffcp -p separate rgb.tif planar.tif");
    Shell("tiffcp -f lsb2msb rgb.tif fill2.tif");
    Shell("convert rgb.tif -type Palette -compress none palette.tif");
    Shell("raw2tiff -M -c none -w 16 -l 16 -b 4 -p rgb rgb.raw rgba.tif");
    Shell("raw2tiff -M -c none -w 16 -l 16 -b 2 -p minisblack grey.raw grey2.tif");
    Shell("raw2tiff -M -c none -w 16 -l 16 -d sshort -p minisblack grey.raw signed.tif");
    Shell("raw2tiff -M -c none -w 16 -l 16 -d float -p minisblack grey.raw float.tif");
    Shell("raw2tiff -M -c none -w 16 -l 16 -d long -p minisblack grey.raw grey32.tif");
    Write("short.tif", {'I', 'I', 42, 0, 8, 0, 0});
    Write("nomark.tif", Bytes{'I', 'M', 42, 0, 8, 0, 0, 0, 0, 0});

    CImgBuff target;
    ASSERT_EQ(Load("rgb.tif", &target), 1);
    for (const char* name : {"lzw.tif", "zip.tif", "packbits.tif", "tiled.tif", "planar.tif",
                             "fill2.tif", "palette.tif", "rgba.tif", "grey2.tif", "signed.tif",
                             "float.tif", "grey32.tif", "short.tif", "nomark.tif", "missing.tif"}) {
        CImgBuff kept;
        kept.buffer->Create(2, 1, PT_HSV16);
        kept.buffer->SetRGB8(1, 0, 10, 20, 30);
        CImgBuff before;
        before.Copy(kept);
        EXPECT_EQ(Load(name, &kept), 0) << name;
        EXPECT_TRUE(SameBuffer(kept, before)) << name;
    }
    EXPECT_EQ(Load(".", &target), 0);
    ASSERT_EQ(mkfifo(Path("fifo.tif").c_str(), 0600), 0);
    EXPECT_EQ(ReadTiffFile(Path("fifo.tif").c_str()), nullptr);  // must not wait for a writer
}

// Every prefix of a real file: the ones that cut the directory or the pixels are refused, and any
// that still loads gives the whole file's image.
TEST_F(TiffReaderTest, TruncatedFilesAreRefused) {
    Write("rgb16.raw", PatternBytes(5 * 4 * 6, 9));
    Shell("raw2tiff -M -c none -r 1 -w 5 -l 4 -d short -b 3 -p rgb rgb16.raw whole.tif");
    const Bytes whole = ReadBack("whole.tif");
    CImgBuff full;
    ASSERT_EQ(Load("whole.tif", &full), 1);
    const uint32_t ifd = whole[4] | whole[5] << 8 | whole[6] << 16 | uint32_t(whole[7]) << 24;
    const size_t directoryEnd = ifd + 2 + 12 * size_t(whole[ifd] | whole[ifd + 1] << 8);
    for (size_t length = 0; length < whole.size(); ++length) {
        Write("cut.tif", Bytes(whole.begin(), whole.begin() + length));
        CImgBuff loaded;
        const int result = Load("cut.tif", &loaded);
        if (length < directoryEnd || length < 8 + 5 * 4 * 6) {
            EXPECT_EQ(result, 0) << length;
        }
        if (result) {
            EXPECT_TRUE(SameBuffer(loaded, full)) << length;
        }
    }
}

// ---- Hand-built files --------------------------------------------------------------------------

struct Field {
    uint16_t tag, type;
    std::vector<uint32_t> values;  // RATIONAL: numerator and denominator pairs
    int64_t count = -1;            // written count when not the number of values
};

// Header, then the pixel bytes at offset 8, then the directory, then the values that do not fit
// in their entries.
Bytes BuildTiff(bool bigEndian, const std::vector<Field>& fields, const Bytes& pixels) {
    Bytes out;
    auto put = [&](Bytes& to, uint32_t v, int n) {
        for (int i = 0; i < n; ++i) {
            const int shift = bigEndian ? 8 * (n - 1 - i) : 8 * i;
            to.push_back(static_cast<uint8_t>(v >> shift));
        }
    };
    out.push_back(bigEndian ? 'M' : 'I');
    out.push_back(bigEndian ? 'M' : 'I');
    put(out, 42, 2);
    const uint32_t ifd = 8 + static_cast<uint32_t>(pixels.size());
    put(out, ifd, 4);
    out.insert(out.end(), pixels.begin(), pixels.end());
    put(out, static_cast<uint32_t>(fields.size()), 2);
    Bytes extra;
    const uint32_t extraStart = ifd + 2 + 12 * static_cast<uint32_t>(fields.size()) + 4;
    for (const Field& f : fields) {
        const int size = f.type == 3 ? 2 : 4;
        Bytes data;
        for (uint32_t v : f.values) put(data, v, size);
        const uint32_t count = f.type == 5 ? f.values.size() / 2 : f.values.size();
        put(out, f.tag, 2);
        put(out, f.type, 2);
        put(out, f.count >= 0 ? static_cast<uint32_t>(f.count) : count, 4);
        if (data.size() <= 4) {
            data.resize(4, 0);
            out.insert(out.end(), data.begin(), data.end());
        } else {
            put(out, extraStart + static_cast<uint32_t>(extra.size()), 4);
            extra.insert(extra.end(), data.begin(), data.end());
        }
    }
    put(out, 0, 4);
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
}

// An 8-bit grey image of 4 x 4 pixels, one row per strip.
std::vector<Field> Grey8Fields() {
    return {{256, 3, {4}}, {257, 3, {4}}, {258, 3, {8}},
            {259, 3, {1}}, {262, 3, {1}}, {273, 4, {8, 12, 16, 20}},
            {277, 3, {1}}, {278, 3, {1}}, {279, 4, {4, 4, 4, 4}}};
}

std::vector<Field> Change(std::vector<Field> fields, const Field& field) {
    for (Field& f : fields) {
        if (f.tag == field.tag) {
            f = field;
            return fields;
        }
    }
    fields.push_back(field);
    return fields;
}

std::vector<Field> Remove(std::vector<Field> fields, uint16_t tag) {
    std::erase_if(fields, [&](const Field& f) { return f.tag == tag; });
    return fields;
}

const Bytes kGrey16Pixels = [] {
    Bytes p(16);
    for (int i = 0; i < 16; ++i) p[i] = static_cast<uint8_t>(i * 16 + 3);
    return p;
}();

TEST_F(TiffReaderTest, HandBuiltFieldRules) {
    CImgBuff expected;
    MakeExpected(&expected, 4, 4,
                 [](C_ImgBuff* b, int x, int y) { b->SetGray8(x, y, kGrey16Pixels[y * 4 + x]); });
    const std::vector<Field> base = Grey8Fields();
    const struct {
        const char* what;
        std::vector<Field> fields;
        bool big;
    } accepted[] = {
        {"plain", base, false},
        {"big-endian", base, true},
        {"LONG sizes", Change(Change(base, {256, 4, {4}}), {257, 4, {4}}), false},
        {"SHORT strip offsets", Change(base, {273, 3, {8, 12, 16, 20}}), true},
        {"resolution unit 1 alone", Change(base, {296, 3, {1}}), false},
        {"resolution unit 2 with both",
         Change(Change(Change(base, {296, 3, {2}}), {282, 5, {72, 1}}), {283, 5, {72, 1}}), false},
        {"PlanarConfiguration 1", Change(base, {284, 3, {1}}), false},
        {"huge strip counts, only the needed values read",
         Change(Change(base, {273, 4, {8, 12, 16, 20}, 0x40000000}),
                {279, 4, {4, 4, 4, 4}, 0x40000000}),
         false},
        {"rows per strip beyond the image",
         Change(Change(Change(base, {278, 4, {0xFFFFFFFF}}), {273, 4, {8}}), {279, 4, {16}}),
         false},
    };
    for (const auto& c : accepted) {
        Write("ok.tif", BuildTiff(c.big, c.fields, kGrey16Pixels));
        CImgBuff loaded;
        ASSERT_EQ(Load("ok.tif", &loaded), 1) << c.what;
        EXPECT_TRUE(SameBuffer(loaded, expected)) << c.what;
    }

    const struct {
        const char* what;
        std::vector<Field> fields;
    } refused[] = {
        {"no RowsPerStrip", Remove(base, 278)},
        {"RowsPerStrip 0", Change(base, {278, 3, {0}})},
        {"no Compression", Remove(base, 259)},
        {"no ImageWidth", Remove(base, 256)},
        {"width 0", Change(base, {256, 3, {0}})},
        {"resolution unit 2 without XResolution",
         Change(Change(base, {296, 3, {2}}), {283, 5, {72, 1}})},
        {"strip counts differ", Change(base, {279, 4, {4, 4, 4}})},
        {"no StripByteCounts", Remove(base, 279)},
        {"StripOffsets without values", Change(Change(base, {273, 4, {}}), {279, 4, {}})},
        {"StripOffsets as BYTE", Change(base, {273, 1, {8}, 4})},
        {"grey bits 2", Change(base, {258, 3, {2}})},
        {"photometric 4", Change(base, {262, 3, {4}})},
        {"FillOrder 2", Change(base, {266, 3, {2}})},
        {"PlanarConfiguration 2", Change(base, {284, 3, {2}})},
        {"grey with 3 samples", Change(base, {277, 3, {3}})},
        {"signed samples", Change(base, {339, 3, {2}})},
    };
    for (const auto& c : refused) {
        Write("bad.tif", BuildTiff(false, c.fields, kGrey16Pixels));
        CImgBuff loaded;
        EXPECT_EQ(Load("bad.tif", &loaded), 0) << c.what;
    }
}

TEST_F(TiffReaderTest, MissingStripsRepeatThePreviousPixel) {
    std::vector<Field> fields = Change(Change(Grey8Fields(), {273, 4, {8, 12}}), {279, 4, {4, 4}});
    Write("two.tif", BuildTiff(false, fields, kGrey16Pixels));
    CImgBuff loaded, expected;
    ASSERT_EQ(Load("two.tif", &loaded), 1);
    MakeExpected(&expected, 4, 4, [](C_ImgBuff* b, int x, int y) {
        b->SetGray8(x, y, kGrey16Pixels[y < 2 ? y * 4 + x : 7]);
    });
    EXPECT_TRUE(SameBuffer(loaded, expected));
}

// Offsets, counts and sizes that point outside the file or ask for absurd memory.
TEST_F(TiffReaderTest, HostileFilesAreRefused) {
    const std::vector<Field> base = Grey8Fields();
    const Bytes good = BuildTiff(false, base, kGrey16Pixels);
    auto patched = [&](size_t at, std::initializer_list<uint8_t> bytes) {
        Bytes b = good;
        for (uint8_t v : bytes) b.at(at++) = v;
        return b;
    };
    const size_t ifd = 8 + kGrey16Pixels.size();
    auto valueField = [&](size_t entry) { return ifd + 2 + 12 * entry + 8; };
    const std::vector<Field> rgb =
        Change(Change(Change(Change(base, {262, 3, {2}}), {258, 3, {8, 8, 8}}), {277, 3, {3}}),
               {273, 4, {8, 20, 32, 44}});
    Bytes rgbBitsOutside = BuildTiff(false, rgb, PatternBytes(48, 5));
    std::fill_n(rgbBitsOutside.begin() + 48 + 2 + 12 * 2 + 8, 4, 0xF0);
    const struct {
        const char* what;
        Bytes file;
    } cases[] = {
        {"directory offset past the end", patched(4, {0xF0, 0xFF, 0xFF, 0xFF})},
        {"directory offset 0", patched(4, {0, 0, 0, 0})},
        {"entry count past the end", patched(ifd, {0xFF, 0xFF})},
        {"strip offsets stored past the end", patched(valueField(5), {0xF0, 0xFF, 0xFF, 0xFF})},
        {"RGB bits stored past the end", rgbBitsOutside},
        {"strip offset past the end",
         BuildTiff(false, Change(base, {273, 4, {8, 12, 16, 0xFFFFFFF0}}), kGrey16Pixels)},
        {"last strip runs past the end",
         BuildTiff(false, Change(base, {273, 4, {8, 12, 16, uint32_t(good.size() - 2)}}),
                   kGrey16Pixels)},
        {"strip offset 0", BuildTiff(false, Change(base, {273, 4, {8, 12, 0, 20}}), kGrey16Pixels)},
        {"huge size",
         BuildTiff(false, Change(Change(base, {256, 4, {0x7FFFFFFF}}), {257, 4, {0x7FFFFFFF}}),
                   kGrey16Pixels)},
        {"height the file cannot hold",
         BuildTiff(false, Change(base, {257, 4, {1000000}}), kGrey16Pixels)},
        {"width above 31 bits",
         BuildTiff(false, Change(Change(base, {256, 4, {0x80000000}}), {258, 3, {1}}),
                   kGrey16Pixels)},
    };
    for (const auto& c : cases) {
        Write("hostile.tif", c.file);
        CImgBuff loaded;
        EXPECT_EQ(Load("hostile.tif", &loaded), 0) << c.what;
        EXPECT_EQ(loaded.GetData(nullptr, nullptr, nullptr), nullptr) << c.what;
    }

    // A directory that names itself as the next one is harmless: only the first is read.
    Bytes loop = good;
    const size_t next = ifd + 2 + 12 * base.size();
    std::copy(good.begin() + 4, good.begin() + 8, loop.begin() + next);
    Write("loop.tif", loop);
    CImgBuff loaded;
    EXPECT_EQ(Load("loop.tif", &loaded), 1);
}

// ---- Orientation -------------------------------------------------------------------------------

// Qt's TIFF decoder applies the Orientation tag when asked to; the reader must arrive at the same
// picture. 5 x 3 pixels, so that a missed swap of width and height shows.
TEST_F(TiffReaderTest, OrientedFilesArriveAsQtShowsThem) {
    const int w = 5, h = 3;
    Write("rgb8.raw", PatternBytes(w * h * 3, 21));
    Write("g16.raw", PatternBytes(w * h * 2, 22));
    Shell("raw2tiff -M -c none -r 2 -w 5 -l 3 -b 3 -p rgb rgb8.raw rgb8.tif");
    Shell("raw2tiff -M -c none -w 5 -l 3 -d short g16.raw le.tif && tiffcp -B le.tif g16.tif");
    for (const char* kind : {"rgb8", "g16"}) {
        for (int n = 1; n <= 8; ++n) {
            const std::string what = std::string(kind) + " orientation " + std::to_string(n);
            Shell("cp " + std::string(kind) + ".tif o.tif && tiffset -s 274 " + std::to_string(n) +
                  " o.tif");
            CImgBuff loaded;
            ASSERT_EQ(Load("o.tif", &loaded), 1) << what;
            QImageReader reader(QString::fromStdString(Path("o.tif")));
            reader.setAutoTransform(true);
            const QImage shown = reader.read();
            ASSERT_FALSE(shown.isNull()) << what;
            int32_t width, height;
            loaded.GetData(&width, &height, nullptr);
            ASSERT_EQ(width, shown.width()) << what;
            ASSERT_EQ(height, shown.height()) << what;
            ASSERT_EQ(width * height, w * h) << what;
            // Qt narrows 16-bit samples with rounding: one step apart at most.
            int worst = 0;
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x) {
                    uint8_t rgb[3];
                    ASSERT_EQ(loaded.buffer->GetRGB8(x, y, &rgb[0], &rgb[1], &rgb[2]), 1);
                    const QRgb qt = shown.pixel(x, y);
                    for (int d : {rgb[0] - qRed(qt), rgb[1] - qGreen(qt), rgb[2] - qBlue(qt)}) {
                        worst = std::max(worst, std::abs(d));
                    }
                }
            }
            EXPECT_LE(worst, 1) << what;
        }
    }
}

// 16-bit samples are moved, not re-decoded: a file to be turned 90 degrees clockwise holds exactly
// the written samples, the left column read upwards becoming the top row.
TEST_F(TiffReaderTest, TurnedSixteenBitFileKeepsFullPrecision) {
    const int w = 7, h = 4;
    const Bytes samples = PatternBytes(w * h * 6, 23);
    Write("rgb16.raw", samples);
    Shell("raw2tiff -M -c none -r 3 -w 7 -l 4 -d short -b 3 -p rgb rgb16.raw t.tif");
    Shell("tiffset -s 274 6 t.tif");
    auto at = [&](int x, int y, int c) {
        const size_t i = 2 * (3 * (size_t(y) * w + x) + c);
        return uint32_t(samples[i] | samples[i + 1] << 8);
    };
    CImgBuff loaded, expected;
    ASSERT_EQ(Load("t.tif", &loaded), 1);
    MakeExpected(&expected, h, w, [&](C_ImgBuff* b, int x, int y) {
        b->SetRGB16(x, y, at(y, h - 1 - x, 0), at(y, h - 1 - x, 1), at(y, h - 1 - x, 2));
    });
    EXPECT_TRUE(SameBuffer(loaded, expected));
}

// Only a SHORT from 2 to 8 asks for a turn; anything else leaves the picture as stored.
TEST_F(TiffReaderTest, OtherOrientationFieldsLeaveThePictureAsStored) {
    CImgBuff expected;
    MakeExpected(&expected, 4, 4,
                 [](C_ImgBuff* b, int x, int y) { b->SetGray8(x, y, kGrey16Pixels[y * 4 + x]); });
    const std::vector<Field> base = Grey8Fields();
    const Field fields[] = {{274, 3, {1}}, {274, 3, {0}}, {274, 3, {9}},
                            {274, 4, {6}}, {274, 1, {6}}, {274, 3, {}}};
    for (const Field& field : fields) {
        Write("o.tif", BuildTiff(false, Change(base, field), kGrey16Pixels));
        CImgBuff loaded;
        ASSERT_EQ(Load("o.tif", &loaded), 1) << field.type << " " << field.values.size();
        EXPECT_TRUE(SameBuffer(loaded, expected)) << field.type << " " << field.values.size();
    }
    // The same directory with a SHORT 3 does turn it, so the cases above did reach the field.
    Write("o.tif", BuildTiff(false, Change(base, {274, 3, {3}}), kGrey16Pixels));
    CImgBuff loaded;
    ASSERT_EQ(Load("o.tif", &loaded), 1);
    MakeExpected(&expected, 4, 4, [](C_ImgBuff* b, int x, int y) {
        b->SetGray8(x, y, kGrey16Pixels[(3 - y) * 4 + 3 - x]);
    });
    EXPECT_TRUE(SameBuffer(loaded, expected));
}

// The value readers against an entry whose values sit inside it and one whose values do not.
TEST(TiffValues, EntriesFindTheirValuesInsideOrOutside) {
    std::vector<Field> fields = Grey8Fields();
    fields.push_back({282, 5, {300, 7}});
    fields.push_back({258, 3, {16}});  // a later duplicate: the first in file order wins
    const Bytes bytes = BuildTiff(true, fields, kGrey16Pixels);
    TiffFile* file = MakeTiffFile(bytes.data(), bytes.size());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->byteOrder, kTiffBigEndian);
    EXPECT_EQ(file->version, 42);
    TiffIfd ifd;
    ASSERT_EQ(OpenTiffIfd(file, &ifd), 1);
    EXPECT_EQ(ifd.entryCount, fields.size());

    TiffEntry entry;
    ASSERT_EQ(FindTiffTag(&ifd, 258, &entry), 1);
    EXPECT_EQ(entry.value, 8u);
    EXPECT_EQ(FindTiffTag(&ifd, 999, &entry), 0);

    ASSERT_EQ(FindTiffTag(&ifd, 273, &entry), 1);
    EXPECT_EQ(entry.count, 4u);
    for (uint32_t i = 0; i < 4; ++i) {
        const uint32_t offset = GetTiffValueOffset(&ifd, &entry, i);
        ASSERT_NE(offset, 0u);
        EXPECT_EQ(ReadTiffLong(&ifd, offset), 8 + 4 * i);
    }
    EXPECT_EQ(GetTiffValueOffset(&ifd, &entry, 4), 0u);

    uint32_t numerator = 0, denominator = 0;
    uint16_t shortValue;
    EXPECT_EQ(GetTiffRationalTag(&ifd, 282, &numerator, &denominator), 1);
    EXPECT_EQ(numerator, 300u);
    EXPECT_EQ(denominator, 7u);
    EXPECT_EQ(GetTiffShortTag(&ifd, 273, &shortValue), 0);  // LONG is not SHORT
    EXPECT_EQ(ReadTiffLong(&ifd, file->size - 3), 0u);

    TiffImageInfo info;
    ASSERT_EQ(ReadTiffImageInfo(&ifd, &info), 1);
    uint8_t r, g, b;
    EXPECT_EQ(GetTiffPixel8(&info, 3, 2, &r, &g, &b), 1);
    EXPECT_EQ(r, kGrey16Pixels[11]);
    EXPECT_EQ(GetTiffPixel8(&info, 4, 0, &r, &g, &b), 0);
    FreeTiffFile(file);
}

}  // namespace
