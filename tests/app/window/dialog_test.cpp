#include <QContextMenuEvent>
#include <QFontInfo>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <QWheelEvent>

#include "adjust/WhiteBalance.h"
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
    // 536 x 432 dialog units with base units 6 x 13; 222 x 13 / 8 = 360.75 rounds up.
    EXPECT_EQ(dialog->client->size(), QSize(804, 702));
    EXPECT_EQ(dialog->previewFrame->geometry(), QRect(264, 0, 540, 702));
    EXPECT_EQ(dialog->bandButtons[0]->geometry(), QRect(9, 361, 72, 49));
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
    EXPECT_EQ(dialog->proxyPasses + dialog->fullPasses, 0);
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

    // Left of it, each item with its shortcuts as the menu shows them.
    QStringList popups;
    for (QAction* popup : dialog->menuBar->actions()) {
        QStringList entries;
        for (QAction* item : popup->menu()->actions()) {
            QStringList keys;
            for (const QKeySequence& key : item->shortcuts()) keys << key.toString();
            entries << item->text() + (keys.isEmpty() ? QString() : " " + keys.join(" "));
        }
        popups << popup->text() + ": " + entries.join(", ");
    }
    EXPECT_EQ(
        popups,
        (QStringList{"ファイル(&F): 開く(&O)... Ctrl+O, 保存(&S)... Ctrl+S, 補正を書き出す(&E)..., "
                     "補正を読み込む(&I)..., 他の写真にも適用(&A)..., 終了(&X) Ctrl+Q",
                     "編集(&E): 元に戻す(&U) Ctrl+Z, やり直し(&R) Ctrl+Shift+Z Ctrl+Y, リセット",
                     "表示(&V): 補正前を表示(&B), ヒストグラム(&H)"}));
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
// picture never disagrees with the thumb; a key at the end of the range does nothing.
TEST_F(DialogTest, KeysClicksAndTheWheelApplyADragProcessesTheProxyAndItsReleaseTheFullPhoto) {
    Show();
    OpenGradient();
    dialog->proxyPasses = dialog->fullPasses = 0;
    TrackBar* slider = dialog->vividnessSlider;
    slider->setFocus();
    // Page = a fifth of the range; Up moves toward the minimum, as on the native control.
    const std::pair<Qt::Key, int32_t> steps[] = {
        {Qt::Key_Right, 1},   {Qt::Key_PageDown, 19}, {Qt::Key_Up, 18},   {Qt::Key_End, 45},
        {Qt::Key_PageUp, 27}, {Qt::Key_Home, -45},    {Qt::Key_Home, -45}};
    for (auto [key, position] : steps) {
        QTest::keyClick(slider, key);
        Settle();
        EXPECT_EQ(slider->GetPos(), position) << key;
        EXPECT_EQ(dialog->engine.vividnessCurve->position, position) << key;
    }
    EXPECT_EQ(dialog->fullPasses, 6);
    QTest::mouseClick(slider, Qt::LeftButton, Qt::NoModifier,
                      QPoint(slider->width() - 3, HandleRect(slider).center().y()));
    Settle();
    EXPECT_EQ(slider->GetPos(), -27);  // a click on the channel pages too
    QWheelEvent wheel(QPointF(20, 10), slider->mapToGlobal(QPointF(20, 10)), QPoint(),
                      QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(slider, &wheel);
    Settle();
    EXPECT_EQ(slider->GetPos(), -24);
    EXPECT_EQ(dialog->engine.vividnessCurve->position, -24);
    EXPECT_EQ(dialog->fullPasses, 8);
    EXPECT_EQ(dialog->proxyPasses, 0);

    // A drag processes the proxy for each new position and nothing for a repeated one.
    dialog->proxyPasses = dialog->fullPasses = 0;
    CImgBuff before;
    before.Copy(dialog->engine.resultImage);
    Drag(slider, {10, 20, 30});
    dialog->OnHScroll(kScrollThumbTrack, slider);
    Settle();
    EXPECT_EQ(dialog->proxyPasses, 3);
    EXPECT_EQ(dialog->fullPasses, 0);
    ASSERT_NE(dialog->displayDib, nullptr);
    EXPECT_EQ(dialog->displayDib->width, 16);
    EXPECT_TRUE(SamePixels(before, dialog->engine.resultImage));

    // Released where it last stood, which still rebuilds.
    Drop(slider);
    EXPECT_EQ(dialog->proxyPasses, 3);
    EXPECT_EQ(dialog->fullPasses, 1);
    EXPECT_EQ(dialog->engine.useProxy, 0);
    EXPECT_EQ(dialog->displayDib->width, 64);
    EXPECT_EQ(dialog->engine.vividnessCurve->position, slider->GetPos());
    EXPECT_FALSE(SamePixels(before, dialog->engine.resultImage));
}

TEST_F(DialogTest, BandButtonsShowStoredValuesWithoutRepaintingAndResetKeepsTheBand) {
    Show();
    OpenGradient();
    Release(dialog->bandHueSlider, 1200);
    Release(dialog->bandVividnessSlider, -15);
    Release(dialog->bandBrightnessSlider, 22);
    const int passes = dialog->proxyPasses + dialog->fullPasses;

    QTest::mouseClick(dialog->bandButtons[3], Qt::LeftButton);
    Settle();
    EXPECT_EQ(dialog->engine.selectedBand, 3);
    EXPECT_FALSE(dialog->bandButtons[0]->isChecked());
    EXPECT_EQ(Thumbs(), kNeutralThumbs);
    Release(dialog->bandVividnessSlider, 30);
    QTest::mouseClick(dialog->bandButtons[0], Qt::LeftButton);
    Settle();
    EXPECT_EQ(Thumbs(), (std::vector<int32_t>{0, 0, -1, -1, 1200, -15, 22}));
    EXPECT_EQ(dialog->engine.colorBandTable->bands[3].vividness, 30);
    EXPECT_EQ(dialog->proxyPasses + dialog->fullPasses, passes + 1);  // only band 3's release

    Release(dialog->brightnessSlider, 20);
    Click("自動");
    QTest::mouseClick(dialog->bandButtons[3], Qt::LeftButton);
    Settle();
    ColorCache* autoCache = dialog->engine.autoWbCache;
    EXPECT_NE(autoCache, nullptr);
    EXPECT_FALSE(SamePixels(dialog->engine.sourceImage, dialog->engine.resultImage));
    Click("リセット");
    Settle();
    EXPECT_EQ(Thumbs(), kNeutralThumbs);
    EXPECT_TRUE(ButtonNamed("OFF")->isChecked());
    EXPECT_EQ(dialog->engine.wbMode, WhiteBalanceMode::Off);
    EXPECT_TRUE(dialog->bandButtons[3]->isChecked());
    EXPECT_EQ(dialog->engine.selectedBand, 3);
    EXPECT_EQ(dialog->engine.autoWbCache, autoCache);
    EXPECT_TRUE(SamePixels(dialog->engine.sourceImage, dialog->engine.resultImage));
}

const WhiteBalanceShift& ShiftOf(const ColorCache* cache) {
    return *static_cast<const WhiteBalanceShift*>(cache->userData);
}

// A 100 x 60 photo whose 3 x 3 corner differs from the rest, fitted into the frame as
// 538 x 323 pixels at (2, 189): one photo pixel is 5.38 screen pixels wide. A spot on the
// corner pixel must average exactly the 9 corner pixels, the 16 outside the photo left out.
TEST_F(DialogTest, SpotClicksMapToPhotoPixelsAndAverageOnlyPixelsInsideThePhoto) {
    QImage photo = Solid(100, 60, qRgb(40, 90, 200));
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 3; ++x) photo.setPixel(x, y, qRgb(200, 150, 100));
    }
    Show();
    Open(WritePhoto(photo, "corner.png"));
    ASSERT_EQ(dialog->previewFrame->Geometry().imageRect, (Rect{2, 189, 539, 511}));
    auto clickAt = [&](int x, int y) {
        QTest::mouseClick(dialog->client, Qt::LeftButton, Qt::NoModifier, QPoint(x, y));
        Settle();
    };
    uint16_t r, g, b;
    dialog->engine.sourceImage.buffer->GetRGB16(0, 0, &r, &g, &b);
    ColorCache* corner = CreateWhiteBalanceCache(r / 65535.0, g / 65535.0, b / 65535.0);
    const WhiteBalanceShift expected = ShiftOf(corner);
    ColorCache_Destroy(corner);

    clickAt(264 + 2, 189);  // not in spot mode: ignored
    EXPECT_EQ(dialog->engine.spotWbCache, nullptr);
    Click("スポット");
    clickAt(264 + 2 - 6, 189);  // more than one photo pixel left of the photo
    EXPECT_EQ(dialog->engine.spotWbCache, nullptr);
    clickAt(264 + 2 - 1, 189);  // just left of the corner pixel: truncates to column 0
    ASSERT_NE(dialog->engine.spotWbCache, nullptr);
    EXPECT_EQ(ShiftOf(dialog->engine.spotWbCache).da, expected.da);
    EXPECT_EQ(ShiftOf(dialog->engine.spotWbCache).db, expected.db);
    EXPECT_EQ(dialog->engine.needsApply, 0);  // repainted with the new balance

    // A click in the middle replaces the balance; auto and back keeps the last one.
    clickAt(264 + 270, 350);
    ColorCache* last = dialog->engine.spotWbCache;
    ASSERT_NE(last, nullptr);
    EXPECT_NE(ShiftOf(last).da, expected.da);
    Click("自動");
    Click("スポット");
    EXPECT_EQ(dialog->engine.spotWbCache, last);
}

}  // namespace
