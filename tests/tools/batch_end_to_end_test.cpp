// Runs the lumivex-batch executable as a user would: its options reach the corrections and the
// files, and it refuses, fails and reports photo by photo. The branches of the loader, the saver
// and the engine are tested in their own suites.
#include <QColor>
#include <QCoreApplication>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "adjust/Pipeline.h"
#include "correct/CorrectionSettings.h"
#include "imageio/PhotoLoader.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status = -1;
    std::string output, errors;
};

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Each test works in a scratch folder of its own, where the names it uses are relative.
class BatchEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override { fs::current_path(dir_.path().toStdString()); }
    void TearDown() override { fs::current_path(home_); }

    static int Shell(const std::string& command) {
        const int raw = std::system(command.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }

    static bool Make(const std::string& imagemagickArgs, const std::string& name) {
        return Shell("convert " + imagemagickArgs + " " + name + " >/dev/null 2>&1") == 0;
    }

    // The tool with args, behind prefix (timeout, prlimit) when one is given.
    static Outcome Run(const std::string& args, const std::string& prefix = "") {
        const int status =
            Shell(prefix + " " + LUMIVEX_BATCH_PATH + " " + args + " >stdout.txt 2>stderr.txt");
        return {status, ReadText("stdout.txt"), ReadText("stderr.txt")};
    }

    const fs::path home_ = fs::current_path();
    QTemporaryDir dir_;
};

// Every stage on, as options and as a settings file written out by hand.
const char* kEveryStage =
    "--wb auto --brightness 20 --vividness -12 --add-light 30 --suppress-light 25 "
    "--band blue:hue=700,vivid=15,bright=-8 --band red:vivid=-20";
const char* kEveryStageFile = R"({
    "format": "lumivex-settings", "version": 1,
    "white-balance": {"mode": "auto"},
    "adjustments": {"brightness": 20, "vividness": -12, "add-light": 30, "suppress-light": 25},
    "bands": {"blue": {"hue": 700, "vivid": 15, "bright": -8}, "red": {"vivid": -20}}
})";

// saved holds the file's corrections applied through the calls the window makes: all 16 bits of
// each channel for a deep photo, else the high bytes.
void ExpectCorrectedAsTheWindowDoes(const std::string& input, const std::string& saved, bool deep) {
    SettingsError error;
    SettingsWarnings warnings;
    AdjustmentState state;
    ASSERT_TRUE(state.SetCorrections(SettingsFromText(kEveryStageFile, warnings, error).value()));
    CImgBuff loaded, result;
    ASSERT_TRUE(LoadPhoto(input.c_str(), &loaded) && (state.photo = SourcePhoto::Make(loaded)));
    ASSERT_TRUE(ApplyAdjustments(*state.Plan(), *state.photo, false, result.buffer));
    const C_ImgBuff& expected = *result.buffer;
    const QImage picture(QString::fromStdString(saved));
    ASSERT_EQ(picture.size(), QSize(expected.width, expected.height)) << saved;
    EXPECT_EQ(picture.depth() > 32, deep) << "bits per channel of " << saved;
    const int shift = deep ? 0 : 8;
    int differing = 0;
    for (int i = 0, w = expected.width; i < w * expected.height; ++i) {
        uint16_t r = 0, g = 0, b = 0;
        expected.GetRGB16(i % w, i / w, &r, &g, &b);
        const QRgba64 p = picture.pixelColor(i % w, i / w).rgba64();
        differing += ((p.red() ^ r) | (p.green() ^ g) | (p.blue() ^ b)) >> shift != 0;
    }
    EXPECT_EQ(differing, 0) << "pixels of " << saved;
}

