#include <QContextMenuEvent>
#include <QFontInfo>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <QWheelEvent>

#include "adjust/Pipeline.h"
#include "tests/app/window/DialogFixture.h"

namespace {

const std::vector<int32_t> kNeutralThumbs = {0, 0, -1, -1, 0, 0, 0};

// Counts the pixels of a picture area that differ from a colour.
int Differing(const QImage& image, const QRect& area, QRgb colour) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) count += image.pixel(x, y) != colour;
    }
    return count;
}

TEST_F(DialogTest, StartsNeutralWithOffAndRedPressedAndAWhitePreview) {
    Show();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Lumivex"));
    EXPECT_EQ(QFontInfo(dialog->font()).family(), QStringLiteral("IPAGothic"));
    EXPECT_EQ(Thumbs(), kNeutralThumbs);
    EXPECT_TRUE(ButtonNamed("OFF")->isChecked());
    EXPECT_FALSE(ButtonNamed("自動")->isChecked() || ButtonNamed("スポット")->isChecked());
    const QList<QSize> iconSizes = dialog->appIcon.availableSizes();
    for (int side : {16, 24, 32}) EXPECT_TRUE(iconSizes.contains(QSize(side, side))) << side;

    // Buttons 1010..1015 show red, yellow, green, cyan, blue and magenta inside a 1-pixel frame.
    const QRgb swatches[] = {0xFF0000, 0xFFFF00, 0x00FF00, 0x00FFFF, 0x0000FF, 0xFF00FF};
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(dialog->bandButtons[k]->isChecked(), k == 0) << k;
        const QImage swatch = dialog->bandButtons[k]->icon().pixmap(70, 29).toImage();
        ASSERT_EQ(swatch.size(), QSize(70, 29));
        EXPECT_EQ(Differing(swatch, QRect(1, 1, 68, 27), 0xFF000000 | swatches[k]), 0) << k;
    }

    const QImage frame = dialog->previewFrame->grab().toImage();
    EXPECT_EQ(Differing(frame, frame.rect().adjusted(1, 1, -1, -1), qRgb(255, 255, 255)), 0);
    EXPECT_EQ(frame.pixel(0, 300), qRgb(0, 0, 0));
    EXPECT_FALSE(dialog->shownPreview);
}

TEST_F(DialogTest, TicksStandAtTheSetValuesUnderTheThumbCentre) {
    const std::vector<std::vector<int32_t>> expected = {
        {-45, 0, 45},     {-45, 0, 45}, {-1, 0, 50, 100}, {-1, 0, 50, 100},
        {-5000, 0, 5000}, {-40, 0, 40}, {-40, 0, 40}};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(Sliders()[i]->TickPositions(), expected[i]) << i;

    // Each tick is drawn where the thumb's centre stands at its value.
    TrackBar* bar = dialog->addLightSlider;
    const QImage picture = bar->grab().toImage();
    for (int32_t value : {-1, 50, 100, 25}) {
        bar->SetPos(value);
        const QPoint tick(HandleRect(bar).center().x(), HandleRect(bar).top() - 4);
        EXPECT_EQ(bar->TickX(value), tick.x()) << value;
        EXPECT_EQ(qGray(picture.pixel(tick)) < 128, value != 25) << value;
    }
}

TEST_F(DialogTest, MenuAndWindowMenuTexts) {
    auto* corner = qobject_cast<QMenuBar*>(dialog->menuBar->cornerWidget(Qt::TopRightCorner));
    ASSERT_TRUE(corner && corner->actions().size() == 1);
    EXPECT_EQ(corner->actions()[0]->text(), QStringLiteral("Lumivexについて(&H...)"));
    const QList<QAction*> items =
        corner->actions()[0]->menu()->actions() + dialog->systemMenu->actions();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0]->text(), QStringLiteral("バージョン情報(&V...)"));
    EXPECT_TRUE(items[1]->isSeparator());
    EXPECT_EQ(items[2]->text(), QStringLiteral("バージョン情報 Lumivex(&A)..."));
    // Both items open the version dialog; the window menu is offered as a context menu.
    QTimer poll;
    QString opened;
    poll.callOnTimeout([&] {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            menu->setActiveAction(items[2]);
            QTest::keyClick(menu, Qt::Key_Return);
        } else if (QWidget* about = QApplication::activeModalWidget()) {
            opened = about->windowTitle();
            about->close();
        }
    });
    poll.start(10);
    items[0]->trigger();
    EXPECT_EQ(opened, QStringLiteral("バージョン情報 Lumivex"));
    opened.clear();
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 5), QPoint(5, 5));
    QApplication::sendEvent(dialog.get(), &click);
    EXPECT_EQ(opened, QStringLiteral("バージョン情報 Lumivex"));
    poll.stop();
}

TEST_F(DialogTest, EnterAndEscDoNothingAndTheCloseBoxCloses) {
    Show();
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
    EXPECT_TRUE(dialog->close());
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
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
    // Page = a fifth of the range; Up moves toward the minimum, as on the native control.
    const std::pair<Qt::Key, int32_t> steps[] = {
        {Qt::Key_Right, 1},   {Qt::Key_PageDown, 19}, {Qt::Key_Up, 18},   {Qt::Key_End, 45},
        {Qt::Key_PageUp, 27}, {Qt::Key_Home, -45},    {Qt::Key_Home, -45}};
    for (auto [key, position] : steps) {
        QTest::keyClick(slider, key);
        Settle();
        EXPECT_EQ(slider->GetPos(), position) << key;
        EXPECT_EQ(vividness(), position) << key;
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

TEST_F(DialogTest, BandButtonsShowStoredValuesAndResetKeepsTheBand) {
    Show();
    OpenGradient();
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
    EXPECT_EQ(Shown(), neutral);
}

// A 100 x 60 photo whose 3 x 3 corner differs from the rest. A spot on the corner pixel must
// average exactly the 9 corner pixels, the 16 outside the photo left out, fitted and at 800 %,
// where the pick takes the pixel under the pointer and a drag pans instead of picking.
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
    Click("自動");
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
}

}  // namespace
