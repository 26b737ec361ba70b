// What a user of a photo tool reaches for beyond the sliders: undo, compare, histogram,
// shortcuts, drop and command line, the title, the unsaved-changes question, slider tooltips
// and the default layout.
#include <QFontMetrics>
#include <QLabel>
#include <QMimeData>
#include <QTimer>
#include <QToolTip>
#include <QUrl>

#include "app/LumivexApp.h"
#include "tests/app/window/DialogFixture.h"

namespace {

class WorkflowTest : public DialogTest {
  protected:
    void ShowActive() {
        Show();
        QApplication::setActiveWindow(dialog.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    }
    void Keys(const char* sequence) {
        QTest::keySequence(dialog.get(), QKeySequence(QString::fromUtf8(sequence)));
        Settle();
    }
    QRgb PreviewCentre() {
        const Rect& r = dialog->previewFrame->Geometry().imageRect;
        return dialog->previewFrame->grab().toImage().pixel((r.left + r.right) / 2,
                                                            (r.top + r.bottom) / 2);
    }
};

// Each step's thumbs, white-balance button and full result, walked back with Ctrl+Z and
// forward with both redo keys.
TEST_F(WorkflowTest, UndoAndRedoWalkThroughADragABandChangeASpotPickAndAReset) {
    ShowActive();
    OpenGradient();
    EXPECT_FALSE(Action("元に戻す(&U)")->isEnabled());
    struct Step {
        std::vector<int32_t> thumbs;
        bool spotOn;
        QImage picture;
    };
    std::vector<Step> steps;
    auto record = [&] {
        Settle();
        steps.push_back({Thumbs(), ButtonNamed("スポット")->isChecked(), Shown()});
    };
    record();
    Drag(dialog->brightnessSlider, {15, 30});
    Drop(dialog->brightnessSlider);
    record();
    QTest::mouseClick(dialog->bandButtons[2], Qt::LeftButton);
    Release(dialog->bandVividnessSlider, 25);
    record();
    Click("スポット");  // no spot picked yet: the picture stays
    record();
    const Rect& fit = dialog->previewFrame->Geometry().imageRect;
    QTest::mouseClick(dialog->previewFrame, Qt::LeftButton, Qt::NoModifier,
                      QPoint(fit.left + 10, (fit.top + fit.bottom) / 2));
    record();
    Click("リセット");
    record();
    for (size_t i : {1, 2, 4, 5}) ASSERT_NE(steps[i].picture, steps[i - 1].picture) << i;

    auto expectAt = [&](size_t i) {
        EXPECT_EQ(Thumbs(), steps[i].thumbs) << i;
        EXPECT_EQ(ButtonNamed("スポット")->isChecked(), steps[i].spotOn) << i;
        EXPECT_EQ(Shown(), steps[i].picture) << i;
    };
    for (size_t i = steps.size() - 1; i-- > 0;) {
        Keys("Ctrl+Z");
        expectAt(i);
    }
    Keys("Ctrl+Z");  // nothing more to undo
    expectAt(0);
    Keys("Ctrl+Shift+Z");
    expectAt(1);
    for (size_t i = 2; i < steps.size(); ++i) {
        Keys("Ctrl+Y");
        expectAt(i);
    }
    EXPECT_EQ(dialog->engine.selectedBand, 2);

    // A new photo starts a new history with the adjustments it finds.
    Release(dialog->brightnessSlider, 12);
    OpenGradient();
    EXPECT_FALSE(Action("元に戻す(&U)")->isEnabled());
    EXPECT_EQ(dialog->brightnessSlider->GetPos(), 12);
}

TEST_F(WorkflowTest, CompareShowsTheUncorrectedPhotoWhileHeldOrTickedAndComesBack) {
    Show();
    Open(WritePhoto(Solid(100, 60, qRgb(200, 40, 40)), "red.png"));
    Release(dialog->brightnessSlider, 30);
    const QRgb corrected = PreviewCentre();
    ASSERT_NE(corrected, qRgb(200, 40, 40));

    QTest::keyPress(dialog.get(), Qt::Key_Backslash);
    Settle();
    EXPECT_EQ(PreviewCentre(), qRgb(200, 40, 40));
    QTest::keyRelease(dialog.get(), Qt::Key_Backslash);
    Settle();
    EXPECT_EQ(PreviewCentre(), corrected);

    QAction* toggle = Action("補正前を表示(&B)");
    toggle->trigger();
    Settle();
    EXPECT_EQ(PreviewCentre(), qRgb(200, 40, 40));
    toggle->trigger();
    Settle();
    EXPECT_EQ(PreviewCentre(), corrected);
}

TEST_F(WorkflowTest, TheHistogramCountsThePictureShownAndDrawsOverItOnlyWhenTicked) {
    Show();
    OpenGradient();
    Release(dialog->vividnessSlider, 20);
    const QImage plain = dialog->previewFrame->grab().toImage();
    QAction* toggle = Action("ヒストグラム(&H)");
    toggle->trigger();
    Settle();
    const QImage withHistogram = dialog->previewFrame->grab().toImage();
    EXPECT_NE(withHistogram, plain);
    const Histogram& shown = dialog->previewFrame->ShownHistogram();

    // The photo's part of the frame's inside; its border covers the last column.
    const Rect& r = dialog->previewFrame->Geometry().imageRect;
    Histogram expected;
    for (int y = r.top; y <= std::min(r.bottom, plain.height() - 2); ++y) {
        for (int x = r.left; x <= std::min(r.right, plain.width() - 2); ++x) {
            const QRgb p = plain.pixel(x, y);
            ++expected.red[qRed(p)];
            ++expected.green[qGreen(p)];
            ++expected.blue[qBlue(p)];
            ++expected.luminance[(299 * qRed(p) + 587 * qGreen(p) + 114 * qBlue(p) + 500) / 1000];
        }
    }
    EXPECT_EQ(shown.red, expected.red);
    EXPECT_EQ(shown.green, expected.green);
    EXPECT_EQ(shown.blue, expected.blue);
    EXPECT_EQ(shown.luminance, expected.luminance);
    toggle->trigger();
    EXPECT_EQ(dialog->previewFrame->grab().toImage(), plain);
}

TEST_F(WorkflowTest, ShortcutsReachTheOpenSaveAndExitHandlers) {
    ShowActive();
    Keys("Ctrl+O");
    Keys("Ctrl+S");
    ASSERT_EQ(prompts.requests.size(), 2u);
    EXPECT_FALSE(prompts.requests[0].save);
    EXPECT_TRUE(prompts.requests[1].save);
    Keys("Ctrl+Q");
    EXPECT_FALSE(dialog->isVisible());
}

TEST_F(WorkflowTest, ADroppedFileOpensAndNamesTheWindow) {
    Show();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Lumivex"));
    auto drop = [&](const QString& path) {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(path)});
        QDragEnterEvent enter(QPoint(400, 300), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(dialog.get(), &enter);
        EXPECT_TRUE(enter.isAccepted());
        QDropEvent event(QPointF(400, 300), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(dialog.get(), &event);
        Settle();
    };
    drop(QString::fromStdString(WritePhoto(Gradient(30, 20), "写真 1.png")));
    EXPECT_EQ(dialog->photoWidth, 30);
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("写真 1.png - Lumivex"));
    drop(folder.filePath(QStringLiteral("missing.jpg")));
    EXPECT_EQ(prompts.messages, std::vector<std::string>{"ロードできませんでした"});
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("写真 1.png - Lumivex"));
}

