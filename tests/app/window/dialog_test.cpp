#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>

#include "adjust/WhiteBalance.h"
#include "app/Resources.h"
#include "tests/app/window/DialogFixture.h"

namespace {

std::vector<int32_t> Thumbs(const CLumivexDlg& d) {
    return {d.brightnessSlider->GetPos(),    d.vividnessSlider->GetPos(),
            d.addLightSlider->GetPos(),      d.suppressLightSlider->GetPos(),
            d.bandHueSlider->GetPos(),       d.bandVividnessSlider->GetPos(),
            d.bandBrightnessSlider->GetPos()};
}

const std::vector<int32_t> kNeutralThumbs = {0, 0, -1, -1, 0, 0, 0};

QPushButton* Button(CLumivexDlg& d, int32_t id) {
    for (QPushButton* button : d.ClientArea()->findChildren<QPushButton*>()) {
        for (QButtonGroup* group : d.ClientArea()->findChildren<QButtonGroup*>()) {
            if (group->button(id) == button) return button;
        }
        if (button->text() == QStringLiteral("写真を選ぶ") && id == kIdOpenPhoto) return button;
        if (button->text() == QStringLiteral("リセット") && id == kIdReset) return button;
    }
    return nullptr;
}

TEST_F(DialogTest, StartsNeutralWithOffAndRedPressedAndAWhitePreview) {
    Show();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Lumivex"));
    EXPECT_EQ(dialog->ClientArea()->size(), QSize(792, 702));
    EXPECT_EQ(dialog->previewFrame->geometry(), QRect(252, 0, 540, 702));
    EXPECT_EQ(Thumbs(*dialog), kNeutralThumbs);
    EXPECT_TRUE(Button(*dialog, kIdWbOff)->isChecked());
    EXPECT_FALSE(Button(*dialog, kIdWbAuto)->isChecked());
    EXPECT_FALSE(Button(*dialog, kIdWbSpot)->isChecked());
    for (int k = 0; k < 6; ++k) EXPECT_EQ(dialog->bandButtons[k]->isChecked(), k == 0) << k;
    EXPECT_EQ(dialog->wbRadio, 0);
    EXPECT_EQ(dialog->selectedBand, 0);
    EXPECT_EQ(dialog->photoWidth, 0);

    const QImage frame = dialog->previewFrame->grab().toImage();
    int notWhite = 0;
    for (int y = 1; y < frame.height() - 1; ++y) {
        for (int x = 1; x < frame.width() - 1; ++x)
            notWhite += frame.pixel(x, y) != qRgb(255, 255, 255);
    }
    EXPECT_EQ(notWhite, 0);
    EXPECT_EQ(frame.pixel(0, 300), qRgb(0, 0, 0));
    EXPECT_EQ(frame.pixel(539, 300), qRgb(0, 0, 0));
    EXPECT_EQ(dialog->proxyPasses + dialog->fullPasses, 0);
}

// Closes the version dialog when it comes up and counts it.
void CloseAboutBox(int* shown) {
    QTimer::singleShot(0, [shown] {
        (void)QTest::qWaitFor([] { return QApplication::activeModalWidget() != nullptr; }, 5000);
        QWidget* box = QApplication::activeModalWidget();
        if (!box || box->windowTitle() != QStringLiteral("バージョン情報 Lumivex")) return;
        ++*shown;
        for (QPushButton* button : box->findChildren<QPushButton*>()) {
            if (button->text() == QStringLiteral("OK")) button->click();
        }
    });
}

TEST_F(DialogTest, BothVersionItemsShowTheVersionDialog) {
    Show();
    int shown = 0;
    CloseAboutBox(&shown);
    // The menu bar's right-justified popup.
    auto* corner = qobject_cast<QMenuBar*>(dialog->MenuBar()->cornerWidget(Qt::TopRightCorner));
    ASSERT_NE(corner, nullptr);
    ASSERT_EQ(corner->actions().size(), 1);
    EXPECT_EQ(corner->actions()[0]->text(), QStringLiteral("Lumivexについて(&H...)"));
    QAction* item = corner->actions()[0]->menu()->actions().value(0);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->text(), QStringLiteral("バージョン情報(&V...)"));
    item->trigger();
    EXPECT_EQ(shown, 1);

