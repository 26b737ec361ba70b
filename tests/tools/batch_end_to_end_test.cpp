// Runs the lumivex-batch executable as a user would and checks its files and exit codes against
// the engine driven directly through the libraries.
#include <QColor>
#include <QCoreApplication>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "adjust/Pipeline.h"
#include "correct/CorrectionSettings.h"
#include "imageio/PhotoLoader.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status = -1;
    std::string output;
    std::string errors;
};

class BatchEndToEnd : public ::testing::Test {
  protected:
    std::string Path(const std::string& name) const {
        return dir_.path().toStdString() + "/" + name;
    }

    // Runs the tool with args (already shell-quoted where needed); stdout and stderr are
    // captured.
    // Behind prefix (a command such as timeout or prlimit) when one is given.
    Outcome Run(const std::string& args, const std::string& prefix = "") const {
        std::string outFile = Path("stdout.txt");
        std::string errFile = Path("stderr.txt");
        std::string command = prefix + " " + std::string(LUMIVEX_BATCH_PATH) + " " + args + " >" +
                              outFile + " 2>" + errFile;
        int raw = std::system(command.c_str());
        Outcome outcome;
        outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        outcome.output = ReadText(outFile);
        outcome.errors = ReadText(errFile);
        fs::remove(outFile);
        fs::remove(errFile);
        return outcome;
    }

    static std::string ReadText(const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    bool Shell(const std::string& command) const {
        return std::system(("cd " + dir_.path().toStdString() + " && " + command).c_str()) == 0;
    }

    bool Make(const std::string& imagemagickArgs, const std::string& name) const {
        std::string command = "convert " + imagemagickArgs + " " + Path(name) + " >/dev/null 2>&1";
        return std::system(command.c_str()) == 0;
    }

    size_t FileCount() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(dir_.path().toStdString()),
                                                 fs::directory_iterator()));
    }

    QTemporaryDir dir_;
};

// Every stage on, the options that the comparison below applies by hand.
const char* kEveryStage =
    "--wb auto --brightness 20 --vividness -12 --add-light 30 --suppress-light 25 "
    "--band blue:hue=700,vivid=15,bright=-8 --band red:vivid=-20";

// The engine's result as the saver writes it: all 16 bits of a deep photo, else the high bytes.
QImage AsSaved(const C_ImgBuff& image, bool deep = false) {
    QImage picture(image.width, image.height, deep ? QImage::Format_RGBX64 : QImage::Format_RGB888);
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            uint16_t r = 0, g = 0, b = 0;
            image.GetRGB16(x, y, &r, &g, &b);
            picture.setPixelColor(
                x, y, deep ? QColor::fromRgba64(r, g, b) : QColor(qRgb(r >> 8, g >> 8, b >> 8)));
        }
    }
    return picture;
}

// The same corrections, through the library calls the window makes: the result the tool must
// have saved.
QImage CorrectedDirectly(const std::string& path, bool deep) {
    AdjustmentState state;
    CImgBuff loaded, result;
    if (!LoadPhoto(path.c_str(), &loaded) || !(state.photo = SourcePhoto::Make(loaded))) return {};
    state.OnBrightnessChanged(1, 20);
    state.OnVividnessChanged(1, -12);
    state.OnAddLightChanged(1, 30);
    state.OnSuppressLightChanged(1, 25);
    state.selectedBand = 4;
    state.OnBandHueChanged(1, 700);
    state.OnBandVividnessChanged(1, 15);
    state.OnBandBrightnessChanged(1, -8);
    state.selectedBand = 0;
    state.OnBandVividnessChanged(1, -20);
    state.SetWhiteBalanceMode(WhiteBalanceMode::Automatic);
    if (!ApplyAdjustments(*state.Plan(), *state.photo, false, result.buffer)) return {};
    return AsSaved(*result.buffer, deep);
}

QImage Loaded(const std::string& path) {
    return QImage(QString::fromStdString(path)).convertToFormat(QImage::Format_RGB888);
}

void ExpectSamePicture(const QImage& expected, const std::string& savedPath) {
    QImage saved(QString::fromStdString(savedPath));
    ASSERT_FALSE(saved.isNull()) << savedPath;
    ASSERT_EQ(saved.size(), expected.size());
    ASSERT_EQ(saved.depth() > 32, expected.depth() > 32) << "bits per channel of " << savedPath;
    saved = saved.convertToFormat(expected.format());
    const int bytes = expected.depth() / 8;
    int differing = 0;
    for (int y = 0; y < saved.height(); ++y) {
        for (int x = 0; x < saved.width(); ++x) {
            differing += std::memcmp(saved.constScanLine(y) + x * bytes,
                                     expected.constScanLine(y) + x * bytes, bytes) != 0;
        }
    }
    EXPECT_EQ(differing, 0);
}

