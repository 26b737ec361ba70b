// The window's controls and the work around them: sliders, bands, spot picks, undo, histogram,
// shortcuts, drops, the command line and the unsaved-changes question.
#include <QMimeData>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QTimer>
#include <QUrl>
#include <QWheelEvent>

#include <set>

#include "adjust/Pipeline.h"
#include "app/LumivexApp.h"
#include "tests/app/window/DialogFixture.h"

namespace {

const std::vector<int32_t> kNeutralThumbs = {0, 0, -1, -1, 0, 0, 0};

// Neutral and white at start; Enter and Esc do nothing wherever the focus is, Ctrl+O and Ctrl+S
// reach the open and save dialogs, and Ctrl+Q closes.
TEST_F(DialogTest, StartsNeutralAndOnlyTheShortcutsActOnKeys) {
    ShowActive();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Lumivex"));
    EXPECT_EQ(Thumbs(), kNeutralThumbs);
    EXPECT_TRUE(ButtonNamed("OFF")->isChecked());
    EXPECT_FALSE(ButtonNamed("自動")->isChecked() || ButtonNamed("スポット")->isChecked());
    const QImage frame = dialog->previewFrame->grab().toImage();
    QImage white(frame.size() - QSize(2, 2), QImage::Format_RGB32);
    white.fill(Qt::white);
    EXPECT_EQ(frame.copy(1, 1, white.width(), white.height()).convertToFormat(QImage::Format_RGB32),
              white);
    EXPECT_EQ(frame.pixel(0, 300), qRgb(0, 0, 0));
    // Each slider carries its row's ticks, its ends always among them.
    const TrackBar* sliders[] = {dialog->brightnessSlider,    dialog->vividnessSlider,
                                 dialog->addLightSlider,      dialog->suppressLightSlider,
                                 dialog->bandHueSlider,       dialog->bandVividnessSlider,
                                 dialog->bandBrightnessSlider};
    for (const AdjustmentSpec& row : kAdjustments) {
        std::set<int32_t> ticks(row.ticks.begin(), row.ticks.begin() + row.tickCount);
        ticks.insert({row.minimum, row.maximum});
        EXPECT_EQ(sliders[int(row.id)]->TickPositions(),
                  std::vector<int32_t>(ticks.begin(), ticks.end()));
    }

    for (QWidget* target :
         {static_cast<QWidget*>(dialog->brightnessSlider),
          static_cast<QWidget*>(dialog->bandButtons[1]), static_cast<QWidget*>(dialog.get())}) {
        target->setFocus();
        for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter})
            QTest::keyClick(target, key);
        Settle();
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_TRUE(prompts.requests.empty());
        EXPECT_EQ(dialog->engine.selectedBand, 0);
    }
    Keys("Ctrl+S");  // no photo to save
    EXPECT_TRUE(prompts.requests.empty());
    prompts.answers = {WritePhoto(Gradient(64, 48), "photo.png")};
    Keys("Ctrl+O");
    Keys("Ctrl+S");
    ASSERT_EQ(prompts.requests.size(), 2u);
    EXPECT_FALSE(prompts.requests[0].save);
    EXPECT_TRUE(prompts.requests[1].save);
    Keys("Ctrl+Q");
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
}

// The window shrinks to at most 560 pixels high, as a laptop screen at 1.5 times needs: the
// controls then scroll beside the preview, and each can be brought into view whole.
TEST_F(DialogTest, AtItsSmallestTheControlsScrollBesideThePreview) {
    Show();
    EXPECT_LE(dialog->minimumHeight(), 560);
    dialog->resize(dialog->minimumSize());
    Settle();
    QScrollArea* scroll = dialog->controlsScroll;
    EXPECT_LE(scroll->geometry().right(), dialog->previewFrame->geometry().left());
    EXPECT_GT(dialog->previewFrame->width(), 60);
    const QList<QWidget*> controls =
        scroll->widget()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    // Every control is in the column: the client area holds only it and the preview.
    EXPECT_EQ(dialog->client->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly).size(),
              2);
    EXPECT_TRUE(controls.contains(dialog->brightnessSlider));
    for (QWidget* control : controls) {
        scroll->verticalScrollBar()->setValue(control->y());  // its top at the top, or the end
        const QRect shown(control->mapTo(scroll->viewport(), QPoint(0, 0)), control->size());
        EXPECT_TRUE(scroll->viewport()->rect().contains(shown))
            << control->metaObject()->className();
    }
}

