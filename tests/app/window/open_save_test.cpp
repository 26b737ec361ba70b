#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>

#include "app/Resources.h"
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
    EXPECT_EQ(QSize(dialog->photoWidth, dialog->photoHeight), QSize(66, 50));
    const QImage neutral = Shown();
    EXPECT_FALSE(neutral.isNull());

    Release(dialog->vividnessSlider, 30);
    Open(WritePhoto(Gradient(40, 40), "second.png"));
    EXPECT_EQ(dialog->photoWidth, 40);
    EXPECT_EQ(dialog->vividnessSlider->GetPos(), 30);
    EXPECT_EQ(dialog->engine.AdjustmentPosition(AdjustmentId::Vividness), 30);
    EXPECT_NE(Shown(), neutral);

    // A photo too small for a proxy is dragged on itself.
    Open(WritePhoto(Gradient(3, 40), "narrow.png"));
    Drag(dialog->vividnessSlider, {-20});
    EXPECT_FALSE(Shown().isNull());
    Drop(dialog->vividnessSlider);
    EXPECT_TRUE(dialog->shownPreview->sharp);
}

TEST_F(DialogTest, FailedOrCancelledOpenKeepsThePreviousPhotoWhole) {
    Show();
    OpenGradient();
    Click("自動");
    Settle();
    const std::shared_ptr<const SourcePhoto> photo = dialog->engine.photo;
    const QImage pictureBefore = dialog->previewFrame->grab().toImage();

    const std::string broken = folder.filePath(QStringLiteral("broken.jpg")).toStdString();
    std::ofstream(broken) << "\xFF\xD8\xFF not really a photo";
    Open(broken);
    Open(folder.filePath("missing.jpg").toStdString());
    Open("");  // cancelled
    // Each says why, in the window's language.
    EXPECT_EQ(prompts.messages,
              (std::vector<std::string>{
                  std::string(kLoadFailed) + "\n\n読み込める形式の写真ではありません",
                  std::string(kLoadFailed) + "\n\nファイルがありません"}));
    // Every cause of every failure the window shows has Japanese words of its own.
    std::vector<std::string> texts;
    for (int cause = int(PhotoFailure::NoSuchFile); cause <= int(PhotoFailure::SystemError);
         ++cause)
        texts.push_back(PhotoFailureText(PhotoFailure(cause)));
    for (int kind = int(PhotoProblem::Kind::Load); kind <= int(PhotoProblem::Kind::OutputExists);
         ++kind) {
        PhotoProblem problem;
        problem.kind = PhotoProblem::Kind(kind);
        texts.push_back(ApplyFailureText(problem));
    }
    for (int failure = int(SettingsFailure::TooLarge); failure <= int(SettingsFailure::BadFlip);
         ++failure) {
        SettingsError error;
        error.failure = SettingsFailure(failure);
        texts.push_back(SettingsFailureText(error));
    }
    for (int lost = 0; lost <= int(MetadataLoss::Kind::ExifTooLarge); ++lost)
        texts.push_back(MetadataLossText(MetadataLoss::Kind(lost)));
    for (int problem = int(ColourProblem::PhotoProfileNotIcc);
         problem <= int(ColourProblem::NoConversion); ++problem)
        texts.push_back(ColourProblemText(ColourProblem(problem)));
    std::set<std::string> causes;
    for (const std::string& text : texts) {
        EXPECT_TRUE(std::any_of(text.begin(), text.end(), [](char c) { return c & 0x80; })) << text;
        EXPECT_TRUE(causes.insert(text).second) << text;
    }
    EXPECT_EQ(dialog->photoWidth, 64);
    EXPECT_EQ(dialog->engine.photo, photo);
    EXPECT_EQ(dialog->previewFrame->grab().toImage(), pictureBefore);
}

