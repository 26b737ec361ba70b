// A main dialog with scripted prompts, the pictures it shows, and small photo files.
#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QMenuBar>
#include <QPushButton>
#include <QSettings>
#include <QStyleOptionSlider>
#include <QTemporaryDir>
#include <QTest>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app/LumivexDlgTesting.h"

// Where the style draws the thumb of a trackbar now.
inline QRect HandleRect(TrackBar* slider) {
    QStyleOptionSlider option;
    option.initFrom(slider);
    option.orientation = Qt::Horizontal;
    option.minimum = slider->minimum();
    option.maximum = slider->maximum();
    option.sliderPosition = slider->sliderPosition();
    option.tickPosition = slider->tickPosition();
    return slider->style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle,
                                           slider);
}

// Answers file dialogs from a queue (an empty string: the user cancels) and records messages.
class ScriptedPrompts : public UserPrompts {
  public:
    int RunFileDialog(QWidget*, const FileDialogRequest& request, std::string* path) override {
        requests.push_back(request);
        *path = answers.empty() ? "" : answers.front();
        if (!answers.empty()) answers.pop_front();
        if (request.jpegQuality) {
            offeredQualities.push_back(*request.jpegQuality);
            requests.back().jpegQuality = nullptr;  // the caller's, gone once it returns
            if (!path->empty() && qualityAnswer) *request.jpegQuality = qualityAnswer;
        }
        return !path->empty();
    }
    void ShowMessage(QWidget*, const char* text) override { messages.emplace_back(text); }
    SaveChangesAnswer AskToSaveChanges(QWidget*) override {
        ++saveQuestions;
        return saveAnswer;
    }
    // Answers with applyRequest; no photos: the user cancels.
    int ChooseApplyToMany(QWidget*, const FileDialogRequest&,
                          ApplyToManyRequest* request) override {
        *request = applyRequest;
        return !applyRequest.photos.empty();
    }

    bool AskToReplace(QWidget*, const char* question) override {
        replaceQuestions.emplace_back(question);
        return replaceAnswer;
    }

    std::deque<std::string> answers;
    std::vector<FileDialogRequest> requests;
    std::vector<int> offeredQualities;  // the JPEG quality each dialog that offered one showed
    int qualityAnswer = 0;              // chosen in those dialogs; 0 leaves the offered one
    std::vector<std::string> messages;
    SaveChangesAnswer saveAnswer = SaveChangesAnswer::Discard;
    int saveQuestions = 0;
    ApplyToManyRequest applyRequest;
    std::vector<std::string> replaceQuestions;
    bool replaceAnswer = false;
};

class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        QSettings(QStringLiteral("lumivex"), QStringLiteral("lumivex")).clear();
        dialog = std::make_unique<CLumivexDlgTesting>(&prompts);
    }

    void Show() {
        dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
        Settle();
    }
    // Shown and active, so that its shortcuts are live.
    void ShowActive() {
        Show();
        QApplication::setActiveWindow(dialog.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    }
    void Keys(const char* sequence) {
        QTest::keySequence(dialog.get(), QKeySequence(QString::fromUtf8(sequence)));
        Settle();
    }

    // Lets posted updates run, the renderer finish and its picture be shown and painted.
    void Settle() {
        QTest::qWait(10);
        for (int i = 0; i < 2000 && dialog->renderer->Busy(); ++i) QTest::qWait(5);
        QTest::qWait(10);
    }
    // The picture the preview shows now; null before the first one.
    QImage Shown() const { return dialog->shownPreview ? dialog->shownPreview->picture : QImage(); }

    QPushButton* ButtonNamed(const char* text) {
        for (QPushButton* button : dialog->client->findChildren<QPushButton*>()) {
            if (button->text() == QString::fromUtf8(text)) return button;
        }
        return nullptr;
    }
    void Click(const char* buttonText) {
        QTest::mouseClick(ButtonNamed(buttonText), Qt::LeftButton);
    }

    // Writes a lossless photo file and returns its path.
    std::string WritePhoto(const QImage& image, const char* name) {
        const QString path = folder.filePath(QString::fromUtf8(name));
        EXPECT_TRUE(image.save(path, "PNG"));
        return path.toStdString();
    }

    static QImage Solid(int width, int height, QRgb colour) {
        QImage image(width, height, QImage::Format_RGB32);
        image.fill(colour);
        return image;
    }

    // Gentle gradients, which survive JPEG compression almost unchanged.
    static QImage Gradient(int width, int height) {
        QImage image(width, height, QImage::Format_RGB32);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x)
                image.setPixel(x, y, qRgb(40 + x * 160 / width, 60 + y * 120 / height, 120));
        }
        return image;
    }

    void Open(const std::string& path) {
        prompts.answers.push_back(path);
        dialog->OnOpenPhoto();
        Settle();
    }
    void OpenGradient() { Open(WritePhoto(Gradient(64, 48), "photo.png")); }

    // Moves a thumb from the program and reports the release there, as a drag ending there does.
    void Release(TrackBar* slider, int32_t position) {
        slider->SetPos(position);
        dialog->OnHScroll(kScrollThumbPosition, slider);
        Settle();
    }

    // Drags the thumb by the given offsets in turn, letting each step paint; Drop releases it.
    void Drag(TrackBar* slider, const std::vector<int>& offsets) {
        const QPoint start = HandleRect(slider).center();
        QTest::mousePress(slider, Qt::LeftButton, Qt::NoModifier, start);
        for (int dx : offsets) {
            QTest::mouseMove(slider, start + QPoint(dx, 0));
            Settle();
        }
    }
    void Drop(TrackBar* slider) {
        QTest::mouseRelease(slider, Qt::LeftButton, Qt::NoModifier, HandleRect(slider).center());
        Settle();
    }

    // The seven thumbs' positions, whole-photo sliders first.
    std::vector<int32_t> Thumbs() const {
        std::vector<int32_t> positions;
        for (TrackBar* slider :
             {dialog->brightnessSlider, dialog->vividnessSlider, dialog->addLightSlider,
              dialog->suppressLightSlider, dialog->bandHueSlider, dialog->bandVividnessSlider,
              dialog->bandBrightnessSlider})
            positions.push_back(slider->GetPos());
        return positions;
    }

    QAction* Action(const char* text) const {
        for (QAction* action : dialog->menuBar->findChildren<QAction*>()) {
            if (action->text() == QString::fromUtf8(text)) return action;
        }
        ADD_FAILURE() << "no menu item " << text;
        return nullptr;
    }

    QTemporaryDir folder;
    ScriptedPrompts prompts;
    std::unique_ptr<CLumivexDlgTesting> dialog;
};
