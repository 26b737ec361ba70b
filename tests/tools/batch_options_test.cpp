#include "tools/lumivex-batch/BatchOptions.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "imageio/PhotoFormats.h"
#include "imageio/PhotoLoader.h"
#include "tests/imageio/PhotoFiles.h"

namespace {

// The command line split at each space.
std::optional<BatchOptions> Parse(const std::string& line, std::string* error) {
    std::vector<std::string> words;
    for (std::istringstream in(line); !in.eof();) std::getline(in, words.emplace_back(), ' ');
    std::vector<const char*> argv = {"lumivex-batch"};
    for (const std::string& word : words) argv.push_back(word.c_str());
    return ParseBatchOptions(static_cast<int>(argv.size()), argv.data(), *error);
}

TEST(BatchOptions, ReadsEveryOptionFromTheNeutralStart) {
    std::string error;
    auto neutral = Parse("in.jpg out.jpg", &error);
    ASSERT_TRUE(neutral) << error;
    EXPECT_EQ(neutral->settings, CorrectionSettings());
    EXPECT_FALSE(neutral->spotPixel || neutral->quiet || neutral->printSettings || neutral->jobs ||
                 neutral->recursive || neutral->skipExisting || neutral->allowDamaged);
    EXPECT_EQ(neutral->output, "out.jpg");

    auto o = Parse(
        "--wb spot:12,34 --brightness=-45 --vividness 45 --add-light 100 --suppress-light=0 --band "
        "cyan:hue=-5000,bright=40 --band cyan:vivid=3 --depth 16 --quality=20 --strip-metadata "
        "--quiet --jobs 3 --recursive --skip-existing --allow-damaged --name {n}-{stem} --rotate "
        "270 "
        "--flip --out-dir "
        "outs --format png a.tif -- -b.jpg",
        &error);
    ASSERT_TRUE(o) << error;
    EXPECT_TRUE(o->spotPixel && o->spotPixel->x == 12 && o->spotPixel->y == 34);
    // A repeated band keeps what the earlier option set and adds the new key.
    CorrectionSettings expected;
    expected.wbMode = WhiteBalanceMode::Spot;
    expected.turn = ImageTurn{3, true};
    const int32_t photo[] = {-45, 45, 100, 0}, cyan[] = {-5000, 3, 40};  // in row order
    for (int32_t i = 0; i < 4; ++i) expected.SetPosition(AdjustmentId(i), 0, photo[i]);
    for (int32_t i = 0; i < 3; ++i) expected.SetPosition(AdjustmentId(4 + i), 3, cyan[i]);
    EXPECT_EQ(o->settings, expected);
    EXPECT_EQ(
        std::tuple(o->save.bitsPerChannel, o->save.quality, o->save.keepMetadata, o->quiet, o->jobs,
                   o->format, o->recursive, o->skipExisting, o->allowDamaged, o->namePattern),
        std::tuple(16, 20, false, true, 3u, std::string("png"), true, true, true,
                   std::string("{n}-{stem}")));
    EXPECT_EQ(o->inputs, (std::vector<std::string>{"a.tif", "-b.jpg"}));

    EXPECT_TRUE(Parse("-h", &error)->help && Parse("--help", &error)->help);
    EXPECT_TRUE(Parse("--version", &error)->version);
}

TEST(BatchOptions, RefusesBadValuesAndCommandLinesInOneLineNamingTheOption) {
    const std::pair<const char*, const char*> cases[] = {
        {"--brightness 46 a b", "--brightness takes a whole number from -45 to 45"},
        {"--brightness 12abc a b", "--brightness"},
        {"--band red:hue=5001 a b", "hue -5000..5000"},
        {"--band orange:hue=1 a b", "--band"},
        {"--band red:hue=1, a b", "--band"},
        {"--wb spot:-1,2 a b", "--wb"},
        {"--format gif --out-dir d a", "--format"},
        {"--format png a b.png", "--format"},
        {"--sharpen 3 a b", "unknown option --sharpen"},
        {"a b --brightness", "--brightness needs a value"},
        {"only-input.jpg", "missing"},
        {"a b c", "too many"},
        {"--brightness 3 --settings s.lumivex a b", "--brightness comes first"},
        {"--flip --settings s.lumivex a b", "--flip comes first"},
        {"--rotate 45 a b", "--rotate takes 0, 90, 180 or 270"},
        {"--settings no-such.lumivex a b", "--settings no-such.lumivex: no such file"},
        {"--print-settings a.jpg", "only to measure --wb spot:X,Y"},
        {"--wb spot:1,2 --print-settings", "needs the photo to measure"},
        {"--print-settings --out-dir d", "writes no photos"},
        {"--depth 12 a b.tif", "--depth takes 8 or 16"},
        {"--quality 0 a b.jpg", "--quality takes a whole number from 1 to 100, or source"},
        {"--max-megapixels 0 a b", "--max-megapixels takes a whole number from 1"},
        {"--jobs 0 a b", "--jobs takes a whole number from 1 to 64"},
        {"--name a/{stem} --out-dir d a", "--name a/{stem}: a name holds no /"},
        {"--name {stem}{x} --out-dir d a", "only {stem}, {ext} and {n}"},
        {"--recursive a b.jpg", "--name and --overwrite go with --out-dir"},
        {"--overwrite --skip-existing --out-dir d a", "exclude each other"},
        {"a -", "OUTPUT - (standard output) needs --format"},
        {"--tiff-compression zip a b.tif", "--tiff-compression takes none, lzw or deflate"},
    };
    for (const auto& [args, mentions] : cases) {
        std::string error;
        EXPECT_FALSE(Parse(args, &error)) << args;
        EXPECT_NE(error.find(mentions), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

// Every format of the table loads from a file ImageMagick made of it, named for no format; every
// format written saves under each of its extensions as a file ImageMagick takes for that format,
// and --format takes it; the desktop entry offers the program for the MIME types the table marks.
// A row added without a working decoder, encoder or place in those lists fails here.
TEST(BatchOptions, EveryFormatLoadsAndSavesThroughEveryPathThatListsIt) {
    ScratchFolder folder;
    std::ifstream desktop(LUMIVEX_DESKTOP_ENTRY);
    std::string line;
    while (std::getline(desktop, line) && !line.starts_with("MimeType=")) continue;
    for (const PhotoFormat& format : kPhotoFormats) {
        const std::string name = QString(format.name).toUpper().toStdString();
        SCOPED_TRACE(name);
        folder.Shell("convert -size 40x30 gradient:red-blue " + name + ":sample");
        CImgBuff photo;
        ASSERT_EQ(LoadPhoto(folder.Path("sample").c_str(), &photo), 1);
        EXPECT_EQ(line.find(std::string(format.mimeType) + ";") != std::string::npos,
                  format.desktop);
        const bool written = format.encoder != PhotoEncoder::None;
        std::string error;
        EXPECT_EQ(
            bool(Parse("--format " + std::string(format.extensions[0]) + " --out-dir d a", &error)),
            written);
        for (const char* extension : format.extensions) {
            if (!extension) continue;
            const std::string out = std::string("out.") + extension;
            ASSERT_EQ(SavePhoto(folder.Path(out).c_str(), &photo), written);
            if (!written) continue;
            // ImageMagick names the version after the format: BMP3.
            EXPECT_TRUE(folder.Output("identify -format %m " + out).starts_with(name));
        }
    }
}

}  // namespace