// Keys, channel clicks and the wheel apply their position at once, as a release does, so the
// picture never disagrees with the thumb; a key at the end of the range does nothing. A drag
// shows the proxy, its release the photo itself.
TEST_F(DialogTest, KeysClicksAndTheWheelApplyADragShowsTheProxyAndItsReleaseTheFullPhoto) {
    Show();
    OpenGradient();
    TrackBar* slider = dialog->vividnessSlider;
    slider->setFocus();
    auto vividness = [&] { return dialog->engine.AdjustmentPosition(AdjustmentId::Vividness); };
    // Page = a fifth of the range; Up and Page Up raise, as Linux sliders do.
    const std::pair<Qt::Key, int32_t> steps[] = {
        {Qt::Key_Right, 1},   {Qt::Key_PageDown, -17}, {Qt::Key_Up, -16},  {Qt::Key_End, 45},
        {Qt::Key_PageUp, 45}, {Qt::Key_Home, -45},     {Qt::Key_Home, -45}};
    QSpinBox* number = dialog->numberBoxes[static_cast<int>(AdjustmentId::Vividness)];
    for (auto [key, position] : steps) {
        QTest::keyClick(slider, key);
        Settle();
        EXPECT_EQ(slider->GetPos(), position) << key;
        EXPECT_EQ(vividness(), position) << key;
        EXPECT_EQ(number->value(), position) << key;
        EXPECT_TRUE(dialog->shownPreview->sharp) << key;
    }
    QTest::mouseClick(slider, Qt::LeftButton, Qt::NoModifier,
                      QPoint(slider->width() - 3, HandleRect(slider).center().y()));
    Settle();
    EXPECT_EQ(slider->GetPos(), -27);  // a click on the channel pages too
    QWheelEvent wheel(QPointF(20, 10), slider->mapToGlobal(QPointF(20, 10)), QPoint(),
                      QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(slider, &wheel);
    Settle();
    EXPECT_EQ(slider->GetPos(), -24);
    EXPECT_EQ(vividness(), -24);
    // A number typed beside the slider moves it and applies, as a release does.
    number->setFocus();
    number->selectAll();
    QTest::keyClicks(number, "12");
    QTest::keyClick(number, Qt::Key_Return);
    Settle();
    EXPECT_EQ(slider->GetPos(), 12);
    EXPECT_EQ(vividness(), 12);
    EXPECT_TRUE(dialog->shownPreview->sharp);

    const QImage before = Shown();
    Drag(slider, {10, 20, 30});
    EXPECT_FALSE(dialog->shownPreview->sharp);
    EXPECT_EQ(dialog->engine.useProxy, 1);
    const QImage dragged = Shown();
    EXPECT_NE(dragged, before);
    // Released where it last stood, which still renders the photo itself.
    Drop(slider);
    EXPECT_EQ(dialog->engine.useProxy, 0);
    EXPECT_TRUE(dialog->shownPreview->sharp);
    EXPECT_EQ(vividness(), slider->GetPos());
    EXPECT_NE(Shown(), before);
}

// Reset keeps the turn too.
TEST_F(DialogTest, BandButtonsShowStoredValuesAndResetKeepsTheBand) {
    Show();
    OpenGradient();
    Action("右に90度回転(&R)")->trigger();
    Settle();
    const QImage neutral = Shown();
    Release(dialog->bandHueSlider, 1200);
    Release(dialog->bandVividnessSlider, -15);
    Release(dialog->bandBrightnessSlider, 22);

    QTest::mouseClick(dialog->bandButtons[3], Qt::LeftButton);
    Settle();
    EXPECT_EQ(dialog->engine.selectedBand, 3);
    EXPECT_FALSE(dialog->bandButtons[0]->isChecked());
    EXPECT_EQ(Thumbs(), kNeutralThumbs);
    Release(dialog->bandVividnessSlider, 30);
    QTest::mouseClick(dialog->bandButtons[0], Qt::LeftButton);
    Settle();
    EXPECT_EQ(Thumbs(), (std::vector<int32_t>{0, 0, -1, -1, 1200, -15, 22}));
    EXPECT_EQ(dialog->engine.Corrections().Position(AdjustmentId::BandVividness, 3), 30);

    Release(dialog->brightnessSlider, 20);
    Click("自動");
    QTest::mouseClick(dialog->bandButtons[3], Qt::LeftButton);
    Settle();
    EXPECT_NE(Shown(), neutral);
    Click("リセット");
    Settle();
    EXPECT_EQ(Thumbs(), kNeutralThumbs);
    EXPECT_TRUE(ButtonNamed("OFF")->isChecked());
    EXPECT_EQ(dialog->engine.Corrections().wbMode, WhiteBalanceMode::Off);
    EXPECT_TRUE(dialog->bandButtons[3]->isChecked());
    EXPECT_EQ(dialog->engine.selectedBand, 3);
    EXPECT_EQ(dialog->engine.Corrections().turn, kTurnRight);
    EXPECT_EQ(Shown(), neutral);
}

// A 100 x 60 photo whose 3 x 3 corner differs from the rest. A spot on the corner pixel must
// average exactly the 9 corner pixels, the 16 outside the photo left out, fitted and at 800 %,
// where the pick takes the pixel under the pointer and a drag pans instead of picking, and on the
// photo turned.
TEST_F(DialogTest, SpotClicksMapToPhotoPixelsAtEveryZoomAndAverageOnlyPixelsInsideThePhoto) {
    QImage photo = Solid(100, 60, qRgb(40, 90, 200));
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 3; ++x) photo.setPixel(x, y, qRgb(200, 150, 100));
    }
    Show();
    Open(WritePhoto(photo, "corner.png"));
    CPreviewFrame* frame = dialog->previewFrame;
    auto clickAt = [&](QPointF at) {
        QTest::mouseClick(frame, Qt::LeftButton, Qt::NoModifier, at.toPoint());
        Settle();
    };
    auto spot = [&] { return dialog->engine.Corrections().spotGreyPoint; };
    const GreyPoint corner = *SpotGreyPointAt(dialog->engine.photo->Pixels(), 0, 0);
    const Rect& fit = frame->Geometry().imageRect;
    const double scale = frame->ShownZoom();

    clickAt(QPointF(fit.left, fit.top));  // not in spot mode: ignored
    EXPECT_FALSE(spot());
    Click("スポット");
    clickAt(QPointF(fit.left - scale - 1, fit.top));  // more than a photo pixel left of it
    EXPECT_FALSE(spot());
    clickAt(QPointF(fit.left - 1, fit.top));  // just left of the corner pixel: column 0
    ASSERT_TRUE(spot());
    EXPECT_EQ(*spot(), corner);
    clickAt(QPointF(fit.left + 50 * scale, fit.top + 30 * scale));
    const GreyPoint middle = *spot();
    EXPECT_NE(middle, corner);
    // Spot mode shows the eyedropper and rings the picked pixel, on the frame as painted.
    const QPointF mark = frame->PhotoToFrame(Point{50, 30}, 100, 60);
    auto ringed = [&] {
        const QImage painted = frame->grab().toImage();
        return painted.pixel((mark + QPointF(6, 0)).toPoint()) !=
               painted.pixel((mark + QPointF(14, 0)).toPoint());
    };
    EXPECT_EQ(frame->cursor().shape(), Qt::BitmapCursor);
    EXPECT_TRUE(ringed());
    Click("自動");
    EXPECT_EQ(frame->cursor().shape(), Qt::ArrowCursor);
    EXPECT_FALSE(ringed());
    Click("スポット");
    EXPECT_EQ(*spot(), middle);

    // At 800 % a click picks the pixel under the pointer, which the view's origin places.
    frame->SetZoom(8);
    frame->PanBy(QPointF(1e5, 1e5));  // to the photo's top-left corner
    Settle();
    const QPointF origin = frame->ViewOrigin();
    const QPointF onCorner = (QPointF(1.5, 1.5) - origin) * 8;
    clickAt(onCorner);
    EXPECT_EQ(*spot(), (*SpotGreyPointAt(dialog->engine.photo->Pixels(), 1, 1)));
    // A drag pans and leaves the pick alone.
    const GreyPoint picked = *spot();
    QTest::mousePress(frame, Qt::LeftButton, Qt::NoModifier, QPoint(200, 200));
    QTest::mouseMove(frame, QPoint(240, 200));
    QTest::mouseRelease(frame, Qt::LeftButton, Qt::NoModifier, QPoint(240, 200));
    Settle();
    EXPECT_EQ(*spot(), picked);

    // Turned and mirrored, the corner stands elsewhere, and a click there picks it.
    frame->SetZoom(0);
    for (const auto& [command, x, y] : {std::tuple("右に90度回転(&R)", 59, 0),
                                        {"右に90度回転(&R)", 99, 59},
                                        {"左右反転(&F)", 0, 59}}) {
        Action(command)->trigger();
        clickAt(QPointF(fit.left + 20 * frame->ShownZoom(), fit.top + 20 * frame->ShownZoom()));
        ASSERT_NE(*spot(), corner);
        clickAt(QPointF(fit.left + (x + 0.5) * frame->ShownZoom(),
                        fit.top + (y + 0.5) * frame->ShownZoom()));
        EXPECT_EQ(*spot(), corner) << command;
    }
}