TEST_F(BatchEndToEnd, OptionsAndSettingsFilesSaveWhatTheEngineComputes) {
    ASSERT_TRUE(Make("-size 96x64 plasma:fractal -seed 7 -depth 16 -compress none", "deep.tif"));
    ASSERT_TRUE(Make("-size 80x60 plasma:fractal -seed 3 -quality 90", "photo.jpg"));
    std::ofstream("every.lumivex") << kEveryStageFile;
    for (const std::string name : {"deep.tif", "photo.jpg"}) {
        const bool deep = name == "deep.tif";
        const std::string corrections = deep ? kEveryStage : "--settings every.lumivex";
        const Outcome outcome = Run(corrections + " " + name + " " + name + ".png");
        ASSERT_EQ(outcome.status, 0) << outcome.errors;
        EXPECT_EQ(outcome.errors, "");
        ExpectCorrectedAsTheWindowDoes(name, name + ".png", deep);
    }

    // Options after --settings change single values of the file's.
    std::string changed = kEveryStage;
    changed.erase(changed.find("hue=700,"), 8);
    const Outcome printed = Run(changed + " --brightness 3 --print-settings");
    const Outcome overridden =
        Run("--settings every.lumivex --band blue:hue=0 --brightness 3 --print-settings");
    EXPECT_EQ(overridden.status, 0) << overridden.errors;
    EXPECT_EQ(overridden.output, printed.output);
    EXPECT_NE(printed.output.find("\"brightness\": 3,"), std::string::npos) << printed.output;
}

// The grey point that --print-settings measures, read from the file, gives the pixels of the
// spot measured on the photo, and makes that colour neutral; on a turned photo too.
TEST_F(BatchEndToEnd, SpotGreyPointCarriedInAFileGivesTheSamePixels) {
    ASSERT_TRUE(Make("-size 30x40 xc:'rgb(190,150,110)' -size 30x40 plasma:fractal -seed 2 +append",
                     "scene.png"));
    const Outcome printed = Run("--wb spot:20,15 --print-settings scene.png");
    ASSERT_EQ(printed.status, 0) << printed.errors;
    std::ofstream("scene.lumivex") << printed.output;
    ASSERT_EQ(Run("--settings scene.lumivex scene.png a.png").status, 0);
    ASSERT_EQ(Run("--wb spot:5,5 scene.png b.png").status, 0);
    const QImage corrected("a.png");
    EXPECT_TRUE(corrected == QImage("b.png"));
    const QRgb patch = corrected.pixel(10, 10);
    EXPECT_LE(std::abs(qRed(patch) - qGreen(patch)), 2) << std::hex << patch;
    EXPECT_LE(std::abs(qGreen(patch) - qBlue(patch)), 2) << std::hex << patch;
    // The spot is a pixel of the photo as turned: a quarter turn brings (10, 4) to (35, 10).
    const std::string turned = "--rotate 90 --wb spot:35,10 ";
    std::ofstream("turned.lumivex") << Run(turned + "--print-settings scene.png").output;
    ASSERT_EQ(Run(turned + "scene.png c.png").status, 0);
    ASSERT_EQ(Run("--settings turned.lumivex scene.png d.png").status, 0);
    EXPECT_EQ(QImage("c.png").pixel(35, 10), patch);
    EXPECT_TRUE(QImage("c.png") == QImage("d.png"));
}