TEST_F(BatchEndToEnd, SavesWhatTheEngineComputesForSixteenBitTiffAndJpeg) {
    ASSERT_TRUE(Make("-size 96x64 plasma:fractal -seed 7 -depth 16 -compress none", "deep.tif"));
    ASSERT_TRUE(Make("-size 80x60 plasma:fractal -seed 3 -quality 90", "photo.jpg"));
    for (const char* name : {"deep.tif", "photo.jpg"}) {
        std::string out = Path(std::string(name) + ".png");
        Outcome outcome = Run(std::string(kEveryStage) + " " + Path(name) + " " + out);
        ASSERT_EQ(outcome.status, 0) << outcome.errors;
        QImage expected = CorrectedDirectly(Path(name), std::string(name) == "deep.tif");
        ASSERT_FALSE(expected.isNull());
        ExpectSamePicture(expected, out);
    }
}

TEST_F(BatchEndToEnd, NeutralSettingsSaveTheLoadedPhotoUnchanged) {
    ASSERT_TRUE(Make("-size 40x30 plasma:fractal -seed 11", "in.png"));
    Outcome outcome = Run(Path("in.png") + " " + Path("out.png"));
    ASSERT_EQ(outcome.status, 0) << outcome.errors;
    CImgBuff loaded;
    ASSERT_TRUE(LoadPhoto(Path("in.png").c_str(), &loaded));
    ExpectSamePicture(AsSaved(*loaded.buffer), Path("out.png"));
}

// An unreadable photo and a FIFO (which must not block the run) among the inputs.
TEST_F(BatchEndToEnd, OutDirGoesOnPastAnUnreadablePhoto) {
    ASSERT_TRUE(Make("-size 20x10 xc:orange", "a.jpg"));
    ASSERT_TRUE(Make("-size 20x10 xc:teal", "c.tif"));
    std::ofstream(Path("b.jpg")) << "not a photo";
    ASSERT_TRUE(Shell("mkfifo pipe.jpg"));
    Outcome outcome = Run("--format png --out-dir " + Path("out") + " " + Path("a.jpg") + " " +
                              Path("b.jpg") + " " + Path("pipe.jpg") + " " + Path("c.tif"),
                          "timeout 60");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(fs::exists(Path("out/a.png")));
    EXPECT_TRUE(fs::exists(Path("out/c.png")));
    EXPECT_FALSE(fs::exists(Path("out/b.png")));
    EXPECT_NE(outcome.errors.find("b.jpg"), std::string::npos) << outcome.errors;
    EXPECT_NE(outcome.errors.find("named pipe"), std::string::npos) << outcome.errors;
    EXPECT_NE(outcome.errors.find("[4/4]"), std::string::npos) << outcome.errors;
    EXPECT_EQ(QImage(QString::fromStdString(Path("out/a.png"))).size(), QSize(20, 10));

    Outcome quiet =
        Run("--quiet --out-dir " + Path("out2") + " " + Path("a.jpg") + " " + Path("c.tif"));
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.errors, "");
    EXPECT_TRUE(fs::exists(Path("out2/a.jpg")));
}

// Each option is checked in the option tests; here the exit code, the hint and that nothing is
// written, for a bad option, a bad value, a malformed settings file and an unknown output type.
TEST_F(BatchEndToEnd, UsageErrorsWriteNothing) {
    ASSERT_TRUE(Make("-size 8x8 xc:gray", "in.jpg"));
    std::ofstream(Path("bad.lumivex"))
        << R"({"format": "lumivex-settings", "version": 1, "bands": {"blue": {"hue": 9000}}})";
    const size_t before = FileCount();
    for (const std::string& args : {std::string("--brightness 46"), std::string("--frobnicate"),
                                    std::string("--vividness")}) {
        Outcome outcome = Run(args + " " + Path("in.jpg") + " " + Path("out.jpg"));
        EXPECT_EQ(outcome.status, 2) << args;
        EXPECT_NE(outcome.errors.find("--help"), std::string::npos) << args;
    }
    Outcome badFile =
        Run("--settings " + Path("bad.lumivex") + " " + Path("in.jpg") + " " + Path("out.jpg"));
    EXPECT_EQ(badFile.status, 2);
    EXPECT_NE(badFile.errors.find("bands.blue.hue"), std::string::npos) << badFile.errors;
    EXPECT_EQ(Run(Path("in.jpg") + " " + Path("out.gif")).status, 2);
    EXPECT_EQ(FileCount(), before);
}

