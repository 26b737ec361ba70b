#include "correct/CorrectionSettings.h"

#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

// Written to a file and read back, settings come back exactly: every position drawn from its
// row's range (seeds 1 and 2 take the range's ends), a grey point with doubles that a short
// decimal text would not hold, and each of the eight turns.
TEST(SettingsFile, KeepsEveryValueExactly) {
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/shoot.lumivex";
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        std::mt19937 random(seed);
        CorrectionSettings settings;
        for (const AdjustmentSpec& row : kAdjustments) {
            std::uniform_int_distribution<int32_t> position(row.minimum, row.maximum);
            for (int32_t band = 0; band < kColorBandCount; ++band) {
                const int32_t end = seed == 1 ? row.minimum : row.maximum;
                settings.SetPosition(row.id, band, seed > 2 ? position(random) : end);
            }
        }
        settings.wbMode = static_cast<WhiteBalanceMode>(seed % 3);
        settings.turn = ImageTurn{static_cast<int32_t>(seed % 4), seed % 3 == 0};
        const double r = seed > 2 ? std::generate_canonical<double, 53>(random) : seed - 1.0;
        settings.spotGreyPoint = GreyPoint{r, 1.0 / 3, std::nextafter(0.5, 1.0)};
        SettingsError error;
        SettingsWarnings warnings;
        ASSERT_TRUE(WriteSettingsFile(path, settings, error)) << SettingsErrorText(error);
        std::optional<CorrectionSettings> read = ReadSettingsFile(path, warnings, error);
        ASSERT_TRUE(read) << SettingsErrorText(error);
        EXPECT_EQ(*read, settings) << seed;
    }
}

TEST(SettingsFile, MissingKeysAreNeutralAndUnknownOnesAreIgnoredWithAWarning) {
    SettingsError error;
    SettingsWarnings warnings;
    const std::optional<CorrectionSettings> read = SettingsFromText(R"({
        "format": "lumivex-settings", "version": 3, "camera": "X100",
        "white-balance": {"mode": "auto", "temperature": 5600},
        "adjustments": {"brightness": 12, "clarity": 20},
        "bands": {"blue": {"hue": -700, "glow": 1}, "orange": {"hue": 5}}
    })",
                                                                    warnings, error);
    CorrectionSettings expected;
    expected.wbMode = WhiteBalanceMode::Automatic;
    expected.SetPosition(AdjustmentId::Brightness, 0, 12);
    expected.SetPosition(AdjustmentId::BandHue, 4, -700);
    EXPECT_EQ(read, expected) << SettingsErrorText(error);
    EXPECT_EQ(SettingsWarningLines(warnings),
              (std::vector<std::string>{
                  "written by a newer version (3) than this program reads (2)",
                  "unknown key white-balance.temperature ignored",
                  "unknown key adjustments.clarity ignored", "unknown key bands.blue.glow ignored",
                  "unknown key bands.orange ignored", "unknown key camera ignored"}));
}

// A malformed text, a key given twice, a value of the wrong kind or out of range, and a file that
// is no regular file are refused with an error that begins with the key's name or the cause;
// nothing is written over a folder.
TEST(SettingsFile, RefusesMalformedFilesNamingTheKey) {
    const std::string head = R"({"format": "lumivex-settings", "version": 1, )";
    const std::pair<std::string, const char*> cases[] = {
        {head + R"("adjustments": {"brightness": 46}})", "adjustments.brightness: "},
        {head + R"("adjustments": {"vividness": 2.5}})", "adjustments.vividness: "},
        {head + R"("adjustments": {"vividness": "10"}})", "adjustments.vividness: "},
        {head + R"("bands": {"blue": {"hue": 5001}}})", "bands.blue.hue: "},
        {head + R"("bands": {"blue": {"hue": 1, "h\u0075e": 2}}})", "bands.blue.hue: given twice"},
        {head + R"("bands": {"blue": {"hue": 1}, "red": {"hue": 1}}})", ""},
        {head + R"("geometry": {}, "adjustments": {"brightness": 1}, "geometry": {}})",
         "geometry: given twice"},
        {head + R"("white-balance": {"mode": "daylight"}})", "white-balance.mode: "},
        {head + R"("geometry": {"rotate": 45}})", "geometry.rotate: "},
        {head + R"("geometry": {"flip": 1}})", "geometry.flip: "},
        {head + R"("white-balance": {"grey-point": [0.5, 0.5]}})", "white-balance.grey-point: "},
        {head + R"("white-balance": {"grey-point": [0.5, 1.5, 0.5]}})",
         "white-balance.grey-point: "},
        {"", "not a settings file"},
        {"[1]", "not a settings file"},
        {R"({"version": 1})", "format: "},
        {R"({"format": "lumivex-settings"})", "version: "},
        {R"({"format": "lumivex-settings", "version": 0})", "version: "},
    };
    SettingsError error;
    SettingsWarnings warnings;
    for (const auto& [text, startsWith] : cases) {
        const bool read = SettingsFromText(text, warnings, error).has_value();
        EXPECT_EQ(read, *startsWith == '\0') << text;
        EXPECT_EQ(SettingsErrorText(error).rfind(startsWith, 0), 0u)
            << text << " gave " << SettingsErrorText(error);
    }

    // Paths are bytes: a Latin-1 name reads; a FIFO would block a read forever; a loop is named.
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString(), fifo = folder + "/fifo.lumivex";
    const std::string latin1 = folder + "/caf\xe9.lumivex", loop = folder + "/loop.lumivex";
    ASSERT_TRUE(WriteSettingsFile(latin1, CorrectionSettings(), error));
    EXPECT_TRUE(ReadSettingsFile(latin1, warnings, error)) << SettingsErrorText(error);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
    for (const auto& [path, cause] : {std::pair(fifo, PhotoFailure::NotRegularFile),
                                      {folder, PhotoFailure::IsFolder},
                                      {loop, PhotoFailure::LinkLoop},
                                      {folder + "/no", PhotoFailure::NoSuchFile}}) {
        EXPECT_FALSE(ReadSettingsFile(path, warnings, error)) << path;
        EXPECT_EQ(error.file.failure, cause) << path << " gave " << SettingsErrorText(error);
    }
    EXPECT_FALSE(WriteSettingsFile(folder, CorrectionSettings(), error));
    EXPECT_EQ(error.file.failure, PhotoFailure::IsFolder);
}

// Inputs that once broke a reader, or that the fuzzer found reaching deep into one, are read or
// refused with a cause.
TEST(SettingsFile, EveryFuzzRegressionIsReadOrRefusedWithACause) {
    int files = 0;
    for (QDirIterator it(LUMIVEX_FUZZ_REGRESSIONS, QDir::Files); it.hasNext(); ++files) {
        QFile file(it.next());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        SettingsWarnings warnings;
        SettingsError error;
        EXPECT_TRUE(SettingsFromText(bytes.toStdString(), warnings, error) ||
                    !SettingsErrorText(error).empty())
            << file.fileName().toStdString();
    }
    EXPECT_GT(files, 0);
}

}  // namespace