// Each step's thumbs, white-balance button and full result, walked back with Ctrl+Z and
// forward with both redo keys; a quarter turn (Ctrl+R) and a mirror are steps too.
TEST_F(DialogTest, UndoAndRedoWalkThroughADragABandChangeASpotPickAndAReset) {
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
    Keys("Ctrl+R");
    record();
    Action("左右反転(&F)")->trigger();
    record();
    for (size_t i : {1, 2, 4, 5, 6, 7}) ASSERT_NE(steps[i].picture, steps[i - 1].picture) << i;

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

    // A new photo starts a new history with the adjustments it finds, turned as they say.
    Release(dialog->brightnessSlider, 12);
    OpenGradient();
    EXPECT_FALSE(Action("元に戻す(&U)")->isEnabled());
    EXPECT_EQ(dialog->brightnessSlider->GetPos(), 12);
    EXPECT_EQ(QSize(dialog->photoWidth, dialog->photoHeight), QSize(48, 64));
}

TEST_F(DialogTest, TheHistogramCountsThePictureShownAndDrawsOnlyWhenTickedBesideAPortraitPhoto) {
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

    // Beside a portrait photo, or below it in a narrow window, it stays in the white band.
    Open(WritePhoto(Gradient(48, 64), "portrait.png"));
    for (const QSize size : {dialog->size(), QSize(1200, 600)}) {
        dialog->resize(size);
        Settle();
        const QImage portrait = dialog->previewFrame->grab().toImage();
        toggle->trigger();
        Settle();
        const QImage drawn = dialog->previewFrame->grab().toImage();
        toggle->trigger();
        EXPECT_NE(drawn, portrait);
        const QRect photo(QPoint(r.left, r.top), QPoint(r.right, r.bottom));
        EXPECT_EQ(drawn.copy(photo), portrait.copy(photo)) << size.width();
    }
}

TEST_F(DialogTest, ADroppedFileOpensAndNamesTheWindow) {
    Show();
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
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("写真 1.png - Lumivex"));
    drop(folder.filePath(QStringLiteral("missing.jpg")));
    EXPECT_EQ(prompts.messages,
              std::vector<std::string>{"ロードできませんでした\n\nファイルがありません"});
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("写真 1.png - Lumivex"));
}

// The program's own start: the photo named on the command line is open in the shown window.
TEST_F(DialogTest, APhotoOnTheCommandLineOpensAtStart) {
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

TEST_F(DialogTest, ChangedCorrectionsAreOfferedForSavingBeforeTheyAreSetAside) {
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

TEST_F(DialogTest, ADoubleClickReturnsAThumbToNeutralInOneStep) {
    ShowActive();
    OpenGradient();
    TrackBar* slider = dialog->addLightSlider;
    Release(slider, 30);
    Drag(slider, {12});
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

}  // namespace