// The program's own start: the photo named on the command line is open in the shown window.
TEST_F(WorkflowTest, APhotoOnTheCommandLineOpensAtStart) {
    const std::string path = WritePhoto(Gradient(30, 20), "start.png");
    QString title;
    QTimer::singleShot(300, [&] {
        QWidget* window = QApplication::activeModalWidget();
        ASSERT_NE(window, nullptr);
        title = window->windowTitle();
        window->close();
    });
    EXPECT_EQ(theApp.InitInstance(path.c_str()), 0);
    EXPECT_EQ(title, QStringLiteral("start.png - Lumivex"));
}

TEST_F(WorkflowTest, ChangedCorrectionsAreOfferedForSavingBeforeTheyAreSetAside) {
    Show();
    OpenGradient();
    EXPECT_TRUE(dialog->close());  // nothing changed
    EXPECT_EQ(prompts.saveQuestions, 0);

    Show();
    Release(dialog->brightnessSlider, 20);
    prompts.saveAnswer = SaveChangesAnswer::Cancel;
    EXPECT_FALSE(dialog->close());
    EXPECT_TRUE(dialog->isVisible());
    prompts.saveAnswer = SaveChangesAnswer::Discard;
    EXPECT_TRUE(dialog->close());
    EXPECT_EQ(prompts.saveQuestions, 2);

    Show();
    prompts.saveAnswer = SaveChangesAnswer::Save;
    const QString out = folder.filePath(QStringLiteral("kept.jpg"));
    prompts.answers.push_back(out.toStdString());
    EXPECT_TRUE(dialog->close());
    EXPECT_TRUE(QFile::exists(out));

    // Saved: no question until the next change, which opening another photo asks about too.
    Show();
    OpenGradient();
    EXPECT_EQ(prompts.saveQuestions, 3);
    Release(dialog->vividnessSlider, 5);
    prompts.saveAnswer = SaveChangesAnswer::Cancel;
    const int32_t before = dialog->photoWidth;
    Open(WritePhoto(Gradient(20, 20), "other.png"));
    EXPECT_EQ(prompts.saveQuestions, 4);
    EXPECT_EQ(dialog->photoWidth, before);
    EXPECT_EQ(prompts.answers.size(), 1u);  // the open dialog was never shown
    prompts.answers.clear();
}

