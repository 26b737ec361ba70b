#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "correct/CorrectionSettings.h"

namespace {

// Every position drawn from its row's range, and a grey point with doubles that a short decimal
// text would not hold exactly.
CorrectionSettings RandomSettings(uint32_t seed) {
    std::mt19937 random(seed);
    CorrectionSettings settings;
    for (const AdjustmentSpec& row : kAdjustments) {
        std::uniform_int_distribution<int32_t> position(row.minimum, row.maximum);
        for (int32_t band = 0; band < kColorBandCount; ++band)
            settings.SetPosition(row.id, band, position(random));
    }
    settings.wbMode = static_cast<WhiteBalanceMode>(random() % 3);
    std::uniform_real_distribution<double> channel(0, 1);
    settings.spotGreyPoint = GreyPoint{channel(random), 1.0 / 3, std::nextafter(0.5, 1.0)};
    return settings;
}

std::optional<CorrectionSettings> FromText(const std::string& text, std::string* error,
                                           std::vector<std::string>* warnings = nullptr) {
    std::vector<std::string> ignored;
    return SettingsFromText(text, warnings ? *warnings : ignored, *error);
}

TEST(SettingsFile, TextKeepsEveryValueExactly) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        const CorrectionSettings settings = RandomSettings(seed);
        std::string error;
        std::vector<std::string> warnings;
        std::optional<CorrectionSettings> read =
            FromText(SettingsToText(settings), &error, &warnings);
        ASSERT_TRUE(read) << error;
        EXPECT_EQ(*read, settings) << seed;
        EXPECT_TRUE(warnings.empty());
    }
}

TEST(SettingsFile, MissingKeysAreNeutralAndUnknownOnesAreIgnoredWithAWarning) {
    const std::string text = R"({
        "format": "lumivex-settings", "version": 3, "camera": "X100",
        "white-balance": {"mode": "auto", "temperature": 5600},
        "adjustments": {"brightness": 12, "clarity": 20},
        "bands": {"blue": {"hue": -700, "glow": 1}, "orange": {"hue": 5}}
    })";
    std::string error;
    std::vector<std::string> warnings;
    std::optional<CorrectionSettings> read = FromText(text, &error, &warnings);
    ASSERT_TRUE(read) << error;
    CorrectionSettings expected;
    expected.wbMode = WhiteBalanceMode::Automatic;
    expected.SetPosition(AdjustmentId::Brightness, 0, 12);
    expected.SetPosition(AdjustmentId::BandHue, 4, -700);
    EXPECT_EQ(*read, expected);
    std::string all;
    for (const std::string& warning : warnings) all += warning + "\n";
    for (const char* key : {"newer version (3)", "camera", "white-balance.temperature",
                            "adjustments.clarity", "bands.blue.glow", "bands.orange"}) {
        EXPECT_NE(all.find(key), std::string::npos) << key << " in\n" << all;
    }
}

TEST(SettingsFile, RefusesMalformedValuesNamingTheKey) {
    const std::string head = R"("format": "lumivex-settings", "version": 1)";
    struct Case {
        std::string body;
        const char* startsWith;
    };
    const Case cases[] = {
        {R"("adjustments": {"brightness": 46})", "adjustments.brightness: "},
        {R"("adjustments": {"add-light": -2})", "adjustments.add-light: "},
        {R"("adjustments": {"vividness": 2.5})", "adjustments.vividness: "},
        {R"("adjustments": {"vividness": "10"})", "adjustments.vividness: "},
        {R"("adjustments": {"suppress-light": 1e300})", "adjustments.suppress-light: "},
        {R"("adjustments": [1, 2])", "adjustments: "},
        {R"("bands": {"blue": {"hue": 5001}})", "bands.blue.hue: "},
        {R"("bands": {"red": {"vivid": -41}})", "bands.red.vivid: "},
        {R"("bands": {"red": 3})", "bands.red: "},
        {R"("white-balance": {"mode": "daylight"})", "white-balance.mode: "},
        {R"("white-balance": {"mode": 2})", "white-balance.mode: "},
        {R"("white-balance": {"grey-point": [0.5, 0.5]})", "white-balance.grey-point: "},
        {R"("white-balance": {"grey-point": [0.5, 1.5, 0.5]})", "white-balance.grey-point: "},
        {R"("white-balance": {"grey-point": [0.5, "a", 0.5]})", "white-balance.grey-point: "},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(FromText("{" + head + ", " + c.body + "}", &error)) << c.body;
        EXPECT_EQ(error.rfind(c.startsWith, 0), 0u) << c.body << " gave " << error;
    }
    const std::pair<std::string, const char*> wholeFile[] = {
        {"", "not a settings file"},
        {"{\"format\": \"lumivex-settings\", ", "not a settings file"},
        {"[1]", "not a settings file"},
        {R"({"version": 1})", "format: "},
        {R"({"format": "lumivex-settings"})", "version: "},
        {R"({"format": "lumivex-settings", "version": 0})", "version: "},
        {R"({"format": "lumivex-settings", "version": "1"})", "version: "},
    };
    for (const auto& [text, startsWith] : wholeFile) {
        std::string error;
        EXPECT_FALSE(FromText(text, &error)) << text;
        EXPECT_EQ(error.rfind(startsWith, 0), 0u) << text << " gave " << error;
    }
}

TEST(SettingsFile, FilesAreWrittenWholeAndOnlyRegularFilesAreRead) {
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/shoot.lumivex";
    const CorrectionSettings settings = RandomSettings(3);
    std::string error;
    ASSERT_TRUE(WriteSettingsFile(path, settings, error)) << error;
    std::vector<std::string> warnings;
    std::optional<CorrectionSettings> read = ReadSettingsFile(path, warnings, error);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ(*read, settings);

    EXPECT_FALSE(WriteSettingsFile(dir.path().toStdString(), settings, error));
    EXPECT_NE(error.find("folder"), std::string::npos) << error;
    EXPECT_FALSE(WriteSettingsFile(path + "/below-a-file.lumivex", settings, error));

    // A FIFO would block the read forever.
    const std::string fifo = dir.path().toStdString() + "/fifo.lumivex";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(ReadSettingsFile(fifo, warnings, error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    EXPECT_FALSE(ReadSettingsFile(dir.path().toStdString(), warnings, error));
    EXPECT_FALSE(ReadSettingsFile(path + ".missing", warnings, error));
    EXPECT_EQ(error, "no such file");
}

}  // namespace
