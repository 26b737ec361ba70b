#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStyleOptionSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <set>
#include <vector>

#include "app/Resources.h"
#include "app/WindowServices.h"
#include "tests/app/window/DialogFixture.h"

namespace {

TEST(DialogUnits, MulDivRoundsHalvesAwayFromZero) {
    EXPECT_EQ(MulDivRound(3, 1, 2), 2);
    EXPECT_EQ(MulDivRound(-3, 1, 2), -2);
    EXPECT_EQ(MulDivRound(5, 13, 8), 8);                // 8.125
    EXPECT_EQ(MulDivRound(6, 13, 8), 10);               // 9.75
    EXPECT_EQ(MulDivRound(1 << 30, 6, 4), 1610612736);  // no 32-bit overflow inside
    EXPECT_EQ(MulDivRound(7, 3, 0), 0);
}

TEST(DialogUnits, DialogFontIsTheJapaneseGothicAndSizesTheMainDialog) {
    const QFont font = DialogFont("MS UI Gothic", 9);
    EXPECT_EQ(QFontInfo(font).family(), QStringLiteral("IPAGothic"));
    const DialogBaseUnits units = MeasureDialogBaseUnits(font);
    EXPECT_EQ(units.x, 6);
    EXPECT_EQ(units.y, 13);
    const QRect dialog = MapDialogRect(units, 0, 0, 528, 432);
    EXPECT_EQ(dialog.size(), QSize(792, 702));
    // The preview frame: 168, 0, 360, 432 dialog units.
    EXPECT_EQ(MapDialogRect(units, 168, 0, 360, 432), QRect(252, 0, 540, 702));
}

TEST(FileFilters, ConvertsPairsAndSeparatesPatternsWithSpaces) {
    const QStringList open = ConvertFileFilter(
        "写真(*.jpg;*.jpeg;*.tif;*.tiff)|*.jpg;*.jpeg;*.tif;*.tiff|jpgファイル(*.jpg;*.jpeg)|*."
        "jpg;*.jpeg|tiffファイル(*.tif;*.tiff)|*.tif;*.tiff||");
    ASSERT_EQ(open.size(), 3);
    EXPECT_EQ(open[0],
              QStringLiteral("写真(*.jpg;*.jpeg;*.tif;*.tiff) (*.jpg *.jpeg *.tif *.tiff)"));
    EXPECT_EQ(open[1], QStringLiteral("jpgファイル(*.jpg;*.jpeg) (*.jpg *.jpeg)"));
    EXPECT_EQ(open[2], QStringLiteral("tiffファイル(*.tif;*.tiff) (*.tif *.tiff)"));
    EXPECT_EQ(ConvertFileFilter("すべて(*.*)|*.*||"),
              QStringList{QStringLiteral("すべて(*.*) (*)")});
    EXPECT_TRUE(ConvertFileFilter("").isEmpty());
}

void Touch(const QString& path) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("x");
}

// The names the dialog's file view lists once its model has read the folder.
std::set<QString> ListedNames(QFileDialog& dialog, int expectedAtLeast) {
    auto* view = dialog.findChild<QAbstractItemView*>(QStringLiteral("listView"));
    if (!view) return {};
    std::set<QString> names;
    (void)QTest::qWaitFor(
        [&] {
            names.clear();
            QAbstractItemModel* model = view->model();
            for (int row = 0; row < model->rowCount(view->rootIndex()); ++row) {
                names.insert(model->index(row, 0, view->rootIndex()).data().toString());
            }
            return static_cast<int>(names.size()) >= expectedAtLeast;
        },
        5000);
    return names;
}

TEST(FileDialogs, OpenDialogListsPhotosWhateverTheCaseOfTheirExtension) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    for (const char* name :
         {"IMG_0001.JPG", "a.jpg", "b.Jpeg", "c.tif", "d.TIFF", "e.png", "noext", "g.jpg.bak"}) {
        Touch(folder.filePath(QString::fromLatin1(name)));
    }
    FileDialogRequest request;
    request.filter =
        "写真(*.jpg;*.jpeg;*.tif;*.tiff)|*.jpg;*.jpeg;*.tif;*.tiff|jpgファイル(*.jpg;*.jpeg)|*."
        "jpg;*.jpeg|tiffファイル(*.tif;*.tiff)|*.tif;*.tiff||";
    request.fileMustExist = true;
    std::unique_ptr<QFileDialog> dialog = MakeFileDialog(nullptr, request);
    dialog->setDirectory(folder.path());
    dialog->show();
    const std::set<QString> names = ListedNames(*dialog, 5);
    const std::set<QString> expected = {QStringLiteral("IMG_0001.JPG"), QStringLiteral("a.jpg"),
                                        QStringLiteral("b.Jpeg"), QStringLiteral("c.tif"),
                                        QStringLiteral("d.TIFF")};
    EXPECT_EQ(names, expected);
    EXPECT_TRUE(dialog->testOption(QFileDialog::DontUseNativeDialog));
    dialog->reject();
}

