#include <QFile>
#include <QLineEdit>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "adjust/ColorCacheTesting.h"
#include "tests/app/window/DialogFixture.h"

namespace {

const char kLoadFailed[] = "ロードできませんでした";
const char kSaveFailed[] = "セーブできませんでした";

// Mean absolute difference per channel between a saved file and the image it was made from.
double MeanDifference(const QString& path, const CImgBuff& image) {
    const QImage file(path, "JPEG");
    EXPECT_EQ(file.size(), QSize(64, 48));
    double total = 0;
    for (int y = 0; y < file.height(); ++y) {
        for (int x = 0; x < file.width(); ++x) {
            uint8_t r, g, b;
            image.buffer->GetRGB8(x, y, &r, &g, &b);
            const QRgb p = file.pixel(x, y);
            total += std::abs(qRed(p) - r) + std::abs(qGreen(p) - g) + std::abs(qBlue(p) - b);
        }
    }
    return file.isNull() ? 1e9 : total / (3.0 * file.width() * file.height());
}

TEST_F(DialogTest, OpenShowsTheNewPhotoUnderTheCurrentSettings) {
    Show();
    Open(WritePhoto(Gradient(66, 50), "first.png"));
    EXPECT_TRUE(prompts.messages.empty());
    EXPECT_EQ(dialog->photoWidth, 66);
    EXPECT_EQ(dialog->photoHeight, 50);
    int32_t w = 0, h = 0;
    ASSERT_NE(dialog->engine.proxySource.GetData(&w, &h, nullptr), nullptr);
    EXPECT_EQ(QSize(w, h), QSize(16, 12));  // the last two columns and rows are dropped
    // Each proxy pixel: the hue of its 4 x 4 block's bottom-right pixel, the mean S and V.
    int wrong = 0;
    for (int32_t py = 0; py < h; ++py) {
        for (int32_t px = 0; px < w; ++px) {
            uint32_t sums[3] = {0, 0, 0};
            uint16_t hsv[3], proxy[3];
            for (int32_t i = 0; i < 16; ++i) {
                dialog->engine.sourceImage.buffer->GetHSV16(4 * px + i % 4, 4 * py + i / 4, &hsv[0],
                                                            &hsv[1], &hsv[2]);
                for (int c = 1; c < 3; ++c) sums[c] += hsv[c];
            }
            dialog->engine.proxySource.buffer->GetHSV16(px, py, &proxy[0], &proxy[1], &proxy[2]);
            wrong += proxy[0] != hsv[0] || proxy[1] != sums[1] / 16 || proxy[2] != sums[2] / 16;
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(dialog->fullPasses, 1);
    EXPECT_TRUE(SamePixels(dialog->engine.sourceImage, dialog->engine.resultImage));

    Release(dialog->vividnessSlider, 30);
    Open(WritePhoto(Gradient(40, 40), "second.png"));
    EXPECT_EQ(dialog->photoWidth, 40);
    EXPECT_EQ(dialog->vividnessSlider->GetPos(), 30);
    EXPECT_FALSE(SamePixels(dialog->engine.sourceImage, dialog->engine.resultImage));
    ASSERT_NE(dialog->displayDib, nullptr);
    EXPECT_EQ(dialog->displayDib->width, 40);

    // A photo too small for a proxy leaves none from the previous photo to drag on.
    Open(WritePhoto(Gradient(3, 40), "narrow.png"));
    EXPECT_EQ(dialog->engine.proxySource.GetData(nullptr, nullptr, nullptr), nullptr);
    dialog->vividnessSlider->SetPos(10);
    dialog->OnHScroll(kScrollThumbTrack, dialog->vividnessSlider);
    Settle();
    EXPECT_EQ(dialog->displayDib, nullptr);
    Release(dialog->vividnessSlider, 10);
    ASSERT_NE(dialog->displayDib, nullptr);
    EXPECT_EQ(dialog->displayDib->width, 3);
}

TEST_F(DialogTest, FailedOrCancelledOpenKeepsThePreviousPhotoWhole) {
    Show();
    OpenGradient();
    Click("自動");
    Settle();
    ColorCache* autoCache = dialog->engine.autoWbCache;
    ASSERT_NE(autoCache, nullptr);
    CImgBuff source, proxy, result;
    source.Copy(dialog->engine.sourceImage);
    proxy.Copy(dialog->engine.proxySource);
    result.Copy(dialog->engine.resultImage);
    const QImage pictureBefore = dialog->previewFrame->grab().toImage();
    const int passes = dialog->fullPasses;

    const std::string broken = folder.filePath(QStringLiteral("broken.jpg")).toStdString();
    std::ofstream(broken) << "\xFF\xD8\xFF not really a photo";
    Open(broken);
    Open(folder.filePath("missing.jpg").toStdString());
    Open("");  // cancelled
    EXPECT_EQ(prompts.messages, (std::vector<std::string>{kLoadFailed, kLoadFailed}));
    EXPECT_EQ(dialog->photoWidth, 64);
    EXPECT_TRUE(SamePixels(source, dialog->engine.sourceImage));
    EXPECT_TRUE(SamePixels(proxy, dialog->engine.proxySource));
    EXPECT_TRUE(SamePixels(result, dialog->engine.resultImage));
    EXPECT_EQ(dialog->engine.autoWbCache, autoCache);
    EXPECT_EQ(dialog->fullPasses, passes);
    dialog->engine.needsApply = 1;  // even a fresh pass shows the same picture
    EXPECT_EQ(dialog->previewFrame->grab().toImage(), pictureBefore);
}

TEST_F(DialogTest, SaveWritesTheUpToDateFullResultAndAFailedSaveLosesNothing) {
    Show();
    auto save = [&](const QString& path) {
        prompts.answers.push_back(path.toStdString());
        dialog->OnSavePhoto();
    };
    save(folder.filePath(QStringLiteral("empty.jpg")));  // no photo yet
    EXPECT_EQ(prompts.messages, std::vector<std::string>{kSaveFailed});

    OpenGradient();
    Drag(dialog->brightnessSlider, {15, 30});
    Drop(dialog->brightnessSlider);
    ASSERT_GT(dialog->brightnessSlider->GetPos(), 0);
    const QString out = folder.filePath(QStringLiteral("out.jpg"));
    save(out);
    EXPECT_LT(MeanDifference(out, dialog->engine.resultImage), 3.0);
    EXPECT_GT(MeanDifference(out, dialog->engine.sourceImage), 3.0);

    // A change that no paint has applied yet is applied before saving.
    dialog->hide();
    Release(dialog->brightnessSlider, -25);
    ASSERT_EQ(dialog->engine.needsApply, 1);
    save(out);
    EXPECT_EQ(dialog->engine.needsApply, 0);
    EXPECT_LT(MeanDifference(out, dialog->engine.resultImage), 3.0);
    EXPECT_GT(MeanDifference(out, dialog->engine.sourceImage), 3.0);
    EXPECT_EQ(prompts.messages.size(), 1u);

    // A file in the way of the folder: the result stays for the next try.
    CImgBuff result;
    result.Copy(dialog->engine.resultImage);
    const QString blocker = folder.filePath(QStringLiteral("plain-file"));
    std::ofstream(blocker.toStdString()) << "";
    save(blocker + QStringLiteral("/x.jpg"));
    EXPECT_EQ(prompts.messages, (std::vector<std::string>{kSaveFailed, kSaveFailed}));
    EXPECT_TRUE(SamePixels(result, dialog->engine.resultImage));
    const QString again = folder.filePath(QStringLiteral("again.jpg"));
    save(again);
    save("");  // cancelled
    EXPECT_EQ(prompts.messages.size(), 2u);
    EXPECT_LT(MeanDifference(again, result), 3.0);
}

// The saved photo carries the metadata of the photo open at the time (written by the exiv2 tool
// and read back by it), and nothing of a photo opened before.
TEST_F(DialogTest, SaveKeepsTheMetadataOfThePhotoOpen) {
    const auto make = [&](const QString& file) {
        std::string value;
        const std::string command = "exiv2 -K Exif.Image.Make -Pv '" + file.toStdString() + "'";
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char text[64] = "";
            value = std::fgets(text, sizeof text, pipe) ? text : "";
            pclose(pipe);
        }
        return value;
    };
    const std::string tagged = WritePhoto(Gradient(64, 48), "tagged.png");
    ASSERT_EQ(std::system(("exiv2 -M'set Exif.Image.Make Canon' '" + tagged + "'").c_str()), 0);
    Open(tagged);
    const QString first = folder.filePath(QStringLiteral("first.jpg"));
    prompts.answers.push_back(first.toStdString());
    dialog->OnSavePhoto();
    EXPECT_EQ(make(first), "Canon\n");

    Open(WritePhoto(Gradient(64, 48), "plain.png"));
    const QString second = folder.filePath(QStringLiteral("second.jpg"));
    prompts.answers.push_back(second.toStdString());
    dialog->OnSavePhoto();
    EXPECT_TRUE(QFile::exists(second));
    EXPECT_EQ(make(second), "");
}

// Qt's own file dialogs, made as the real prompts make them from the commands' requests. Qt's
// widget dialog matches the filters without regard to case (IMG_0001.JPG shows) and asks about
// an existing file after adding the default extension; the native one does neither.
TEST_F(DialogTest, FileDialogsAreQtsOwnWithTheFiltersAndAddJpg) {
    prompts.answers = {"", ""};
    dialog->OnOpenPhoto();
    dialog->OnSavePhoto();
    ASSERT_EQ(prompts.requests.size(), 2u);
    std::unique_ptr<QFileDialog> files[2];
    for (int i = 0; i < 2; ++i) {
        files[i] = MakeFileDialog(nullptr, prompts.requests[i]);
        files[i]->setDirectory(folder.path());
        files[i]->show();
        EXPECT_TRUE(files[i]->testOption(QFileDialog::DontUseNativeDialog));
        EXPECT_TRUE(files[i]->testOption(QFileDialog::HideNameFilterDetails));  // the texts show
    }
    EXPECT_EQ(files[0]->fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(files[0]->nameFilters(),
              (QStringList{"写真(*.jpg;*.jpeg;*.tif;*.tiff) (*.jpg *.jpeg *.tif *.tiff)",
                           "jpgファイル(*.jpg;*.jpeg) (*.jpg *.jpeg)",
                           "tiffファイル(*.tif;*.tiff) (*.tif *.tiff)"}));

    EXPECT_EQ(files[1]->nameFilters(), QStringList{"写真(*.jpg;*.jpeg) (*.jpg *.jpeg)"});
    EXPECT_FALSE(files[1]->testOption(QFileDialog::DontConfirmOverwrite));
    files[1]->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText("photo");
    QMetaObject::invokeMethod(files[1].get(), "accept");
    EXPECT_EQ(files[1]->result(), QDialog::Accepted);
    EXPECT_EQ(files[1]->selectedFiles(), QStringList{folder.filePath("photo.jpg")});
}

// A colour-cache block that cannot be allocated fails the whole pass. Opening then reports the
// load as failed and keeps the previous photo; the preview keeps its last good picture and
// tries again at the next paint; saving reports the save as failed before asking for a name.
TEST_F(DialogTest, APassThatRunsOutOfMemoryLosesNothingAndSaysSo) {
    // The photo's part of the preview (the frame leaves one column beside it to earlier paints).
    auto Shown = [&] {
        const Rect& r = dialog->previewFrame->Geometry().imageRect;
        return dialog->previewFrame->grab().toImage().copy(
            QRect(r.left, r.top, r.right - r.left + 1, r.bottom - r.top + 1));
    };
    Show();
    OpenGradient();
    Click("自動");
    Settle();
    CImgBuff source;
    source.Copy(dialog->engine.sourceImage);
    const QImage balanced = Shown();

    ColorCache_FailBlockAllocation(1);  // the new photo's balance needs fresh blocks
    Open(WritePhoto(Solid(40, 40, qRgb(90, 120, 200)), "second.png"));
    EXPECT_EQ(prompts.messages, std::vector<std::string>{kLoadFailed});
    EXPECT_EQ(dialog->photoWidth, 64);
    EXPECT_TRUE(SamePixels(source, dialog->engine.sourceImage));
    EXPECT_EQ(Shown(), balanced);

    Click("OFF");
    Settle();
    const QImage unbalanced = Shown();
    ASSERT_NE(unbalanced, balanced);
    dialog->engine.DropWhiteBalanceCaches();
    ColorCache_FailBlockAllocation(1);
    ButtonNamed("自動")->click();  // no paint in between
    EXPECT_EQ(Shown(), unbalanced);
    EXPECT_EQ(Shown(), balanced);  // tried again

    dialog->hide();
    dialog->engine.DropWhiteBalanceCaches();
    dialog->engine.needsApply = 1;
    ColorCache_FailBlockAllocation(1);
    prompts.answers.push_back(folder.filePath(QStringLiteral("never.jpg")).toStdString());
    const size_t asked = prompts.requests.size();
    dialog->OnSavePhoto();
    EXPECT_EQ(prompts.messages, (std::vector<std::string>{kLoadFailed, kSaveFailed}));
    EXPECT_EQ(prompts.requests.size(), asked);  // no name asked for
    EXPECT_FALSE(QFile::exists(folder.filePath(QStringLiteral("never.jpg"))));
    ColorCache_FailBlockAllocation(0);
    prompts.answers.clear();
}

}  // namespace