    // The window menu's item, offered as a context menu.
    const QList<QAction*> windowItems = dialog->WindowMenu()->actions();
    ASSERT_EQ(windowItems.size(), 2);
    EXPECT_TRUE(windowItems[0]->isSeparator());
    EXPECT_EQ(windowItems[1]->text(), QStringLiteral("バージョン情報 Lumivex(&A)..."));
    CloseAboutBox(&shown);
    dialog->OnSysCommand(windowItems[1]->data().toInt() | 0x3);  // low four bits masked off
    EXPECT_EQ(shown, 2);
    dialog->OnSysCommand(0xF120);  // other window commands show nothing
    EXPECT_EQ(shown, 2);
    EXPECT_TRUE(dialog->isVisible());
}

TEST_F(DialogTest, EnterAndEscDoNothingAndTheCloseBoxCloses) {
    Show();
    for (QWidget* target :
         {static_cast<QWidget*>(dialog->brightnessSlider), static_cast<QWidget*>(dialog.get())}) {
        target->setFocus();
        QTest::keyClick(target, Qt::Key_Escape);
        QTest::keyClick(target, Qt::Key_Return);
        QTest::keyClick(target, Qt::Key_Enter);
        Settle();
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_TRUE(prompts.requests.empty());
    }
    EXPECT_TRUE(dialog->close());
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
}

TEST_F(DialogTest, DragProcessesOnlyTheProxyAndReleaseTheFullPhotoOnce) {
    Show();
    Open(WritePhoto(Pattern(64, 48), "pattern.png"));
    ASSERT_EQ(dialog->photoWidth, 64);
    dialog->proxyPasses = dialog->fullPasses = 0;
    CImgBuff before;
    before.Copy(dialog->resultImage);

    Drag(dialog->vividnessSlider, {10, 20, 30}, false);
    EXPECT_EQ(dialog->proxyPasses, 3);
    EXPECT_EQ(dialog->fullPasses, 0);
    EXPECT_EQ(dialog->useProxy, 1);
    ASSERT_NE(dialog->displayDib, nullptr);
    EXPECT_EQ(dialog->displayDib->width, 16);
    EXPECT_TRUE(SamePixels(before, dialog->resultImage));  // the full result waits
    EXPECT_FALSE(SamePixels(dialog->proxySource, dialog->proxyResult));

    QTest::mouseRelease(dialog->vividnessSlider, Qt::LeftButton, Qt::NoModifier,
                        HandleRect(dialog->vividnessSlider).center());
    Settle();
    EXPECT_EQ(dialog->proxyPasses, 3);
    EXPECT_EQ(dialog->fullPasses, 1);
    EXPECT_EQ(dialog->useProxy, 0);
    EXPECT_EQ(dialog->needsApply, 0);
    EXPECT_EQ(dialog->displayDib->width, 64);
    EXPECT_EQ(dialog->vividnessCurve->position, dialog->vividnessSlider->GetPos());
    EXPECT_GT(dialog->vividnessSlider->GetPos(), 0);
    EXPECT_FALSE(SamePixels(before, dialog->resultImage));
}

TEST_F(DialogTest, RepeatedDragPositionsDoNotRebuildButAReleaseAlwaysDoes) {
    Show();
    Open(WritePhoto(Pattern(64, 48), "pattern.png"));
    TrackBar* slider = dialog->brightnessSlider;
    slider->SetPos(12);
    dialog->OnHScroll(kScrollThumbTrack, 0, slider);
    Settle();
    EXPECT_EQ(dialog->proxyPasses, 1);
    dialog->OnHScroll(kScrollThumbTrack, 0, slider);
    EXPECT_EQ(dialog->needsApply, 0);
    Settle();
    EXPECT_EQ(dialog->proxyPasses, 1);
    const int fullBefore = dialog->fullPasses;
    dialog->OnHScroll(kScrollThumbPosition, 0, slider);  // released where it already was
    EXPECT_EQ(dialog->needsApply, 1);
    Settle();
    EXPECT_EQ(dialog->fullPasses, fullBefore + 1);
}