// Answers the next message box with the given button once it is up.
void AnswerNextMessageBox(QMessageBox::StandardButton answer, int* asked) {
    QTimer::singleShot(0, [answer, asked] {
        (void)QTest::qWaitFor(
            [] { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); }, 5000);
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        ++*asked;
        box->button(answer)->click();
    });
}

TEST(FileDialogs, SaveDialogAddsJpgAndAsksBeforeReplacingAFile) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    Touch(folder.filePath(QStringLiteral("exists.jpg")));
    FileDialogRequest request;
    request.save = true;
    request.filter = "写真(*.jpg;*.jpeg)|*.jpg;*.jpeg||";
    request.defaultExtension = "jpg";
    request.overwritePrompt = true;

    {
        std::unique_ptr<QFileDialog> dialog = MakeFileDialog(nullptr, request);
        dialog->setDirectory(folder.path());
        dialog->show();
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
            ->setText(QStringLiteral("photo"));
        QMetaObject::invokeMethod(dialog.get(), "accept");
        EXPECT_EQ(dialog->result(), QDialog::Accepted);
        EXPECT_EQ(dialog->selectedFiles(),
                  QStringList{folder.filePath(QStringLiteral("photo.jpg"))});
    }
    {
        // A typed name that becomes an existing file's name once the extension is added.
        std::unique_ptr<QFileDialog> dialog = MakeFileDialog(nullptr, request);
        dialog->setDirectory(folder.path());
        dialog->show();
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
            ->setText(QStringLiteral("exists"));
        int asked = 0;
        AnswerNextMessageBox(QMessageBox::No, &asked);
        QMetaObject::invokeMethod(dialog.get(), "accept");
        EXPECT_EQ(asked, 1);
        EXPECT_TRUE(dialog->isVisible());  // "No" keeps the dialog open
        AnswerNextMessageBox(QMessageBox::Yes, &asked);
        QMetaObject::invokeMethod(dialog.get(), "accept");
        EXPECT_EQ(asked, 2);
        EXPECT_EQ(dialog->result(), QDialog::Accepted);
        EXPECT_EQ(dialog->selectedFiles(),
                  QStringList{folder.filePath(QStringLiteral("exists.jpg"))});
    }
}

class TrackBarTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host.resize(300, 60);
        bar = new TrackBar(&host);
        bar->setGeometry(10, 10, 162, 39);
        bar->SetRange(-45, 45);
        bar->SetTic(0);
        bar->SetTic(45);
        bar->SetPos(0);
        QObject::connect(bar, &TrackBar::scrolled, [this](int code) {
            codes.push_back(code);
            positions.push_back(bar->GetPos());
        });
        host.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
    }

    QWidget host;
    TrackBar* bar = nullptr;
    std::vector<int> codes;
    std::vector<int> positions;
};

TEST_F(TrackBarTest, DragReportsEveryNewPositionThenTheRelease) {
    const QPoint start = HandleRect(bar).center();
    QTest::mousePress(bar, Qt::LeftButton, Qt::NoModifier, start);
    for (int dx = 8; dx <= 40; dx += 8) QTest::mouseMove(bar, start + QPoint(dx, 0));
    QTest::mouseMove(bar, start + QPoint(40, 0));  // same place: nothing new
    QTest::mouseRelease(bar, Qt::LeftButton, Qt::NoModifier, start + QPoint(40, 0));

    ASSERT_EQ(codes.size(), 6u);
    for (size_t i = 0; i + 1 < codes.size(); ++i) {
        EXPECT_EQ(codes[i], kScrollThumbTrack);
        if (i > 0) {
            EXPECT_GT(positions[i], positions[i - 1]);
        }
    }
    EXPECT_EQ(codes.back(), kScrollThumbPosition);
    EXPECT_EQ(positions.back(), positions[positions.size() - 2]);
    EXPECT_GT(bar->GetPos(), 0);
}

