// The batch tool when the adjustment pass runs out of memory, with the colour cache made to fail
// one block allocation.
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "adjust/ColorCacheTesting.h"
#include "tools/lumivex-batch/BatchRun.h"

namespace {

std::string ReadAll(FILE* file) {
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
    return text;
}

TEST(BatchMemory, APhotoWhosePassRunsOutOfMemoryFailsAloneAndWritesNothing) {
    QTemporaryDir dir;
    const std::string base = dir.path().toStdString();
    QImage picture(64, 48, QImage::Format_RGB888);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) picture.setPixel(x, y, qRgb(200 - x, 150 + y, 90 + x + y));
    ASSERT_TRUE(picture.save(QString::fromStdString(base + "/a.bmp")));
    ASSERT_TRUE(picture.save(QString::fromStdString(base + "/b.bmp")));
    const std::string out = base + "/out", a = base + "/a.bmp", b = base + "/b.bmp";
    const char* argv[] = {"lumivex-batch", "--quiet",  "--wb", "auto",    "--out-dir",
                          out.c_str(),     "--format", "bmp",  a.c_str(), b.c_str()};
    FILE* output = std::tmpfile();
    FILE* errors = std::tmpfile();
    ColorCache_FailBlockAllocation(1);  // only a.bmp's pass meets the failure
    const int status = RunBatch(static_cast<int>(std::size(argv)), argv, output, errors);
    ColorCache_FailBlockAllocation(0);
    EXPECT_EQ(status, 1);
    const std::string said = ReadAll(errors);
    EXPECT_NE(said.find(a + ": not enough memory"), std::string::npos) << said;
    EXPECT_EQ(said.find(b), std::string::npos) << said;
    EXPECT_FALSE(std::filesystem::exists(out + "/a.bmp"));
    EXPECT_TRUE(std::filesystem::exists(out + "/b.bmp"));
    std::fclose(output);
    std::fclose(errors);
}

}  // namespace