// --rotate and --flip turn a photo as ImageMagick turns the output saved without them, every
// pixel exactly at 16 and 8 bits a channel; a JPEG saved as a JPEG, whose band-by-band road
// cannot turn, comes out turned all the same (close, as JPEG is lossy). A photo tagged as stored
// turned is turned from how it stands upright, and its output says Orientation 1.
TEST_F(BatchEndToEnd, RotateAndFlipTurnAsImageMagickTurnsTheUnturnedOutput) {
    ASSERT_TRUE(Make("-size 37x23 plasma:fractal -seed 5 -depth 16", "deep.png") &&
                Make("-size 37x23 plasma:fractal -seed 6 -blur 0x3 -quality 95", "plain.jpg"));
    ASSERT_EQ(Shell("cp plain.jpg tagged.jpg && "
                    "exiv2 -M'set Exif.Image.Orientation Short 6' tagged.jpg"),
              0);
    const std::tuple<std::string, const char*, std::string, std::string> cases[] = {
        {"--rotate 90", "-rotate 90", "deep.png", "png"},
        {"--rotate 180", "-rotate 180", "deep.png", "png"},
        {"--rotate=270", "-rotate 270", "deep.png", "png"},
        {"--flip", "-flop", "deep.png", "png"},
        {"--flip --rotate 90", "-rotate 90 -flop", "deep.png", "png"},
        {"--rotate 270 --flip", "-rotate 270 -flop", "tagged.jpg", "png"},
        {"--rotate 90", "-rotate 90", "plain.jpg", "jpg"},
    };
    for (const auto& [options, imagemagick, input, format] : cases) {
        SCOPED_TRACE(options + " " + input + " to " + format);
        const std::string unturned = "unturned." + format, turned = "turned." + format;
        ASSERT_EQ(Run(input + " " + unturned).status, 0);
        ASSERT_TRUE(Make(unturned + " " + imagemagick, "want.png"));
        const Outcome outcome = Run(options + " " + input + " " + turned);
        ASSERT_EQ(outcome.status, 0) << outcome.errors;
        const QImage saved(QString::fromStdString(turned));
        EXPECT_EQ(saved.depth() > 32, input == "deep.png");
        const QImage got = saved.convertToFormat(QImage::Format_RGBA64);
        const QImage want = QImage("want.png").convertToFormat(got.format());
        ASSERT_EQ(got.size(), want.size());
        double difference = 0;  // summed over the channels, in 16-bit steps
        for (int i = 0; i < got.width() * got.height(); ++i) {
            const QRgba64 a = got.pixelColor(i % got.width(), i / got.width()).rgba64();
            const QRgba64 b = want.pixelColor(i % got.width(), i / got.width()).rgba64();
            difference += std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
                          std::abs(a.blue() - b.blue());
        }
        // JPEG: a mean of 4 in 8-bit steps, where the wrong turn gives about 40.
        EXPECT_LE(difference / (3 * got.width() * got.height()), format == "jpg" ? 4 * 257 : 0);
        Shell("exiv2 -K Exif.Image.Orientation -Pv " + turned + " >orientation.txt");
        EXPECT_EQ(ReadText("orientation.txt"), input == "tagged.jpg" ? "1\n" : "");
    }
}

// Photos are reported in input order, each failure after its progress line while the others are
// saved with the metadata they carry (read back by the exiv2 tool), the same whether worked at
// once or one at a time: an unreadable photo, a FIFO (which must not block the run), a photo
// above --max-megapixels with a hint at the option.
TEST_F(BatchEndToEnd, EachPhotoFailsAloneInInputOrderAndTheOthersKeepTheirMetadata) {
    ASSERT_TRUE(Make("-size 20x10 xc:orange", "a.jpg") && Make("-size 9x9 xc:teal", "c.tif") &&
                Make("-size 2000x1000 xc:gray", "big.png"));
    ASSERT_EQ(Shell("mkfifo pipe.jpg && echo broken >b.jpg && "
                    "exiv2 -M'set Exif.Image.Make Canon' -M'set Xmp.xmp.Rating 3' a.jpg"),
              0);
    const std::string photos =
        " --max-megapixels 1 --format png a.jpg b.jpg pipe.jpg big.png c.tif";
    const Outcome outcome = Run("--jobs 4 --out-dir out" + photos, "timeout 60");
    EXPECT_EQ(outcome.status, 1);
    // Photos worked at once say and save exactly what they do one at a time.
    const Outcome alone = Run("--jobs 1 --out-dir alone" + photos, "timeout 60");
    EXPECT_EQ(alone.errors, outcome.errors);
    EXPECT_EQ(ReadText("alone/c.png"), ReadText("out/c.png"));
    EXPECT_EQ(ReadText("alone/a.png"), ReadText("out/a.png"));
    size_t at = 0;
    for (const char* part : {"[1/5] a.jpg\n[2/5] b.jpg\nlumivex-batch: b.jpg: ",
                             "\n[3/5] pipe.jpg\nlumivex-batch: pipe.jpg: ", "named pipe",
                             "\n[4/5] big.png\nlumivex-batch: big.png: 2000 x 1000 ",
                             " (--max-megapixels raises the limit)\n[5/5] c.tif\n"}) {
        at = outcome.errors.find(part, at);
        ASSERT_NE(at, std::string::npos) << part << " in order in\n" << outcome.errors;
    }
    EXPECT_TRUE(fs::exists("out/c.png"));
    EXPECT_FALSE(fs::exists("out/b.png") || fs::exists("out/big.png"));

    EXPECT_EQ(Run("--strip-metadata --max-megapixels 2 --out-dir s a.jpg big.png").status, 0);
    Shell("exiv2 -pa out/a.png >kept.txt; exiv2 -pa s/a.jpg >stripped.txt");
    const std::string kept = ReadText("kept.txt");
    EXPECT_NE(kept.find("Canon"), std::string::npos) << kept;
    EXPECT_NE(kept.find("Xmp.xmp.Rating"), std::string::npos) << kept;
    EXPECT_EQ(ReadText("stripped.txt"), "");
}

