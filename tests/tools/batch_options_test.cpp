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

TEST(BatchOptions, ReadsEveryControlAndDefaultsToTheNeutralStart) {
    std::string error;
    auto neutral = Parse({"in.jpg", "out.jpg"}, &error);
    ASSERT_TRUE(neutral) << error;
    EXPECT_EQ(neutral->wbMode, 0);
    EXPECT_EQ(neutral->brightness + neutral->vividness, 0);
    EXPECT_EQ(neutral->addLight, -1);
    EXPECT_EQ(neutral->suppressLight, -1);
    EXPECT_EQ(neutral->output, "out.jpg");

    auto o =
        Parse({"--wb", "spot:12,34", "--brightness=-45", "--vividness", "45", "--add-light", "100",
               "--suppress-light=0", "--band", "cyan:hue=-5000,bright=40", "--band", "cyan:vivid=3",
               "--out-dir", "outs", "--format", "png", "a.tif", "--", "-b.jpg"},
              &error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(o->wbMode, 2);
    EXPECT_EQ(o->spotX, 12);
    EXPECT_EQ(o->spotY, 34);
    EXPECT_EQ(o->brightness, -45);
    EXPECT_EQ(o->vividness, 45);
    EXPECT_EQ(o->addLight, 100);
    EXPECT_EQ(o->suppressLight, 0);
    // A repeated band keeps what the earlier option set and adds the new key.
    EXPECT_EQ(o->bands[3].hue, -5000);
    EXPECT_EQ(o->bands[3].bright, 40);
    EXPECT_EQ(o->bands[3].vivid, 3);
    EXPECT_FALSE(o->bands[0].hueSet || o->bands[0].vividSet || o->bands[0].brightSet);
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
    EXPECT_NE(BatchUsage().find("Example"), std::string::npos);
}

}  // namespace