// Read back by the exiv2 tool and ImageMagick: metadata kept unless stripped, the depth chosen
// for PNG, the JPEG quality as ImageMagick estimates it from the quantisation tables.
TEST_F(BatchEndToEnd, MetadataDepthAndQualityOptionsReachTheFile) {
    ASSERT_TRUE(Make("-size 64x48 gradient:red-blue -quality 95", "in.jpg"));
    ASSERT_TRUE(Shell("exiv2 -M'set Exif.Image.Make Canon' -M'set Xmp.xmp.Rating 3' in.jpg"));
    const std::string in = Path("in.jpg") + " ";
    ASSERT_EQ(Run(in + Path("keep.jpg")).status, 0);
    ASSERT_EQ(Run("--strip-metadata " + in + Path("strip.jpg")).status, 0);
    ASSERT_EQ(Run("--depth 16 " + in + Path("deep.png")).status, 0);
    ASSERT_EQ(Run("--quality 20 " + in + Path("q20.jpg")).status, 0);
    ASSERT_TRUE(
        Shell("exiv2 -pa keep.jpg >keep.txt; exiv2 -pa strip.jpg >strip.txt; "
              "identify -format '%z ' deep.png >identify.txt && "
              "identify -format '%Q ' keep.jpg q20.jpg >>identify.txt"));
    const std::string kept = ReadText(Path("keep.txt"));
    EXPECT_NE(kept.find("Canon"), std::string::npos) << kept;
    EXPECT_NE(kept.find("Xmp.xmp.Rating"), std::string::npos) << kept;
    EXPECT_EQ(ReadText(Path("strip.txt")), "");
    EXPECT_EQ(ReadText(Path("identify.txt")), "16 75 20 ");
}

// kEveryStage as a settings file, written out by hand.
const char* kEveryStageFile = R"({
    "format": "lumivex-settings", "version": 1,
    "white-balance": {"mode": "auto"},
    "adjustments": {"brightness": 20, "vividness": -12, "add-light": 30, "suppress-light": 25},
    "bands": {"blue": {"hue": 700, "vivid": 15, "bright": -8}, "red": {"vivid": -20}}
})";

TEST_F(BatchEndToEnd, SettingsFileGivesThePixelsOfTheSameOptions) {
    ASSERT_TRUE(Make("-size 80x60 plasma:fractal -seed 5 -quality 90", "photo.jpg"));
    std::ofstream(Path("every.lumivex")) << kEveryStageFile;
    const std::string photo = Path("photo.jpg");
    ASSERT_EQ(Run(std::string(kEveryStage) + " " + photo + " " + Path("options.png")).status, 0);
    Outcome file =
        Run("--settings " + Path("every.lumivex") + " " + photo + " " + Path("file.png"));
    ASSERT_EQ(file.status, 0) << file.errors;
    EXPECT_EQ(file.errors, "");
    ExpectSamePicture(Loaded(Path("options.png")), Path("file.png"));

    // Options after the file change single values.
    std::string withoutBlueHue = kEveryStage;
    withoutBlueHue.replace(withoutBlueHue.find("hue=700,"), 8, "");
    ASSERT_EQ(Run(withoutBlueHue + " --brightness 3 " + photo + " " + Path("changed.png")).status,
              0);
    ASSERT_EQ(Run("--settings " + Path("every.lumivex") + " --band blue:hue=0 --brightness 3 " +
                  photo + " " + Path("overridden.png"))
                  .status,
              0);
    ExpectSamePicture(Loaded(Path("changed.png")), Path("overridden.png"));

    // What --print-settings writes for the options is the same file.
    Outcome printed = Run(std::string(kEveryStage) + " --print-settings");
    ASSERT_EQ(printed.status, 0) << printed.errors;
    std::string error;
    std::vector<std::string> warnings;
    std::optional<CorrectionSettings> fromOptions =
        SettingsFromText(printed.output, warnings, error);
    std::optional<CorrectionSettings> byHand = SettingsFromText(kEveryStageFile, warnings, error);
    ASSERT_TRUE(fromOptions && byHand) << error;
    EXPECT_EQ(*fromOptions, *byHand);
}