TEST_F(TrackBarTest, KeysAndChannelClicksReportLineAndPageCodesProgramMovesNothing) {
    bar->setFocus();
    QTest::keyClick(bar, Qt::Key_Right);
    QTest::keyClick(bar, Qt::Key_Up);  // toward the minimum, as on the native control
    QTest::keyClick(bar, Qt::Key_Up);
    QTest::keyClick(bar, Qt::Key_PageDown);
    QTest::keyClick(bar, Qt::Key_PageUp);
    QTest::keyClick(bar, Qt::Key_End);
    const std::vector<int> expectedCodes = {kScrollLineDown, kScrollLineUp, kScrollLineUp,
                                            kScrollPageDown, kScrollPageUp, kScrollBottom};
    EXPECT_EQ(codes, expectedCodes);
    const std::vector<int> expectedPositions = {1, 0, -1, 17, -1, 45};  // page = 90 / 5
    EXPECT_EQ(positions, expectedPositions);

    codes.clear();
    bar->SetPos(0);  // moves from the program report nothing
    EXPECT_TRUE(codes.empty());
    QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier,
                      QPoint(bar->width() - 3, bar->height() / 2 + 4));
    ASSERT_EQ(codes.size(), 1u);
    EXPECT_EQ(codes[0], kScrollPageDown);
}

TEST_F(TrackBarTest, TicksStandAtTheSetValuesAndBothEndsUnderTheThumbCentre) {
    EXPECT_EQ(bar->TickPositions(), (std::vector<int32_t>{-45, 0, 45}));
    const QImage picture = bar->grab().toImage();
    const int tickTop = HandleRect(bar).top() - 5;
    auto darkAt = [&](int x) {
        for (int y = tickTop; y < tickTop + 3; ++y) {
            if (qGray(picture.pixel(x, y)) < 128) return true;
        }
        return false;
    };
    for (int32_t value : bar->TickPositions()) {
        bar->SetPos(value);
        EXPECT_EQ(HandleRect(bar).center().x(), bar->TickX(value)) << value;
        EXPECT_TRUE(darkAt(bar->TickX(value))) << value;
    }
    EXPECT_FALSE(darkAt(bar->TickX(-20)));
    EXPECT_FALSE(darkAt(bar->TickX(20)));

    TrackBar light(&host);
    light.SetRange(-1, 100);
    for (int32_t tick : {-1, 0, 50, 100}) light.SetTic(tick);
    light.SetTic(101);  // outside the range: refused
    EXPECT_EQ(light.TickPositions(), (std::vector<int32_t>{-1, 0, 50, 100}));
    EXPECT_EQ(light.pageStep(), 20);
}

TEST(Resources, IconHasItsThreeSizes) {
    const QList<QSize> sizes = LoadAppIcon().availableSizes();
    for (int side : {16, 24, 32}) EXPECT_TRUE(sizes.contains(QSize(side, side))) << side;
}

TEST(Resources, BandBitmapsAreSunkenSwatchesOfTheirColour) {
    const struct {
        int32_t id;
        QRgb colour;
    } swatches[] = {{kBitmapRed, qRgb(255, 0, 0)},    {kBitmapYellow, qRgb(255, 255, 0)},
                    {kBitmapGreen, qRgb(0, 255, 0)},  {kBitmapBlue, qRgb(0, 0, 255)},
                    {kBitmapCyan, qRgb(0, 255, 255)}, {kBitmapMagenta, qRgb(255, 0, 255)}};
    const QRgb grey = qRgb(128, 128, 128), white = qRgb(255, 255, 255), light = qRgb(192, 192, 192);
    for (const auto& swatch : swatches) {
        const QImage image = LoadResourceBitmap(swatch.id).toImage();
        ASSERT_EQ(image.size(), QSize(70, 29)) << swatch.id;
        int wrong = 0;
        for (int y = 0; y < 29; ++y) {
            for (int x = 0; x < 70; ++x) {
                QRgb expected = swatch.colour;
                if (y == 0 || x == 0) expected = grey;
                if (y == 28 || x == 69) expected = white;
                if ((x == 69 && y == 0) || (x == 0 && y == 28)) expected = light;
                wrong += (image.pixel(x, y) & 0xFFFFFF) != (expected & 0xFFFFFF);
            }
        }
        EXPECT_EQ(wrong, 0) << swatch.id;
        const QImage file(QStringLiteral(":/lumivex/bitmap%1.bmp").arg(swatch.id));
        EXPECT_EQ(file.colorCount(), 16) << swatch.id;
    }
    EXPECT_TRUE(LoadResourceBitmap(999).isNull());
}

}  // namespace