TEST_F(WorkflowTest, ThumbsShowTheirValueAndADoubleClickReturnsToNeutralInOneStep) {
    ShowActive();
    OpenGradient();
    TrackBar* slider = dialog->addLightSlider;
    Release(slider, 30);
    EXPECT_EQ(slider->toolTip(), QStringLiteral("30"));
    Drag(slider, {12});
    EXPECT_EQ(QToolTip::text(), QString::number(slider->GetPos()));
    Drop(slider);
    const int32_t dragged = slider->GetPos();
    ASSERT_NE(dragged, 30);

    QTest::mouseDClick(slider, Qt::LeftButton, Qt::NoModifier, HandleRect(slider).center());
    Settle();
    EXPECT_EQ(slider->GetPos(), -1);
    EXPECT_EQ(dialog->engine.AdjustmentPosition(AdjustmentId::AddLight), -1);
    Keys("Ctrl+Z");
    EXPECT_EQ(slider->GetPos(), dragged);
    EXPECT_EQ(dialog->engine.AdjustmentPosition(AdjustmentId::AddLight), dragged);
}

// Every label's words fit its box in the dialog font and stop short of the preview; shrunk as
// far as it goes, the window still holds every control whole.
TEST_F(WorkflowTest, LabelsFitAtTheDefaultSizeAndTheSmallestWindowKeepsEveryControl) {
    Show();
    const int previewLeft = dialog->previewFrame->x();
    for (QLabel* label : dialog->client->findChildren<QLabel*>()) {
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width())
            << label->text().toStdString();
        EXPECT_LT(label->geometry().right(), previewLeft - 1) << label->text().toStdString();
    }
    dialog->resize(1, 1);
    Settle();
    EXPECT_EQ(dialog->size(), dialog->minimumSize());
    for (QWidget* control : dialog->client->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (control == dialog->previewFrame) continue;
        EXPECT_TRUE(dialog->client->rect().contains(control->geometry()));
    }
    EXPECT_GE(dialog->previewFrame->width(), 60);
}

}  // namespace
