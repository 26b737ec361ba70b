#include "tools/lumivex-batch/BatchOptions.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

using Positions = std::array<int32_t, kAdjustmentCount>;

std::optional<BatchOptions> Parse(std::initializer_list<const char*> args, std::string* error) {
    std::vector<const char*> argv = {"lumivex-batch"};
    argv.insert(argv.end(), args.begin(), args.end());
    return ParseBatchOptions(static_cast<int>(argv.size()), argv.data(), *error);
}

TEST(BatchOptions, ReadsEveryControlAndDefaultsToTheNeutralStart) {
    std::string error;
    auto neutral = Parse({"in.jpg", "out.jpg"}, &error);
    ASSERT_TRUE(neutral) << error;
    EXPECT_EQ(neutral->wbMode, WhiteBalanceMode::Off);
    EXPECT_EQ(neutral->positions, (Positions{0, 0, -1, -1, 0, 0, 0}));
    EXPECT_EQ(neutral->output, "out.jpg");

    auto o =
        Parse({"--wb", "spot:12,34", "--brightness=-45", "--vividness", "45", "--add-light", "100",
               "--suppress-light=0", "--band", "cyan:hue=-5000,bright=40", "--band", "cyan:vivid=3",
               "--out-dir", "outs", "--format", "png", "a.tif", "--", "-b.jpg"},
              &error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(o->wbMode, WhiteBalanceMode::Spot);
    EXPECT_EQ(o->spotX, 12);
    EXPECT_EQ(o->spotY, 34);
    EXPECT_EQ(o->positions, (Positions{-45, 45, 100, 0, 0, 0, 0}));
    // A repeated band keeps what the earlier option set and adds the new key.
    const auto& cyan = o->bands[3];
    EXPECT_EQ(cyan[static_cast<size_t>(AdjustmentId::BandHue)], -5000);
    EXPECT_EQ(cyan[static_cast<size_t>(AdjustmentId::BandBrightness)], 40);
    EXPECT_EQ(cyan[static_cast<size_t>(AdjustmentId::BandVividness)], 3);
    for (const std::optional<int32_t>& position : o->bands[0]) EXPECT_FALSE(position);
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
        {{"--vividness", "-46", "a", "b"}, "--vividness"},
        {{"--add-light", "-2", "a", "b"}, "--add-light takes a whole number from -1 to 100"},
        {{"--suppress-light", "101", "a", "b"}, "--suppress-light"},
        {{"--brightness", "1.5", "a", "b"}, "--brightness"},
        {{"--brightness", "12abc", "a", "b"}, "--brightness"},
        {{"--brightness", "99999999999999999999", "a", "b"}, "--brightness"},
        {{"--band", "red:hue=5001", "a", "b"}, "hue -5000..5000"},
        {{"--band", "blue:vivid=41", "a", "b"}, "--band"},
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