TEST_F(DialogTest, KeysAndChannelClicksMoveTheThumbButLeaveThePicture) {
    Show();
    Open(WritePhoto(Pattern(64, 48), "pattern.png"));
    dialog->proxyPasses = dialog->fullPasses = 0;
    TrackBar* slider = dialog->brightnessSlider;
    slider->setFocus();
    QTest::keyClick(slider, Qt::Key_Right);
    QTest::keyClick(slider, Qt::Key_PageDown);
    QTest::keyClick(slider, Qt::Key_Up);
    QTest::mouseClick(slider, Qt::LeftButton, Qt::NoModifier,
                      QPoint(slider->width() - 3, HandleRect(slider).center().y()));
    Settle();
    EXPECT_GT(slider->GetPos(), 0);
    EXPECT_EQ(dialog->brightnessCurve->position, 0);
    EXPECT_EQ(dialog->needsApply, 0);
    EXPECT_EQ(dialog->proxyPasses + dialog->fullPasses, 0);

    // The next drag applies wherever the thumb then stands.
    Drag(slider, {-6}, true);
    EXPECT_EQ(dialog->brightnessCurve->position, slider->GetPos());
    EXPECT_EQ(dialog->fullPasses, 1);
}

TEST_F(DialogTest, BandButtonsShowTheStoredBandValuesWithoutRepainting) {
    Show();
    Open(WritePhoto(Pattern(64, 48), "pattern.png"));
    auto set = [&](TrackBar* slider, int32_t value) {
        slider->SetPos(value);
        dialog->OnHScroll(kScrollThumbPosition, 0, slider);
        Settle();
    };
    set(dialog->bandHueSlider, 1200);
    set(dialog->bandVividnessSlider, -15);
    set(dialog->bandBrightnessSlider, 22);
    const int passes = dialog->proxyPasses + dialog->fullPasses;

    QTest::mouseClick(dialog->bandButtons[2], Qt::LeftButton);
    Settle();
    EXPECT_EQ(dialog->selectedBand, 2);
    EXPECT_TRUE(dialog->bandButtons[2]->isChecked());
    EXPECT_FALSE(dialog->bandButtons[0]->isChecked());
    EXPECT_EQ(dialog->bandHueSlider->GetPos(), 0);
    EXPECT_EQ(dialog->bandVividnessSlider->GetPos(), 0);
    EXPECT_EQ(dialog->bandBrightnessSlider->GetPos(), 0);
    set(dialog->bandVividnessSlider, 30);

    QTest::mouseClick(dialog->bandButtons[0], Qt::LeftButton);
    Settle();
    EXPECT_EQ(dialog->selectedBand, 0);
    EXPECT_EQ(dialog->bandHueSlider->GetPos(), 1200);
    EXPECT_EQ(dialog->bandVividnessSlider->GetPos(), -15);
    EXPECT_EQ(dialog->bandBrightnessSlider->GetPos(), 22);
    EXPECT_EQ(dialog->colorBandTable->bands[2].vividness, 30);
    EXPECT_EQ(dialog->needsApply, 0);
    EXPECT_EQ(dialog->proxyPasses + dialog->fullPasses, passes + 1);  // only band 2's release
}

TEST_F(DialogTest, ResetRestoresNeutralButKeepsTheBandAndShowsTheUnadjustedPhoto) {
    Show();
    Open(WritePhoto(Pattern(64, 48), "pattern.png"));
    dialog->brightnessSlider->SetPos(20);
    dialog->OnHScroll(kScrollThumbPosition, 0, dialog->brightnessSlider);
    QTest::mouseClick(Button(*dialog, kIdWbAuto), Qt::LeftButton);
    QTest::mouseClick(dialog->bandButtons[3], Qt::LeftButton);
    dialog->bandBrightnessSlider->SetPos(-20);
    dialog->OnHScroll(kScrollThumbPosition, 0, dialog->bandBrightnessSlider);
    Settle();
    EXPECT_FALSE(SamePixels(dialog->sourceImage, dialog->resultImage));
    ColorCache* autoCache = dialog->autoWbCache;
    EXPECT_NE(autoCache, nullptr);

    QTest::mouseClick(Button(*dialog, kIdReset), Qt::LeftButton);
    Settle();
    EXPECT_EQ(Thumbs(*dialog), kNeutralThumbs);
    EXPECT_TRUE(Button(*dialog, kIdWbOff)->isChecked());
    EXPECT_EQ(dialog->wbMode, 0);
    EXPECT_EQ(dialog->selectedBand, 3);
    EXPECT_TRUE(dialog->bandButtons[3]->isChecked());
    EXPECT_EQ(dialog->autoWbCache, autoCache);
    EXPECT_TRUE(SamePixels(dialog->sourceImage, dialog->resultImage));
}

