#include "tools/lumivex-batch/BatchOptions.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

std::optional<BatchOptions> Parse(std::initializer_list<const char*> args, std::string* error) {
    std::vector<const char*> argv = {"lumivex-batch"};
    argv.insert(argv.end(), args.begin(), args.end());
    return ParseBatchOptions(static_cast<int>(argv.size()), argv.data(), *error);
}

// The whole-photo positions in row order, then every band's positions band by band.
std::vector<int32_t> Positions(const CorrectionSettings& settings) {
    std::vector<int32_t> positions;
    for (const AdjustmentSpec& row : kAdjustments) {
        if (!row.perBand) positions.push_back(settings.Position(row.id));
    }
    for (int32_t band = 0; band < kColorBandCount; ++band) {
        for (const AdjustmentSpec& row : kAdjustments) {
            if (row.perBand) positions.push_back(settings.Position(row.id, band));
        }
    }
    return positions;
}

TEST(BatchOptions, ReadsEveryControlAndDefaultsToTheNeutralStart) {
    std::string error;
    auto neutral = Parse({"in.jpg", "out.jpg"}, &error);
    ASSERT_TRUE(neutral) << error;
    EXPECT_EQ(neutral->settings, CorrectionSettings());
    EXPECT_FALSE(neutral->spotPixel);
    EXPECT_EQ(neutral->output, "out.jpg");

    auto o =
        Parse({"--wb", "spot:12,34", "--brightness=-45", "--vividness", "45", "--add-light", "100",
               "--suppress-light=0", "--band", "cyan:hue=-5000,bright=40", "--band", "cyan:vivid=3",
               "--out-dir", "outs", "--format", "png", "a.tif", "--", "-b.jpg"},
              &error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(o->settings.wbMode, WhiteBalanceMode::Spot);
    ASSERT_TRUE(o->spotPixel);
    EXPECT_EQ(o->spotPixel->x, 12);
    EXPECT_EQ(o->spotPixel->y, 34);
    // A repeated band keeps what the earlier option set and adds the new key.
    std::vector<int32_t> expected = {-45, 45, 100, 0};
    for (int32_t band = 0; band < kColorBandCount; ++band) {
        const bool cyan = band == 3;
        expected.insert(expected.end(), {cyan ? -5000 : 0, cyan ? 3 : 0, cyan ? 40 : 0});
    }
    EXPECT_EQ(Positions(o->settings), expected);
    EXPECT_EQ(o->format, "png");
    EXPECT_EQ(o->inputs, (std::vector<std::string>{"a.tif", "-b.jpg"}));
}

TEST(BatchOptions, RefusesBadValuesAndCommandLinesInOneLineNamingTheOption) {
    struct Case {
        std::initializer_list<const char*> args;
        const char* mentions;
    };
    const Case cases[] = {
        {{"--brightness", "46", "a", "b"}, "--brightness takes a whole number from -45 to 45"},
        {{"--add-light", "-2", "a", "b"}, "--add-light takes a whole number from -1 to 100"},
        {{"--brightness", "12abc", "a", "b"}, "--brightness"},
        {{"--brightness", "99999999999999999999", "a", "b"}, "--brightness"},
        {{"--band", "red:hue=5001", "a", "b"}, "hue -5000..5000"},
        {{"--band", "orange:hue=1", "a", "b"}, "--band"},
        {{"--band", "red:tint=1", "a", "b"}, "--band"},
        {{"--band", "red:hue=1,", "a", "b"}, "--band"},
        {{"--wb", "spot:-1,2", "a", "b"}, "--wb"},
        {{"--wb", "daylight", "a", "b"}, "--wb"},
        {{"--format", "gif", "--out-dir", "d", "a"}, "--format"},
        {{"--format", "png", "a", "b.png"}, "--format"},
        {{"--sharpen", "3", "a", "b"}, "unknown option --sharpen"},
        {{"a", "b", "--brightness"}, "--brightness needs a value"},
        {{"only-input.jpg"}, "missing"},
        {{"a", "b", "c"}, "too many"},
        {{"--out-dir", "d"}, "missing INPUT"},
        {{"--brightness", "3", "--settings", "s.lumivex", "a", "b"}, "--brightness comes first"},
        {{"--settings", "no-such.lumivex", "a", "b"}, "--settings no-such.lumivex: no such file"},
        {{"--print-settings", "a.jpg"}, "only to measure --wb spot:X,Y"},
        {{"--wb", "spot:1,2", "--print-settings"}, "needs the photo to measure"},
        {{"--print-settings", "--out-dir", "d"}, "writes no photos"},
        {{"--depth", "12", "a", "b.tif"}, "--depth takes 8 or 16"},
        {{"--quality", "0", "a", "b.jpg"}, "--quality takes a whole number from 1 to 100"},
        {{"--max-megapixels", "0", "a", "b"}, "--max-megapixels takes a whole number from 1"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(Parse(c.args, &error)) << c.mentions;
        EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(BatchOptions, HelpAndVersionNeedNoFiles) {
    std::string error;
    EXPECT_TRUE(Parse({"-h"}, &error)->help);
    EXPECT_TRUE(Parse({"--version"}, &error)->version);
    const std::string usage = BatchUsage();
    EXPECT_NE(usage.find("Example"), std::string::npos);
    EXPECT_NE(
        usage.find("  --add-light N            lift dark tones, -1..100 (default -1 = off)\n"),
        std::string::npos);
    EXPECT_NE(usage.find("hue -5000..5000, vivid -40..40, bright -40..40"), std::string::npos);
}

}  // namespace