TEST_F(BatchEndToEnd, SpotGreyPointFromAFileMakesTheSameColourNeutralOnAnotherPhoto) {
    const std::string cast = "xc:'rgb(190,150,110)'";
    ASSERT_TRUE(Make("-size 40x30 " + cast, "card.png"));
    ASSERT_TRUE(
        Make("-size 30x40 " + cast + " -size 30x40 plasma:fractal -seed 2 +append", "scene.png"));
    Outcome printed = Run("--wb spot:20,15 --print-settings " + Path("card.png"));
    ASSERT_EQ(printed.status, 0) << printed.errors;
    std::string error;
    std::vector<std::string> warnings;
    std::optional<CorrectionSettings> settings = SettingsFromText(printed.output, warnings, error);
    ASSERT_TRUE(settings && settings->spotGreyPoint) << error << printed.output;
    EXPECT_NEAR(settings->spotGreyPoint->r, 190 / 255.0, 1e-12);
    EXPECT_NEAR(settings->spotGreyPoint->g, 150 / 255.0, 1e-12);
    EXPECT_NEAR(settings->spotGreyPoint->b, 110 / 255.0, 1e-12);

    std::ofstream(Path("card.lumivex")) << printed.output;
    Outcome fromFile =
        Run("--settings " + Path("card.lumivex") + " " + Path("scene.png") + " " + Path("a.png"));
    ASSERT_EQ(fromFile.status, 0) << fromFile.errors;
    // Measured on the scene's own patch of that colour, the same pixels come out.
    ASSERT_EQ(Run("--wb spot:5,5 " + Path("scene.png") + " " + Path("b.png")).status, 0);
    ExpectSamePicture(Loaded(Path("b.png")), Path("a.png"));
    const QImage corrected = Loaded(Path("a.png"));
    const QRgb patch = corrected.pixel(10, 10);
    EXPECT_LE(std::abs(qRed(patch) - qGreen(patch)), 2) << std::hex << patch;
    EXPECT_LE(std::abs(qGreen(patch) - qBlue(patch)), 2) << std::hex << patch;
}

TEST_F(BatchEndToEnd, OutputsThatAreNotRegularFilesAreRefusedBeforeAnyWork) {
    ASSERT_TRUE(
        Shell("mkfifo fifo.jpg && ln -s fifo.jpg to-fifo.jpg && mkdir dir.jpg && "
              "echo broken > in.jpg"));
    // The input cannot even be loaded: the output is refused first.
    for (const char* name : {"fifo.jpg", "to-fifo.jpg", "dir.jpg"}) {
        Outcome outcome = Run(Path("in.jpg") + " " + Path(name), "timeout 60");
        EXPECT_EQ(outcome.status, 1) << name;
        EXPECT_NE(outcome.errors.find("cannot save " + Path(name)), std::string::npos)
            << outcome.errors;
    }
    EXPECT_TRUE(Shell("test -p fifo.jpg && test -L to-fifo.jpg && test -d dir.jpg"));
}

// However an output is spelt, it never replaces an input of the run or an earlier output; each
// refusal names both files and the others are still corrected.
TEST_F(BatchEndToEnd, NoOutputReplacesAnInputOrAnEarlierOutput) {
    ASSERT_TRUE(Shell("mkdir d e"));
    ASSERT_TRUE(Make("-size 8x8 xc:gray", "d/a.jpg") && Make("-size 8x8 xc:red", "d/a.png") &&
                Make("-size 8x8 xc:blue", "e/a.png") && Make("-size 8x8 xc:green", "b.png"));
    ASSERT_TRUE(Shell("ln -s d/a.jpg link.jpg"));
    const auto original = fs::file_size(Path("d/a.jpg"));

    Outcome inDir = Run("--out-dir " + Path("d") + " " + Path("d/a.jpg") + " " + Path("d/a.png") +
                        " " + Path("b.png"));
    EXPECT_EQ(inDir.status, 1);
    EXPECT_NE(inDir.errors.find(Path("d/a.png") + ": its output " + Path("d/a.jpg") +
                                " would overwrite the input " + Path("d/a.jpg")),
              std::string::npos)
        << inDir.errors;
    EXPECT_EQ(fs::file_size(Path("d/a.jpg")), original);
    EXPECT_TRUE(fs::exists(Path("d/b.jpg")));

    Outcome sameName =
        Run("--out-dir " + Path("o") + " " + Path("d/a.png") + " " + Path("e/a.png"));
    EXPECT_EQ(sameName.status, 1);
    EXPECT_NE(sameName.errors.find("the output of the earlier photo " + Path("d/a.png")),
              std::string::npos)
        << sameName.errors;

    Outcome throughLink = Run(Path("d/a.jpg") + " " + Path("link.jpg"));
    EXPECT_EQ(throughLink.status, 1);
    EXPECT_EQ(fs::file_size(Path("d/a.jpg")), original);
}

