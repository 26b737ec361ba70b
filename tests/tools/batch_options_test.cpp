#include "tools/lumivex-batch/BatchOptions.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

struct Parsed {
    std::optional<BatchOptions> options;
    std::string error;
};

Parsed Parse(std::initializer_list<const char*> args) {
    std::vector<const char*> argv = {"lumivex-batch"};
    argv.insert(argv.end(), args.begin(), args.end());
    Parsed parsed;
    parsed.options = ParseBatchOptions(static_cast<int>(argv.size()), argv.data(), parsed.error);
    return parsed;
}

TEST(BatchOptions, DefaultsAreTheWindowsNeutralStart) {
    Parsed p = Parse({"in.jpg", "out.jpg"});
    ASSERT_TRUE(p.options) << p.error;
    EXPECT_EQ(p.options->wbMode, 0);
    EXPECT_EQ(p.options->brightness, 0);
    EXPECT_EQ(p.options->vividness, 0);
    EXPECT_EQ(p.options->addLight, -1);
    EXPECT_EQ(p.options->suppressLight, -1);
    for (const BandSetting& band : p.options->bands) {
        EXPECT_FALSE(band.hueSet || band.vividSet || band.brightSet);
    }
    EXPECT_EQ(p.options->inputs, std::vector<std::string>{"in.jpg"});
    EXPECT_EQ(p.options->output, "out.jpg");
}

TEST(BatchOptions, ReadsEveryControl) {
    Parsed p = Parse({"--wb",
                      "spot:12,34",
                      "--brightness=-45",
                      "--vividness",
                      "45",
                      "--add-light",
                      "100",
                      "--suppress-light=0",
                      "--band",
                      "cyan:hue=-5000,bright=40",
                      "--band",
                      "magenta:vivid=-40",
                      "--band",
                      "cyan:vivid=3",
                      "--out-dir",
                      "outs",
                      "--format",
                      "png",
                      "a.tif",
                      "b.jpg"});
    ASSERT_TRUE(p.options) << p.error;
    const BatchOptions& o = *p.options;
    EXPECT_EQ(o.wbMode, 2);
    EXPECT_EQ(o.spotX, 12);
    EXPECT_EQ(o.spotY, 34);
    EXPECT_EQ(o.brightness, -45);
    EXPECT_EQ(o.vividness, 45);
    EXPECT_EQ(o.addLight, 100);
    EXPECT_EQ(o.suppressLight, 0);
    // A repeated band keeps what earlier options set and adds the new keys.
    EXPECT_EQ(o.bands[3].hue, -5000);
    EXPECT_EQ(o.bands[3].bright, 40);
    EXPECT_EQ(o.bands[3].vivid, 3);
    EXPECT_TRUE(o.bands[3].hueSet && o.bands[3].vividSet && o.bands[3].brightSet);
    EXPECT_EQ(o.bands[5].vivid, -40);
    EXPECT_FALSE(o.bands[5].hueSet);
    EXPECT_EQ(o.outDir, "outs");
    EXPECT_EQ(o.format, "png");
    EXPECT_EQ(o.inputs, (std::vector<std::string>{"a.tif", "b.jpg"}));
}

TEST(BatchOptions, RefusesValuesOutsideTheirRanges) {
    struct Case {
        std::initializer_list<const char*> args;
        const char* mentions;
    };
    const Case cases[] = {
        {{"--brightness", "46", "a", "b"}, "--brightness"},
        {{"--vividness", "-46", "a", "b"}, "-45 to 45"},
        {{"--add-light", "-2", "a", "b"}, "--add-light"},
        {{"--suppress-light", "101", "a", "b"}, "-1 to 100"},
        {{"--brightness", "1.5", "a", "b"}, "--brightness"},
        {{"--brightness", "", "a", "b"}, "--brightness"},
        {{"--brightness", "12abc", "a", "b"}, "--brightness"},
        {{"--brightness", "99999999999999999999", "a", "b"}, "--brightness"},
        {{"--band", "red:hue=5001", "a", "b"}, "-5000..5000"},
        {{"--band", "blue:vivid=41", "a", "b"}, "--band"},
        {{"--band", "orange:hue=1", "a", "b"}, "--band"},
        {{"--band", "red:tint=1", "a", "b"}, "--band"},
        {{"--band", "red:", "a", "b"}, "--band"},
        {{"--band", "red:hue=1,", "a", "b"}, "--band"},
        {{"--wb", "spot:1", "a", "b"}, "--wb"},
        {{"--wb", "spot:-1,2", "a", "b"}, "--wb"},
        {{"--wb", "daylight", "a", "b"}, "--wb"},
        {{"--format", "gif", "--out-dir", "d", "a"}, "--format"},
    };
    for (const Case& c : cases) {
        Parsed p = Parse(c.args);
        EXPECT_FALSE(p.options) << c.mentions;
        EXPECT_NE(p.error.find(c.mentions), std::string::npos) << p.error;
        EXPECT_EQ(p.error.find('\n'), std::string::npos) << "one line: " << p.error;
    }
}

TEST(BatchOptions, RefusesMalformedCommandLines) {
    EXPECT_FALSE(Parse({}).options);
    EXPECT_FALSE(Parse({"only-input.jpg"}).options);
    EXPECT_FALSE(Parse({"a.jpg", "b.jpg", "c.jpg"}).options);
    EXPECT_FALSE(Parse({"--out-dir", "d"}).options);
    EXPECT_FALSE(Parse({"--format", "png", "a.jpg", "b.png"}).options);
    Parsed unknown = Parse({"--sharpen", "3", "a", "b"});
    EXPECT_FALSE(unknown.options);
    EXPECT_NE(unknown.error.find("--sharpen"), std::string::npos);
    Parsed missing = Parse({"a", "b", "--brightness"});
    EXPECT_FALSE(missing.options);
    EXPECT_NE(missing.error.find("--brightness"), std::string::npos);
}

TEST(BatchOptions, HelpAndVersionNeedNoFiles) {
    EXPECT_TRUE(Parse({"-h"}).options->help);
    EXPECT_TRUE(Parse({"--help"}).options->help);
    EXPECT_TRUE(Parse({"--version"}).options->version);
    EXPECT_NE(BatchUsage().find("Example"), std::string::npos);
}

TEST(BatchOptions, DashDashEndsOptions) {
    Parsed p = Parse({"--", "-odd name.jpg", "out.png"});
    ASSERT_TRUE(p.options) << p.error;
    EXPECT_EQ(p.options->inputs.front(), "-odd name.jpg");
}

}  // namespace