TEST_F(DialogTest, SaveWritesTheFullResultOfTheCurrentCorrectionsAndAFailedSaveLosesNothing) {
    Show();
    auto save = [&](const QString& path) {
        prompts.answers.push_back(path.toStdString());
        dialog->OnSavePhoto();
    };
    // What the save must write: the whole photo through the current plan.
    auto expected = [&] {
        auto result = std::make_unique<CImgBuff>();
        EXPECT_EQ(
            ApplyAdjustments(*dialog->engine.Plan(), *dialog->engine.photo, false, result->buffer),
            1);
        return result;
    };
    CImgBuff source;
    OpenGradient();
    source.buffer->Copy(dialog->engine.photo->Pixels());
    Drag(dialog->brightnessSlider, {15, 30});
    Drop(dialog->brightnessSlider);
    ASSERT_GT(dialog->brightnessSlider->GetPos(), 0);
    const QString out = folder.filePath(QStringLiteral("out.jpg"));
    save(out);
    EXPECT_LT(MeanDifference(out, *expected()), 3.0);
    EXPECT_GT(MeanDifference(out, source), 3.0);

    // A change the preview has not shown yet is saved too.
    dialog->hide();
    Release(dialog->brightnessSlider, -25);
    save(out);
    EXPECT_LT(MeanDifference(out, *expected()), 3.0);
    EXPECT_GT(MeanDifference(out, source), 3.0);
    EXPECT_TRUE(prompts.messages.empty());

    // A file in the way of the folder; the next try writes the same picture.
    const QString blocker = folder.filePath(QStringLiteral("plain-file"));
    std::ofstream(blocker.toStdString()) << "";
    save(blocker + QStringLiteral("/x.jpg"));
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_EQ(prompts.messages[0].rfind(kSaveFailed, 0), 0u) << prompts.messages[0];
    const QString again = folder.filePath(QStringLiteral("again.jpg"));
    save(again);
    save("");  // cancelled
    EXPECT_EQ(prompts.messages.size(), 1u);
    EXPECT_LT(MeanDifference(again, *expected()), 3.0);
}

// The saved photo carries the metadata of the photo open at the time (written by the exiv2 tool
// and read back by it), and nothing of a photo opened before.
TEST_F(DialogTest, SaveKeepsTheMetadataOfThePhotoOpen) {
    // Opens the photo, saves it as out and reads the saved camera make back with exiv2.
    auto savedMake = [&](const std::string& photo, const std::string& out) {
        Open(photo);
        const std::string path = folder.filePath(QString::fromStdString(out)).toStdString();
        prompts.answers.push_back(path);
        dialog->OnSavePhoto();
        const std::string command = "exiv2 -K Exif.Image.Make -Pv '" + path + "'";
        char text[64] = "";
        FILE* pipe = popen(command.c_str(), "r");
        const bool read = pipe && std::fgets(text, sizeof text, pipe);
        if (pipe) pclose(pipe);
        return read ? std::string(text) : std::string();
    };
    const std::string tagged = WritePhoto(Gradient(64, 48), "tagged.png");
    ASSERT_EQ(std::system(("exiv2 -M'set Exif.Image.Make Canon' '" + tagged + "'").c_str()), 0);
    EXPECT_EQ(savedMake(tagged, "first.jpg"), "Canon\n");
    EXPECT_TRUE(prompts.messages.empty());
    EXPECT_EQ(savedMake(WritePhoto(Gradient(64, 48), "plain.png"), "second.jpg"), "");
    EXPECT_TRUE(QFile::exists(folder.filePath(QStringLiteral("second.jpg"))));
    // A format that holds no metadata saves the photo and says, in Japanese, what it left out.
    savedMake(tagged, "third.bmp");
    EXPECT_EQ(prompts.messages, (std::vector<std::string>{
                                    "保存しましたが、次のものは含まれていません:\n"
                                    "メタデータとカラープロファイル (この形式には入りません)"}));
}