// A JPEG cut in half fails, naming the file and about half its rows as missing, and is saved
// under --allow-damaged with a warning naming the same rows.
TEST_F(BatchEndToEnd, APhotoCutShortFailsUnlessDamageIsAllowed) {
    ASSERT_TRUE(Make("-size 300x200 plasma:fractal -seed 3", "whole.jpg"));
    ASSERT_EQ(Shell("head -c $(($(stat -c %s whole.jpg) / 2)) whole.jpg >cut.jpg"), 0);
    const Outcome refused = Run("cut.jpg out.jpg");
    int rows = 0;
    std::sscanf(refused.errors.c_str(), "lumivex-batch: cut.jpg: damaged: the lower %d rows",
                &rows);
    EXPECT_TRUE(refused.status == 1 && !fs::exists("out.jpg") && rows > 50 && rows < 150)
        << refused.errors;
    const Outcome allowed = Run("--allow-damaged cut.jpg out.jpg");
    EXPECT_TRUE(allowed.status == 0 && fs::exists("out.jpg"));
    EXPECT_EQ(allowed.errors, "lumivex-batch: warning: cut.jpg: the lower " + std::to_string(rows) +
                                  " rows are damaged\n");
}

// A folder gives its photos in name order (hidden files and other files left out), with
// --recursive its subfolders' too in the same subfolders of --out-dir; --name fills in each field;
// --skip-existing leaves every output that is there alone; the last line counts them.
TEST_F(BatchEndToEnd, FoldersNamesAndSkipsEachOnce) {
    ASSERT_TRUE(Make("-size 20x10 xc:orange", "b.jpg") && Make("-size 9x9 xc:teal", "a.png"));
    ASSERT_EQ(Shell("mkdir -p shoot/sub && mv a.png b.jpg shoot/ && cp shoot/b.jpg shoot/.b.jpg && "
                    "cp shoot/b.jpg shoot/sub/c.jpg && echo x >shoot/notes.txt"),
              0);
    const struct {
        const char* options;
        const char* files;  // what out holds afterwards
        const char* last;   // the last line said
    } cases[] = {
        {"--name {n}_{stem}.{ext}", "out/1_a.png.jpg out/2_b.jpg.jpg",
         "2 saved, 0 failed, 0 skipped"},
        {"--recursive", "out/a.jpg out/b.jpg out/sub out/sub/c.jpg",
         "3 saved, 0 failed, 0 skipped"},
        {"--recursive --skip-existing", "out/a.jpg out/b.jpg out/sub out/sub/c.jpg",
         "0 saved, 0 failed, 3 skipped"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        if (!std::string(c.options).starts_with("--recursive --skip")) Shell("rm -rf out");
        Shell("touch -d 2001-01-01 out/a.jpg 2>/dev/null");
        const Outcome outcome = Run(std::string(c.options) + " --out-dir out shoot");
        EXPECT_EQ(outcome.status, 0) << outcome.errors;
        Shell(
            "find out -mindepth 1 | sort | tr '\\n' ' ' >found.txt; "
            "find out -newermt 2002-01-01 -name a.jpg >newer.txt");
        EXPECT_EQ(ReadText("found.txt"), std::string(c.files) + " ");
        EXPECT_TRUE(outcome.errors.ends_with(std::string(c.last) + "\n")) << outcome.errors;
    }
    // The skipped output was not written again.
    EXPECT_EQ(ReadText("newer.txt"), "");
}

// - reads the photo from standard input and writes it to standard output in --format's format:
// the very files named inputs and outputs give.
TEST_F(BatchEndToEnd, StandardInputAndOutputGiveTheNamedFilesBytes) {
    ASSERT_TRUE(Make("-size 40x30 plasma:", "in.jpg"));
    const std::string batch = std::string(LUMIVEX_BATCH_PATH) + " --brightness 10 ";
    ASSERT_EQ(Shell(batch + "in.jpg named.jpg && " + batch + "in.jpg named.png"), 0);
    const std::pair<std::string, const char*> cases[] = {
        {"cat in.jpg | " + batch + "- out.jpg", "named.jpg"},
        {batch + "--format png in.jpg - >out.png", "named.png"},
        {"cat in.jpg | " + batch + "--format jpg - - >out.jpg", "named.jpg"}};
    for (const auto& [command, named] : cases) {
        SCOPED_TRACE(command);
        ASSERT_EQ(Shell(command), 0);
        EXPECT_TRUE(ReadText("out" + fs::path(named).extension().string()) == ReadText(named));
    }
}

// --quality source saves a JPEG at the quality its input was saved with, as ImageMagick reads it.
TEST_F(BatchEndToEnd, QualitySourceKeepsTheInputsQuality) {
    for (const char* quality : {"35", "97"}) {
        ASSERT_TRUE(Make("-size 64x48 plasma: -quality " + std::string(quality), "in.jpg"));
        ASSERT_EQ(Run("--quality source in.jpg out.jpg").status, 0);
        Shell("identify -format %Q out.jpg >quality.txt");
        EXPECT_EQ(ReadText("quality.txt"), quality);
    }
}

// However an output is named (the input itself, another spelling, a link or a hard link to it, an
// earlier output, a FIFO or a folder, or a photo beside an input of another format under --out-dir
// without --overwrite), nothing there is replaced: that photo is refused, naming the files, before
// its input is read, and the others of the run are saved. Usage errors (status 2) and a spot
// outside the photo write nothing either.
TEST_F(BatchEndToEnd, RefusalsNameTheirCauseAndReplaceNothing) {
    ASSERT_EQ(Shell("mkdir e dir.jpg && mkfifo fifo.jpg && ln -s fifo.jpg to-fifo.jpg && "
                    "echo broken >broken.jpg"),
              0);
    ASSERT_TRUE(Make("-size 8x8 xc:gray", "a.jpg") && Make("-size 8x8 xc:red", "a.png") &&
                Make("-size 8x8 xc:blue", "e/a.png") && Make("-size 8x8 xc:green", "b.png"));
    ASSERT_EQ(Shell("ln -s a.jpg link.jpg && ln a.jpg hard.jpg"), 0);
    const std::string original = ReadText("a.jpg");
    const std::tuple<const char*, int, const char*> cases[] = {
        {"a.jpg a.jpg", 1, "a.jpg: its output a.jpg would overwrite its own input"},
        {"a.jpg e/../a.jpg", 1, "a.jpg: its output e/../a.jpg would overwrite its own input"},
        {"a.jpg link.jpg", 1, "its own input"},
        {"a.jpg hard.jpg", 1, "its own input"},
        {"--out-dir . a.jpg a.png b.png", 1,
         "a.png: its output ./a.jpg would overwrite the input a.jpg"},
        {"--out-dir o a.png e/a.png b.png", 1,
         "e/a.png: its output o/a.jpg would overwrite the output of the earlier photo a.png"},
        {"broken.jpg fifo.jpg", 1, "broken.jpg: cannot save fifo.jpg: "},
        {"broken.jpg to-fifo.jpg", 1, "broken.jpg: cannot save to-fifo.jpg: "},
        {"broken.jpg dir.jpg", 1, "broken.jpg: cannot save dir.jpg: "},
        {"--wb spot:8,0 b.png spot.jpg", 1, "b.png: the spot 8,0 lies outside the photo"},
        {"--frobnicate b.png out.jpg", 2, "--frobnicate\nTry 'lumivex-batch --help'."},
        {"--out-dir . a.png", 1, "a.png: its output ./a.jpg is there already: --overwrite"},
    };
    for (const auto& [args, status, said] : cases) {
        const Outcome outcome = Run(args, "timeout 60");
        EXPECT_EQ(outcome.status, status) << args;
        EXPECT_NE(outcome.errors.find(said), std::string::npos) << outcome.errors;
        EXPECT_EQ(ReadText("a.jpg"), original) << args;
    }
    EXPECT_TRUE(fs::exists("b.jpg") && fs::exists("o/b.jpg"));
    EXPECT_EQ(Run("--overwrite --out-dir . a.png").status, 0);
    EXPECT_NE(ReadText("a.jpg"), original);
    EXPECT_FALSE(fs::exists("spot.jpg") || fs::exists("out.jpg"));
    EXPECT_EQ(Shell("test -p fifo.jpg && test -L to-fifo.jpg && test -d dir.jpg"), 0);
}

// The memory a photo needs is weighed against what the process may take before it is decoded; a
// save that memory or the file size limit runs short for fails that photo alone, keeping the file
// there byte for byte (never an empty BMP), and the next photo is saved. (The sanitizers reserve
// terabytes of address space, so the limit cannot be set under them.)
TEST_F(BatchEndToEnd, ShortMemoryOrFileSizeFailsOnePhotoAndReplacesNothing) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "address space cannot be limited under a sanitizer";
#endif
    ASSERT_TRUE(Make("-size 6000x4000 xc:gray", "large.jpg") && Make("-size 8x8 xc:red", "a.png"));
    const Outcome large = Run("large.jpg large.png", "prlimit --as=250000000");
    EXPECT_EQ(large.status, 1);
    EXPECT_NE(large.errors.find("large.jpg: not enough memory: 6000 x 4000 needs"),
              std::string::npos)
        << large.errors;
    EXPECT_FALSE(fs::exists("large.png"));
    // Limits rising from below the weighing's to one that every copy the encoders make fits in.
    ASSERT_EQ(Shell("mkdir out sized && echo old >out/large.bmp && echo old >sized/large.bmp"), 0);
    int failedSaves = 0;
    for (int megabytes = 300; megabytes < 1000; megabytes += 25) {
        const Outcome bmp = Run("--overwrite --format bmp --out-dir out large.jpg",
                                "prlimit --as=" + std::to_string(megabytes) + "000000");
        if (bmp.status == 0) {
            EXPECT_EQ(QImage("out/large.bmp").size(), QSize(6000, 4000)) << megabytes;
            break;
        }
        failedSaves +=
            bmp.errors.find("cannot save out/large.bmp: not enough memory") != std::string::npos;
        EXPECT_TRUE(bmp.status == 1 && ReadText("out/large.bmp") == "old\n") << bmp.errors;
    }
    EXPECT_GT(failedSaves, 0);
    const Outcome sized =
        Run("--overwrite --format bmp --out-dir sized large.jpg a.png", "prlimit --fsize=1000000");
    EXPECT_EQ(sized.status, 1);
    EXPECT_NE(sized.errors.find("large.jpg: cannot save sized/large.bmp: the file is too large"),
              std::string::npos)
        << sized.errors;
    Shell("ls -A sized >left.txt");
    EXPECT_EQ(ReadText("left.txt") + ReadText("sized/large.bmp"), "a.bmp\nlarge.bmp\nold\n");
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
