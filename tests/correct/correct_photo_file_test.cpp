// A photo corrected through CorrectPhotoFile, band by band where it can be, gives the file that
// loading it whole, correcting it in place and saving it gives: sizes that end inside a band, a
// stored turn, 16-bit samples, every white balance mode; and the damaged JPEG that the band
// decoder leaves to Qt is still corrected, where damage is allowed, as the whole photo's road
// corrects it.
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "adjust/Pipeline.h"
#include "correct/CorrectPhotoFile.h"
#include "imageio/PhotoLoader.h"
#include "imageio/PhotoMetadata.h"

namespace {

std::string Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Smooth colours with noise, so that many colours occur and the grey point is not trivial.
QImage Picture(int width, int height, QImage::Format format) {
    QImage picture(width, height, format);
    std::mt19937 noise(uint32_t(width * 7 + height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int n = int(noise() % 24);
            picture.setPixelColor(
                x, y,
                QColor(std::min(255, 40 + 160 * x / width + n),
                       std::min(255, 90 + 100 * y / height + n), std::min(255, 60 + n * 3)));
        }
    }
    return picture;
}

TEST(CorrectPhotoFile, GivesTheFileOfTheWholePhotosRoad) {
    const EngineReference engine;
    QTemporaryDir dir;
    const std::string base = dir.path().toStdString() + "/";
    CorrectionSettings every;
    every.wbMode = WhiteBalanceMode::Automatic;
    for (int32_t i = 0; i < 4; ++i) every.SetPosition(AdjustmentId(i), 0, 15 + 7 * i);
    every.SetPosition(AdjustmentId::BandHue, 4, 900);
    CorrectionSettings spot = every;
    spot.wbMode = WhiteBalanceMode::Spot;
    spot.spotGreyPoint = GreyPoint{0.6, 0.5, 0.45};
    CorrectionSettings neutral;
    neutral.SetPosition(AdjustmentId::Vividness, 0, -20);
    const struct {
        int width, height;
        const char* kind;  // jpg, a turned jpg, a damaged jpg or a 16-bit tif
        const CorrectionSettings& settings;
    } cases[] = {{37, 1, "jpg", every},       {200, 127, "jpg", neutral},
                 {130, 129, "jpg", spot},     {301, 300, "jpg", every},
                 {150, 257, "turned", every}, {140, 131, "damaged", every},
                 {160, 140, "tif", every}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << " " << c.kind);
        const std::string kind = c.kind,
                          input = base + kind + "." + (kind == "tif" ? "tif" : "jpg");
        const QImage picture = Picture(
            c.width, c.height, kind == "tif" ? QImage::Format_RGBX64 : QImage::Format_RGB888);
        ASSERT_TRUE(picture.save(QString::fromStdString(input)));
        if (kind == "turned") {
            ASSERT_EQ(
                std::system(("exiv2 -M'set Exif.Image.Orientation Short 6' " + input).c_str()), 0);
        } else if (kind == "damaged") {
            // Cut short: libjpeg warns and decodes on, Qt fills in the rest.
            std::string bytes = Bytes(input);
            std::ofstream(input, std::ios::binary) << bytes.substr(0, bytes.size() * 2 / 3);
        }
        const PhotoLoadLimits limits{.allowDamaged = kind == "damaged"};
        PhotoTimings timings;
        PhotoProblem problem;
        ASSERT_EQ(CorrectPhotoFile(c.settings, std::nullopt, {input, base + "banded.jpg", {}},
                                   timings, problem, limits),
                  1)
            << PhotoProblemText(problem);

        CImgBuff photo;
        PhotoOrigin origin;
        PhotoError error;
        ASSERT_EQ(LoadPhoto(input.c_str(), &photo, &error, limits, &origin), 1) << error.text;
        ASSERT_EQ(ApplyAdjustmentsInPlace(*CompilePlan(c.settings), &photo), 1);
        ASSERT_EQ(SavePhoto((base + "whole.jpg").c_str(), &photo, &error, &origin), 1);
        EXPECT_TRUE(Bytes(base + "banded.jpg") == Bytes(base + "whole.jpg"));
    }
}

}  // namespace