class SpotClickTest : public DialogTest {
  protected:
    // A 100 x 60 photo: a 3 x 3 corner of one colour, the rest another. Fitted into the
    // 540 x 702 frame it is 538 x 323 pixels at (2, 189), so one photo pixel is 5.38 screen
    // pixels wide.
    void SetUp() override {
        DialogTest::SetUp();
        QImage photo = Solid(100, 60, qRgb(40, 90, 200));
        for (int y = 0; y < 3; ++y) {
            for (int x = 0; x < 3; ++x) photo.setPixel(x, y, qRgb(200, 150, 100));
        }
        Show();
        Open(WritePhoto(photo, "corner.png"));
        ASSERT_EQ(dialog->imageRect, (Rect{2, 189, 539, 511}));
    }

    void Click(int x, int y) {
        QTest::mouseClick(dialog->ClientArea(), Qt::LeftButton, Qt::NoModifier, QPoint(x, y));
        Settle();
    }

    // The shift a spot on the corner colour must give.
    WhiteBalanceShift CornerShift() {
        uint16_t r, g, b;
        dialog->sourceImage.buffer->GetRGB16(0, 0, &r, &g, &b);
        ColorCache* expected = CreateWhiteBalanceCache(r / 65535.0, g / 65535.0, b / 65535.0);
        const WhiteBalanceShift shift = *static_cast<WhiteBalanceShift*>(expected->userData);
        ColorCache_Destroy(expected);
        return shift;
    }

    static const WhiteBalanceShift& ShiftOf(ColorCache* cache) {
        return *static_cast<WhiteBalanceShift*>(cache->userData);
    }
};

TEST_F(SpotClickTest, CornerClickAveragesOnlyThePixelsInsideThePhoto) {
    Click(252 + 2, 189);  // not in spot mode: ignored
    EXPECT_EQ(dialog->spotWbCache, nullptr);

    QTest::mouseClick(Button(*dialog, kIdWbSpot), Qt::LeftButton);
    Click(252 + 2, 189);
    ASSERT_NE(dialog->spotWbCache, nullptr);
    const WhiteBalanceShift expected = CornerShift();
    EXPECT_EQ(ShiftOf(dialog->spotWbCache).da, expected.da);
    EXPECT_EQ(ShiftOf(dialog->spotWbCache).db, expected.db);
    EXPECT_EQ(dialog->needsApply, 0);  // repainted with the new balance
}

TEST_F(SpotClickTest, ClickJustLeftOfThePhotoMapsToColumnZeroAndFurtherLeftIsIgnored) {
    QTest::mouseClick(Button(*dialog, kIdWbSpot), Qt::LeftButton);
    Click(252 + 2 - 6, 189);  // more than one photo pixel to the left
    EXPECT_EQ(dialog->spotWbCache, nullptr);
    Click(252 + 2 - 1, 189);
    ASSERT_NE(dialog->spotWbCache, nullptr);
    const WhiteBalanceShift expected = CornerShift();
    EXPECT_EQ(ShiftOf(dialog->spotWbCache).da, expected.da);

    // A click far in the middle replaces the balance with the other colour's.
    ColorCache* first = dialog->spotWbCache;
    const double firstDa = ShiftOf(first).da;
    Click(252 + 270, 350);
    ASSERT_NE(dialog->spotWbCache, nullptr);
    EXPECT_NE(ShiftOf(dialog->spotWbCache).da, firstDa);
    // Auto and back keeps the last spot balance.
    ColorCache* last = dialog->spotWbCache;
    QTest::mouseClick(Button(*dialog, kIdWbAuto), Qt::LeftButton);
    QTest::mouseClick(Button(*dialog, kIdWbSpot), Qt::LeftButton);
    EXPECT_EQ(dialog->spotWbCache, last);
}

}  // namespace