// Saving needs a photo. The save dialog is Qt's own, made from the save command's request: it
// starts beside the photo with a name made from it, shows the filter's text, adds jpg to a name
// typed without one and offers the JPEG quality (read back from the file by ImageMagick); the
// format and quality saved last are offered the next time. The open dialog's filter, made from
// the same table of formats, reads as it always has and then offers every format that loads.
TEST_F(DialogTest, TheSaveDialogStartsBesideThePhotoAndRemembersFormatAndQuality) {
    QPushButton* button = ButtonNamed("修正した写真を保存する");
    ASSERT_NE(button, nullptr);
    EXPECT_FALSE(button->isEnabled());
    dialog->OnOpenPhoto();
    EXPECT_EQ(std::string(prompts.requests.at(0).filter),
              "写真(*.jpg;*.jpeg;*.tif;*.tiff)|*.jpg;*.jpeg;*.tif;*.tiff|jpgファイル(*.jpg;*.jpeg)|"
              "*.jpg;*.jpeg|tiffファイル(*.tif;*.tiff)|*.tif;*.tiff|読み込めるすべての写真(*.jpg;*."
              "jpeg;*.png;*.bmp;*.tif;*.tiff;*.gif;*.webp)|*.jpg;*.jpeg;*.png;*.bmp;*.tif;*.tiff;*."
              "gif;*.webp||");
    prompts.requests.clear();
    dialog->OnSavePhoto();
    EXPECT_TRUE(prompts.requests.empty());

    OpenGradient();
    EXPECT_TRUE(button->isEnabled());
    prompts.requests.clear();
    auto save = [&](const char* name) {
        prompts.answers = {name[0] ? folder.filePath(QString::fromUtf8(name)).toStdString() : ""};
        dialog->OnSavePhoto();
        return prompts.requests.back();
    };
    const FileDialogRequest first = save("");
    EXPECT_EQ(first.folder, folder.path().toStdString());
    EXPECT_EQ(first.fileName, "photo_補正.jpg");
    const std::unique_ptr<QFileDialog> files = MakeFileDialog(nullptr, first);
    files->show();
    EXPECT_EQ(files->directory().absolutePath(), folder.path());
    EXPECT_EQ(files->nameFilters(), QStringList{"写真(*.jpg;*.jpeg) (*.jpg *.jpeg)"});
    // A name given without its extension gets it, and replacing a file asks first: No keeps the
    // dialog open, Yes takes the name.
    std::ofstream(folder.filePath(QStringLiteral("taken.jpg")).toStdString()) << "old";
    for (QMessageBox::StandardButton answer : {QMessageBox::No, QMessageBox::Yes}) {
        bool asked = false;
        QTimer::singleShot(0, [&] {
            auto* question = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            asked = question != nullptr;
            if (asked) question->button(answer)->click();
        });
        files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText("taken");
        QMetaObject::invokeMethod(files.get(), "accept");
        EXPECT_TRUE(asked);
        EXPECT_EQ(files->result() == QDialog::Accepted, answer == QMessageBox::Yes);
    }
    EXPECT_EQ(files->selectedFiles(), QStringList{folder.filePath("taken.jpg")});

    prompts.qualityAnswer = 40;
    save("out.png");
    EXPECT_EQ(save("quality.jpg").fileName, "photo_補正.png");
    EXPECT_EQ(prompts.offeredQualities, (std::vector<int>{75, 75, 40}));
    const std::string command = "identify -format %Q '" +
                                folder.filePath(QStringLiteral("quality.jpg")).toStdString() + "'";
    char text[16] = "";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    EXPECT_NE(std::fgets(text, sizeof text, pipe), nullptr);
    pclose(pipe);
    EXPECT_STREQ(text, "40");
}

// Page Down and Page Up, or Space and Backspace where no control wants them, step through the
// photos of the folder in name order, passing over a broken one and asking about unsaved
// changes; a focused slider keeps its page keys. The photos opened head the recent menu, and the
// open dialog starts in their folder.
TEST_F(DialogTest, StepsThroughTheFolderAndRemembersRecentPhotos) {
    ShowActive();
    const std::string first = WritePhoto(Gradient(64, 48), "a.png");
    std::ofstream(folder.filePath(QStringLiteral("b.jpg")).toStdString()) << "not a photo";
    const std::string last = WritePhoto(Solid(32, 16, qRgb(90, 120, 200)), "c.png");
    WritePhoto(Solid(8, 8, qRgb(0, 0, 0)), ".hidden.png");
    std::ofstream(folder.filePath(QStringLiteral("notes.txt")).toStdString()) << "text";
    QDir(folder.path()).mkdir(QStringLiteral("d.png"));
    Open(first);
    struct Step {
        const char* keys;
        int32_t width;    // of the photo shown after the step
        size_t messages;  // each a failed load
    };
    const Step steps[] = {
        {"PgDown", 64, 1},     // b.jpg cannot be read: a.png stays
        {"Space", 32, 1},      // on from b.jpg to c.png
        {"PgDown", 32, 1},     // the last photo: .hidden.png, d.png and notes.txt are none
        {"Backspace", 32, 2},  // back to b.jpg
        {"PgUp", 64, 2},
    };
    for (const Step& step : steps) {
        Keys(step.keys);
        EXPECT_EQ(dialog->photoWidth, step.width) << step.keys;
        EXPECT_EQ(prompts.messages.size(), step.messages) << step.keys;
        EXPECT_EQ(prompts.messages.back().rfind(kLoadFailed, 0), 0u);
    }
    Release(dialog->brightnessSlider, 20);
    prompts.saveAnswer = SaveChangesAnswer::Cancel;
    Keys("PgDown");
    EXPECT_EQ(prompts.saveQuestions, 1);
    EXPECT_EQ(dialog->photoWidth, 64);
    dialog->brightnessSlider->setFocus();
    QTest::keyClick(dialog->brightnessSlider, Qt::Key_PageDown);
    EXPECT_EQ(prompts.saveQuestions, 1);
    EXPECT_NE(dialog->brightnessSlider->GetPos(), 20);

    QStringList recent;
    for (QAction* action : dialog->recentMenu->actions()) recent << action->text();
    EXPECT_EQ(recent, (QStringList{"&1 " + QString::fromStdString(first),
                                   "&2 " + QString::fromStdString(last)}));
    prompts.saveAnswer = SaveChangesAnswer::Discard;
    prompts.answers = {""};
    dialog->OnOpenPhoto();
    EXPECT_EQ(prompts.requests.back().folder, folder.path().toStdString());
}

}  // namespace
