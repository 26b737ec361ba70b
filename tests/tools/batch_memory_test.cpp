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

TEST(BatchMemory, APhotoWhosePassRunsOutOfMemoryFailsAloneAndWritesNothing) {
    QTemporaryDir dir;
    const std::string base = dir.path().toStdString(), a = base + "/a.bmp", b = base + "/b.bmp",
                      out = base + "/out";
    QImage picture(64, 48, QImage::Format_RGB888);
    picture.fill(qRgb(200, 150, 90));
    ASSERT_TRUE(picture.save(QString::fromStdString(a)) && picture.save(QString::fromStdString(b)));
    // One photo at a time: the single failing allocation must meet a.bmp's pass.
    const char* argv[] = {"lumivex-batch", "--quiet",   "--jobs",   "1",   "--wb",    "auto",
                          "--out-dir",     out.c_str(), "--format", "bmp", a.c_str(), b.c_str()};
    FILE* errors = std::tmpfile();
    ColorCache_FailBlockAllocation(1);  // only a.bmp's pass meets the failure
    EXPECT_EQ(RunBatch(static_cast<int>(std::size(argv)), argv, stdout, errors), 1);
    ColorCache_FailBlockAllocation(0);
    std::rewind(errors);
    char said[512] = {};
    said[std::fread(said, 1, sizeof said - 1, errors)] = '\0';
    std::fclose(errors);
    EXPECT_EQ(std::string(said),
              "lumivex-batch: " + a + ": not enough memory to correct the photo\n");
    EXPECT_FALSE(std::filesystem::exists(out + "/a.bmp"));
    EXPECT_TRUE(std::filesystem::exists(out + "/b.bmp"));
}

}  // namespace