TEST_F(BatchEndToEnd, FailuresNameTheirCause) {
    ASSERT_TRUE(Make("-size 8x8 xc:gray", "in.jpg"));
    ASSERT_TRUE(
        Shell("mkdir folder.jpg && ln -s loop-b.jpg loop-a.jpg && "
              "ln -s loop-a.jpg loop-b.jpg"));
    const std::pair<std::string, std::string> cases[] = {
        {Path("missing.jpg") + " " + Path("out.jpg"), "no such file"},
        {Path("folder.jpg") + " " + Path("out.jpg"), "is a folder"},
        {Path("loop-a.jpg") + " " + Path("out.jpg"), "symbolic links loop"},
        {Path(std::string(300, 'n') + ".jpg") + " " + Path("out.jpg"), "too long"},
        {Path("in.jpg") + " " + Path("folder.jpg"), "is a folder"},
        {Path("in.jpg") + " " + Path("missing/out.jpg"), "does not exist"},
        {Path("in.jpg") + " " + Path("in.jpg/out.jpg"), "a part of the path is not a folder"},
        {"--wb spot:8,0 " + Path("in.jpg") + " " + Path("spot.jpg"), "outside the photo"},
    };
    for (const auto& [args, reason] : cases) {
        Outcome outcome = Run(args);
        EXPECT_EQ(outcome.status, 1) << args;
        EXPECT_NE(outcome.errors.find(reason), std::string::npos) << outcome.errors;
    }
    EXPECT_FALSE(fs::exists(Path("spot.jpg")));
}

// Paths are as long as Linux allows, counted in characters, and names are the file system's bytes.
TEST_F(BatchEndToEnd, AnyPathTheFileSystemTakesWorks) {
    ASSERT_TRUE(Make("-size 8x8 xc:gray", "caf\xE9.jpg"));
    std::string output = Path("");
    for (int folder = 0; folder < 3; ++folder) {
        for (int i = 0; i < 40; ++i) output += "写";
        output += "/";
    }
    fs::create_directories(output);
    output += "真.png";
    Outcome outcome = Run(Path("caf\xE9.jpg") + " " + output);
    EXPECT_EQ(outcome.status, 0) << outcome.errors;
    EXPECT_TRUE(fs::exists(output));
    EXPECT_EQ(unlink(Path("caf\xE9.jpg").c_str()), 0) << "Qt's clean-up cannot name it";
}

// A photo above --max-megapixels is refused with a hint at the option. (Sizes are read from the
// header, and sizes a format cannot hold refused: see the loader's and saver's tests.)
TEST_F(BatchEndToEnd, PhotosAboveTheLimitAreRefused) {
    ASSERT_TRUE(Make("-size 2000x1000 xc:gray", "two.png"));
    Outcome limited = Run("--max-megapixels 1 " + Path("two.png") + " " + Path("two.jpg"));
    EXPECT_EQ(limited.status, 1);
    EXPECT_NE(limited.errors.find("2000 x 1000"), std::string::npos) << limited.errors;
    EXPECT_NE(limited.errors.find("--max-megapixels"), std::string::npos) << limited.errors;
    EXPECT_FALSE(fs::exists(Path("two.jpg")));
    EXPECT_EQ(Run("--max-megapixels 2 " + Path("two.png") + " " + Path("two.jpg")).status, 0);
}

// The memory a photo needs is weighed against what the process may take before it is decoded,
// and a TIFF that could never be held is refused before it is read whole. (The sanitizers reserve
// terabytes of address space, so the limit cannot be set under them.)
TEST_F(BatchEndToEnd, MemoryIsWeighedBeforeDecoding) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "address space cannot be limited under a sanitizer";
#endif
    const std::string limit = "prlimit --as=250000000";
    ASSERT_TRUE(Make("-size 6000x4000 xc:gray", "large.jpg"));
    Outcome large = Run(Path("large.jpg") + " " + Path("large.png"), limit);
    EXPECT_EQ(large.status, 1);
    EXPECT_NE(large.errors.find("not enough memory: 6000 x 4000 needs"), std::string::npos)
        << large.errors;

    ASSERT_TRUE(
        Shell("convert -size 10x1 xc:gray -compress None huge.tif && "
              "tiffset -s 256 60000 huge.tif && tiffset -s 257 60000 huge.tif && "
              "truncate -s 4294000000 huge.tif"));
    Outcome huge = Run(Path("huge.tif") + " " + Path("huge.png"), limit);
    EXPECT_EQ(huge.status, 1);
    EXPECT_NE(huge.errors.find("60000 x 60000 is 3600.0 megapixels"), std::string::npos)
        << huge.errors;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
