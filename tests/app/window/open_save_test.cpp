#include <QFile>

#include <cstring>

#include "tests/app/window/DialogFixture.h"

namespace {

const char kLoadFailed[] = "ロードできませんでした";
const char kSaveFailed[] = "セーブできませんでした";

// Mean absolute difference per channel between a saved file and the image it was made from.
double MeanDifference(const QImage& file, const CImgBuff& image) {
    double total = 0;
    for (int y = 0; y < file.height(); ++y) {
        for (int x = 0; x < file.width(); ++x) {
            uint8_t r, g, b;
            image.buffer->GetRGB8(x, y, &r, &g, &b);
            const QRgb p = file.pixel(x, y);
            total += std::abs(qRed(p) - r) + std::abs(qGreen(p) - g) + std::abs(qBlue(p) - b);
        }
    }
    return total / (3.0 * file.width() * file.height());
}

TEST_F(DialogTest, OpenAsksForPhotosAndShowsTheNewPhotoUnderTheCurrentSettings) {
    Show();
    Open(WritePhoto(Pattern(66, 50), "first.png"));
    ASSERT_EQ(prompts.requests.size(), 1u);
    const FileDialogRequest& request = prompts.requests[0];
    EXPECT_FALSE(request.save);
    EXPECT_TRUE(request.fileMustExist);
    EXPECT_EQ(request.defaultExtension, nullptr);
    EXPECT_STREQ(request.filter,
                 "写真(*.jpg;*.jpeg;*.tif;*.tiff)|*.jpg;*.jpeg;*.tif;*.tiff|jpgファイル(*.jpg;*."
                 "jpeg)|*.jpg;*.jpeg|tiffファイル(*.tif;*.tiff)|*.tif;*.tiff||");
    EXPECT_TRUE(prompts.messages.empty());
    EXPECT_EQ(dialog->photoWidth, 66);
    EXPECT_EQ(dialog->photoHeight, 50);
    int32_t w = 0, h = 0;
    PixelType type = PT_NONE;
    ASSERT_NE(dialog->proxySource.GetData(&w, &h, &type), nullptr);
    EXPECT_EQ(w, 16);  // the last two columns and rows are dropped
    EXPECT_EQ(h, 12);
    EXPECT_EQ(type, static_cast<PixelType>(PT_HSV16));
    EXPECT_EQ(dialog->needsApply, 0);
    EXPECT_EQ(dialog->fullPasses, 1);
    EXPECT_TRUE(SamePixels(dialog->sourceImage, dialog->resultImage));

    // Settings carry over to the next photo.
    dialog->vividnessSlider->SetPos(30);
    dialog->OnHScroll(kScrollThumbPosition, 0, dialog->vividnessSlider);
    Settle();
    Open(WritePhoto(Pattern(40, 40), "second.png"));
    EXPECT_EQ(dialog->photoWidth, 40);
    EXPECT_EQ(dialog->vividnessSlider->GetPos(), 30);
    EXPECT_FALSE(SamePixels(dialog->sourceImage, dialog->resultImage));
    ASSERT_NE(dialog->displayDib, nullptr);
    EXPECT_EQ(dialog->displayDib->width, 40);
}

TEST_F(DialogTest, FailedOpenReportsAndKeepsThePreviousPhotoWhole) {
    Show();
    Open(WritePhoto(Pattern(64, 48), "good.png"));
    dialog->wbMode = 1;
    dialog->needsApply = 1;
    dialog->ApplyAdjustments(0);
    ColorCache* autoCache = dialog->autoWbCache;
    ASSERT_NE(autoCache, nullptr);
    CImgBuff source, proxy, result;
    source.Copy(dialog->sourceImage);
    proxy.Copy(dialog->proxySource);
    result.Copy(dialog->resultImage);
    const QImage pictureBefore = dialog->previewFrame->grab().toImage();

    const QString broken = folder.filePath(QStringLiteral("broken.jpg"));
    QFile file(broken);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("\xFF\xD8\xFF not really a photo");
    file.close();
    for (const std::string& path :
         {broken.toStdString(), folder.filePath("missing.jpg").toStdString()}) {
        prompts.messages.clear();
        Open(path);
        ASSERT_EQ(prompts.messages.size(), 1u);
        EXPECT_EQ(prompts.messages[0], kLoadFailed);
    }
    EXPECT_EQ(dialog->photoWidth, 64);
    EXPECT_EQ(dialog->photoHeight, 48);
    EXPECT_TRUE(SamePixels(source, dialog->sourceImage));
    EXPECT_TRUE(SamePixels(proxy, dialog->proxySource));
    EXPECT_TRUE(SamePixels(result, dialog->resultImage));
    EXPECT_EQ(dialog->autoWbCache, autoCache);
    dialog->needsApply = 1;  // even a fresh pass shows the same picture
    EXPECT_EQ(dialog->previewFrame->grab().toImage(), pictureBefore);
}

TEST_F(DialogTest, CancellingEitherDialogChangesNothing) {
    Show();
    Open(WritePhoto(Pattern(64, 48), "good.png"));
    CImgBuff source;
    source.Copy(dialog->sourceImage);
    const int passes = dialog->fullPasses;
    prompts.answers.push_back("");
    dialog->OnOpenPhoto();
    prompts.answers.push_back("");
    dialog->OnSavePhoto();
    Settle();
    EXPECT_TRUE(prompts.messages.empty());
    EXPECT_TRUE(SamePixels(source, dialog->sourceImage));
    EXPECT_EQ(dialog->fullPasses, passes);
    EXPECT_EQ(dialog->photoWidth, 64);
}

TEST_F(DialogTest, SaveWritesTheFullResolutionResultRightAfterARelease) {
    Show();
    Open(WritePhoto(Gradient(64, 48), "good.png"));
    Drag(dialog->brightnessSlider, {15, 30}, true);
    ASSERT_GT(dialog->brightnessSlider->GetPos(), 0);
    const std::string out = folder.filePath(QStringLiteral("out.jpg")).toStdString();
    prompts.answers.push_back(out);
    dialog->OnSavePhoto();
    const FileDialogRequest& request = prompts.requests.back();
    EXPECT_TRUE(request.save);
    EXPECT_TRUE(request.overwritePrompt);
    EXPECT_STREQ(request.defaultExtension, "jpg");
    EXPECT_STREQ(request.filter, "写真(*.jpg;*.jpeg)|*.jpg;*.jpeg||");
    EXPECT_TRUE(prompts.messages.empty());
    const QImage saved(QString::fromStdString(out), "JPEG");
    ASSERT_EQ(saved.size(), QSize(64, 48));
    EXPECT_LT(MeanDifference(saved, dialog->resultImage), 3.0);
    EXPECT_GT(MeanDifference(saved, dialog->sourceImage),
              MeanDifference(saved, dialog->resultImage));
}

TEST_F(DialogTest, SaveBringsAPendingChangeUpToDateFirst) {
    Show();
    Open(WritePhoto(Gradient(64, 48), "good.png"));
    dialog->hide();  // no paint runs the pipeline
    dialog->brightnessSlider->SetPos(25);
    dialog->OnHScroll(kScrollThumbPosition, 0, dialog->brightnessSlider);
    ASSERT_EQ(dialog->needsApply, 1);
    const std::string out = folder.filePath(QStringLiteral("pending.jpg")).toStdString();
    prompts.answers.push_back(out);
    dialog->OnSavePhoto();
    EXPECT_EQ(dialog->needsApply, 0);
    const QImage saved(QString::fromStdString(out), "JPEG");
    ASSERT_FALSE(saved.isNull());
    EXPECT_GT(MeanDifference(saved, dialog->sourceImage),
              MeanDifference(saved, dialog->resultImage));
}

TEST_F(DialogTest, FailedSaveReportsAndASecondSaveStillWritesThePicture) {
    Show();
    prompts.answers.push_back(folder.filePath(QStringLiteral("empty.jpg")).toStdString());
    dialog->OnSavePhoto();  // no photo yet
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_EQ(prompts.messages[0], kSaveFailed);

    Open(WritePhoto(Gradient(64, 48), "good.png"));
    CImgBuff result;
    result.Copy(dialog->resultImage);
    const QString blocker = folder.filePath(QStringLiteral("plain-file"));
    QFile file(blocker);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    prompts.answers.push_back((blocker + QStringLiteral("/x.jpg")).toStdString());
    dialog->OnSavePhoto();
    ASSERT_EQ(prompts.messages.size(), 2u);
    EXPECT_EQ(prompts.messages[1], kSaveFailed);
    EXPECT_TRUE(SamePixels(result, dialog->resultImage));

    const std::string out = folder.filePath(QStringLiteral("again.jpg")).toStdString();
    prompts.answers.push_back(out);
    dialog->OnSavePhoto();
    EXPECT_EQ(prompts.messages.size(), 2u);
    const QImage saved(QString::fromStdString(out), "JPEG");
    ASSERT_EQ(saved.size(), QSize(64, 48));
    EXPECT_LT(MeanDifference(saved, dialog->resultImage), 3.0);
}

TEST(ProxyDownscale, EachBlockTakesItsLastHueAndTheMeanSaturationAndValue) {
    CImgBuff source, proxy;
    ASSERT_EQ(source.buffer->Create(9, 6, PT_HSV16), 1);
    for (int32_t y = 0; y < 6; ++y) {
        for (int32_t x = 0; x < 9; ++x) {
            source.buffer->SetHSV16(x, y, 1000 * x + 7 * y, 3001 * x + 977 * y + 5,
                                    65535 - 1111 * x - 2003 * y);
        }
    }
    ASSERT_EQ(proxy.buffer->Create(2, 1, PT_HSV16), 1);
    ProxyDownscaleContext context{&source, &proxy, 2, 4};
    ProxyDownscaleTask(&context, 0, 1);
    for (int32_t px = 0; px < 2; ++px) {
        uint32_t sumS = 0, sumV = 0;
        for (int32_t y = 0; y < 4; ++y) {
            for (int32_t x = 4 * px; x < 4 * px + 4; ++x) {
                sumS += 3001 * x + 977 * y + 5;
                sumV += 65535 - 1111 * x - 2003 * y;
            }
        }
        uint16_t h, s, v;
        ASSERT_EQ(proxy.buffer->GetHSV16(px, 0, &h, &s, &v), 1);
        EXPECT_EQ(h, 1000 * (4 * px + 3) + 7 * 3);
        EXPECT_EQ(s, sumS / 16);
        EXPECT_EQ(v, sumV / 16);
    }
}

TEST_F(DialogTest, ProxyOfATinyPhotoIsEmptyAndDraggingShowsNoPicture) {
    Show();
    Open(WritePhoto(Pattern(64, 48), "good.png"));
    Open(WritePhoto(Pattern(3, 40), "narrow.png"));
    EXPECT_EQ(dialog->proxySource.GetData(nullptr, nullptr, nullptr), nullptr);
    dialog->vividnessSlider->SetPos(10);
    dialog->OnHScroll(kScrollThumbTrack, 0, dialog->vividnessSlider);
    Settle();
    EXPECT_EQ(dialog->displayDib, nullptr);
    dialog->OnHScroll(kScrollThumbPosition, 0, dialog->vividnessSlider);
    Settle();
    ASSERT_NE(dialog->displayDib, nullptr);
    EXPECT_EQ(dialog->displayDib->width, 3);
}

}  // namespace
