#include <QLabel>
#include <QPainter>
#include <QStatusBar>
#include <QToolButton>
#include <QWheelEvent>

#include <cmath>
#include <cstdlib>
#include <random>
#include <tuple>

#include "app/PreviewRenderer.h"
#include "tests/app/window/DialogFixture.h"

namespace {

PreviewRequest Zoomed(std::shared_ptr<const SourcePhoto> photo, double zoom, double left,
                      double top, QSize size) {
    PreviewRequest request;
    request.photo = std::move(photo);
    request.size = size;
    request.zoom = zoom;
    request.left = left;
    request.top = top;
    return request;
}

QImage Render(const PreviewRequest& request) {
    const std::optional<RenderedPreview> picture =
        RenderPreview(request, false, [] { return false; });
    return picture ? picture->picture : QImage();
}

// Worked numbers: a 540 x 702 frame at (264, 0) fits into (1, 1, 539, 701).
TEST(PreviewLayout, FitsLandscapePortraitExactAndTooFlatPhotos) {
    QWidget parent;
    parent.resize(804, 702);
    CPreviewFrame frame(&parent);
    frame.setGeometry(264, 0, 540, 702);
    const struct {
        int width, height;
        Rect image, margin1, margin2;
    } cases[] = {
        {0, 0, {1, 1, 539, 701}, {-1, -1, -1, -1}, {-1, -1, -1, -1}},
        {100, 0, {1, 1, 539, 701}, {-1, -1, -1, -1}, {-1, -1, -1, -1}},
        {100, 60, {2, 189, 539, 511}, {1, 1, 539, 189}, {1, 512, 539, 701}},
        // 701 / 100 limits: 420 wide, centred at (539 - 420) / 2.
        {60, 100, {59, 2, 478, 701}, {1, 1, 59, 701}, {479, 1, 539, 701}},
        {539, 701, {2, 1, 539, 701}, {1, 1, 539, 1}, {1, 702, 539, 701}},
        // No row to show: the margins cover the whole inside.
        {1000, 1, {2, 350, 539, 349}, {1, 1, 539, 350}, {1, 350, 539, 701}},
    };
    for (const auto& c : cases) {
        frame.LayoutPreview(c.width, c.height);
        EXPECT_EQ(frame.Geometry().previewArea, (Rect{264, 0, 804, 702}));
        EXPECT_EQ(frame.Geometry().imageRect, c.image) << c.width;
        EXPECT_EQ(frame.Geometry().marginRect1, c.margin1) << c.width;
        EXPECT_EQ(frame.Geometry().marginRect2, c.margin2) << c.width;
    }
    Point pixel;
    EXPECT_EQ(frame.MapToPhoto(Point{400, 350}, 1000, 1, &pixel), 0);  // nothing on screen
}

// Panning by a distance on screen moves the view by the distance over the zoom, unless the
// photo's edge stops it; zooming keeps the photo point under the pointer where it is.
TEST(PreviewFrame, PanningMovesTheViewByDistanceOverZoomAndZoomKeepsThePointUnderThePointer) {
    QWidget parent;
    parent.resize(300, 200);
    CPreviewFrame frame(&parent);
    frame.setGeometry(0, 0, 300, 200);
    frame.LayoutPreview(200, 150);
    for (double zoom : {1.0, 2.0, 3.0, 8.0}) {
        frame.SetZoom(zoom);
        for (QPointF distance : {QPointF(10, 0), QPointF(-37, 21)}) {
            const QPointF before = frame.ViewOrigin();
            frame.PanBy(distance);
            const QPointF moved = before - frame.ViewOrigin();
            if (frame.ViewOrigin().x() > 0 && frame.ViewOrigin().x() < 200 - 300 / zoom) {
                EXPECT_NEAR(moved.x(), distance.x() / zoom, 1e-9) << zoom;
            }
            if (frame.ViewOrigin().y() > 0 && frame.ViewOrigin().y() < 150 - 200 / zoom) {
                EXPECT_NEAR(moved.y(), distance.y() / zoom, 1e-9) << zoom;
            }
        }
        const QPointF pointer(130, 90);
        const QPointF under = frame.ViewOrigin() + pointer / zoom;
        frame.SetZoom(zoom * 2, pointer);
        EXPECT_NEAR((frame.ViewOrigin() + pointer / (zoom * 2) - under).manhattanLength(), 0, 1e-9)
            << zoom;
    }
}

// The obvious area average: each output pixel integrates the source over its own area in
// double precision.
QRgb SlowAverage(const std::vector<uint8_t>& bgr, int32_t sw, int32_t sh, QSize out, int x, int y) {
    const double x0 = double(x) * sw / out.width(), x1 = double(x + 1) * sw / out.width();
    const double y0 = double(y) * sh / out.height(), y1 = double(y + 1) * sh / out.height();
    double sum[3] = {0, 0, 0}, area = 0;
    for (int j = int(y0); j < sh && j < y1; ++j) {
        const double wy = std::min<double>(y1, j + 1) - std::max<double>(y0, j);
        for (int i = int(x0); i < sw && i < x1; ++i) {
            const double w = wy * (std::min<double>(x1, i + 1) - std::max<double>(x0, i));
            for (int c = 0; c < 3; ++c) sum[c] += w * bgr[(j * sw + i) * 3 + c];
            area += w;
        }
    }
    return qRgb(int(std::lround(sum[2] / area)), int(std::lround(sum[1] / area)),
                int(std::lround(sum[0] / area)));
}

// What a part of the photo shows, corrected, is the whole photo's pass cropped and scaled the
// same way: zoomed, picture pixel (x, y) shows photo pixel floor(origin + (x, y) / zoom), at
// 100 % every pixel once and above it squares, white beyond the photo. A render told to stop
// delivers nothing.
TEST(PreviewRender, APartEqualsTheWholePassCroppedAndAStoppedRenderGivesNothing) {
    const EngineReference engine;
    std::mt19937 random(11);
    CImgBuff image;
    image.buffer->Create(160, 120, PT_HSV16);
    for (int32_t y = 0; y < 120; ++y) {
        for (int32_t x = 0; x < 160; ++x)
            image.buffer->SetRGB8(x, y, random() % 256, random() % 256, random() % 256);
    }
    const std::shared_ptr<const SourcePhoto> photo = SourcePhoto::Make(image);
    CorrectionSettings settings;
    settings.wbMode = WhiteBalanceMode::Automatic;
    settings.SetPosition(AdjustmentId::Brightness, 0, 20);
    settings.SetPosition(AdjustmentId::AddLight, 0, 40);
    settings.SetPosition(AdjustmentId::BandVividness, 2, -25);
    const std::shared_ptr<const CorrectionPlan> plan = CompilePlan(settings);

    // Split at a column, the picture is the photo as loaded left of it, as drawn whole, and the
    // corrected picture from it.
    auto expectSplit = [&](PreviewRequest request, int at) {
        request.plan = plan;
        const QImage corrected = Render(request);
        request.splitAt = at;
        const QImage split = Render(request);
        request.plan = nullptr;
        const QImage original = Render(request);
        const int width = split.width(), height = split.height();
        EXPECT_NE(original, corrected);
        EXPECT_EQ(split.copy(0, 0, at, height), original.copy(0, 0, at, height)) << at;
        EXPECT_EQ(split.copy(at, 0, width - at, height), corrected.copy(at, 0, width - at, height));
    };
    CImgBuff whole;
    std::vector<uint8_t> bgr(160 * 120 * 3);
    const BgrRows rows{bgr.data(), 160 * 3};
    ASSERT_EQ(ApplyAdjustments(*plan, *photo, false, whole.buffer, &rows), 1);
    for (auto [zoom, left, top] :
         {std::tuple{1.0, 37, 21}, {2.0, -5, 100}, {3.0, 130, -7}, {4.0, 0, 0}, {8.0, 150, 110}}) {
        PreviewRequest request = Zoomed(photo, zoom, left, top, QSize(90, 70));
        request.plan = plan;
        const QImage picture = Render(request);
        int wrong = 0;
        for (int y = 0; y < 70; ++y) {
            for (int x = 0; x < 90; ++x) {
                const int px = left + static_cast<int>(std::floor(x / zoom));
                const int py = top + static_cast<int>(std::floor(y / zoom));
                const bool inside = px >= 0 && py >= 0 && px < 160 && py < 120;
                const uint8_t* p = inside ? &bgr[(py * 160 + px) * 3] : nullptr;
                wrong += picture.pixel(x, y) != (p ? qRgb(p[2], p[1], p[0]) : qRgb(255, 255, 255));
            }
        }
        EXPECT_EQ(wrong, 0) << zoom;
        expectSplit(request, 41);
    }
    // Fitted, shrunk or enlarged, the photo is the whole pass averaged over each picture pixel's
    // area, as the obvious double-precision integral gives it; ties, frequent where an enlarged
    // pixel straddles two halves, may round apart by one.
    for (QRect fitted : {QRect(10, 20, 70, 53), QRect(3, 4, 230, 170)}) {
        PreviewRequest request;
        request.photo = photo;
        request.plan = plan;
        request.size = QSize(240, 180);
        request.fitted = fitted;
        const QImage picture = Render(request);
        int far = 0, off = 0;
        for (int y = 0; y < fitted.height(); ++y) {
            for (int x = 0; x < fitted.width(); ++x) {
                const QRgb fast = picture.pixel(fitted.left() + x, fitted.top() + y);
                const QRgb slow = SlowAverage(bgr, 160, 120, fitted.size(), x, y);
                for (int shift : {0, 8, 16}) {
                    const int d = std::abs(int((fast >> shift) & 255) - int((slow >> shift) & 255));
                    far += d > 1;
                    off += d != 0;
                }
            }
        }
        EXPECT_EQ(far, 0) << fitted.width();
        EXPECT_LE(off, fitted.width() * fitted.height() * 3 / 20) << fitted.width();
        EXPECT_EQ(picture.pixel(fitted.left() - 1, fitted.top()), qRgb(255, 255, 255));
        expectSplit(request, fitted.left() + 37);
    }

    PreviewRequest fitted;
    fitted.photo = photo;
    fitted.plan = plan;
    fitted.size = QSize(100, 100);
    fitted.fitted = QRect(10, 20, 80, 60);
    int rowsBeforeStop = 5;
    bool shortOfMemory = true;
    EXPECT_FALSE(RenderPreview(
        fitted, false, [&] { return --rowsBeforeStop < 0; }, &shortOfMemory));
    EXPECT_FALSE(shortOfMemory);
}

// The window: the photo fitted with white margins, also after resizing; zoom steps, compare and
// undo at 100 %; a picture for a superseded request is never shown.
TEST_F(DialogTest, ThePreviewFitsZoomsComparesAndShowsOnlyTheNewestPicture) {
    Show();
    Open(WritePhoto(Solid(100, 60, qRgb(200, 40, 40)), "red.png"));
    for (int pass = 0; pass < 2; ++pass) {
        const QImage frame = dialog->previewFrame->grab().toImage();
        const Rect& r = dialog->previewFrame->Geometry().imageRect;
        int wrong = 0;
        for (int y = 1; y < frame.height() - 1; ++y) {
            for (int x = 2; x < frame.width() - 1; x += 7) {
                const bool photo = y >= r.top && y <= r.bottom;
                wrong += frame.pixel(x, y) != (photo ? qRgb(200, 40, 40) : qRgb(255, 255, 255));
            }
        }
        EXPECT_EQ(wrong, 0) << pass;
        dialog->resize(dialog->width() + 150, dialog->height() + 100);
        Settle();
    }

    // The wheel zooms only with Ctrl held; Ctrl++ steps in from the fitted scale; Ctrl+1 is
    // 100 %, Ctrl+0 fits again.
    for (Qt::KeyboardModifier held : {Qt::NoModifier, Qt::ControlModifier}) {
        const QPointF at(30, 30);
        QWheelEvent wheel(at, dialog->previewFrame->mapToGlobal(at), QPoint(), QPoint(0, 120),
                          Qt::NoButton, held, Qt::NoScrollPhase, false);
        QApplication::sendEvent(dialog->previewFrame, &wheel);
        EXPECT_EQ(dialog->previewFrame->Zoom() > 0, held == Qt::ControlModifier);
    }
    QTest::keyClick(dialog.get(), Qt::Key_1, Qt::ControlModifier);
    Settle();
    EXPECT_EQ(dialog->previewFrame->Zoom(), 1.0);
    EXPECT_EQ(dialog->zoomLabel->text(), QStringLiteral("100%"));
    QTest::keyClick(dialog.get(), Qt::Key_Plus, Qt::ControlModifier);
    Settle();
    EXPECT_EQ(dialog->previewFrame->Zoom(), 1.5);
    Release(dialog->brightnessSlider, 30);
    // Compare, held (key or button) or ticked, shows the photo as loaded, labelled, and keeps the
    // zoom; split, on the left half only.
    const QImage corrected = Shown();
    const QPoint centre = corrected.rect().center();
    ASSERT_NE(corrected.pixel(centre), qRgb(200, 40, 40));
    QTest::keyPress(dialog.get(), Qt::Key_Backslash);
    Settle();
    EXPECT_EQ(Shown().pixel(centre), qRgb(200, 40, 40));
    EXPECT_EQ(dialog->previewFrame->Zoom(), 1.5);
    QTest::keyRelease(dialog.get(), Qt::Key_Backslash);
    Settle();
    EXPECT_EQ(Shown(), corrected);
    for (QColor expected : {QColor(200, 40, 40), QColor(corrected.pixel(centre))}) {
        Action("補正前を表示(&B)")->trigger();
        Settle();
        EXPECT_EQ(Shown().pixel(centre), expected.rgb());
        EXPECT_EQ(dialog->beforeLabel->isVisible(), expected == QColor(200, 40, 40));
    }
    QTest::mousePress(dialog->compareButton, Qt::LeftButton);
    Settle();
    EXPECT_EQ(Shown().pixel(centre), qRgb(200, 40, 40));
    QTest::mouseRelease(dialog->compareButton, Qt::LeftButton);
    Settle();
    EXPECT_EQ(Shown(), corrected);
    Action("左右に比較(&C)")->trigger();
    Settle();
    const int half = corrected.width() / 2;
    EXPECT_EQ(Shown().pixel(half - 1, centre.y()), qRgb(200, 40, 40));
    EXPECT_EQ(Shown().pixel(half, centre.y()), corrected.pixel(half, centre.y()));
    EXPECT_TRUE(dialog->beforeLabel->isVisible() && dialog->afterLabel->isVisible());
    Action("左右に比較(&C)")->trigger();
    Settle();
    EXPECT_FALSE(dialog->beforeLabel->isVisible() || dialog->afterLabel->isVisible());
    QTest::keyClick(dialog.get(), Qt::Key_Z, Qt::ControlModifier);
    Settle();
    EXPECT_EQ(dialog->previewFrame->Zoom(), 1.5);
    EXPECT_EQ(dialog->engine.AdjustmentPosition(AdjustmentId::Brightness), 0);
    QTest::keyClick(dialog.get(), Qt::Key_0, Qt::ControlModifier);
    Settle();
    EXPECT_EQ(dialog->previewFrame->Zoom(), 0.0);

    RenderedPreview stale = *dialog->shownPreview;
    stale.serial -= 1;
    stale.picture.fill(Qt::black);
    dialog->OnPreviewRendered(stale);
    EXPECT_NE(Shown(), stale.picture);
}

// The preview and its levels show the photo converted from its embedded profile (sRGB for none)
// to the screen's, as ImageMagick converts the file, within a level; a photo without a profile on
// an sRGB screen, the toggle off and a screen profile that is none show the stored bytes, the last
// saying why; the saved file does not follow the toggle.
TEST_F(DialogTest, ThePreviewConvertsFromThePhotosProfileToTheScreensAsImageMagickDoes) {
    const QString srgbPath = "/usr/share/color/icc/sRGB.icc",
                  adobePath = "/usr/share/color/icc/compatibleWithAdobeRGB1998.icc";
    // Larger than the frame, so that fitted it is shrunk, and at 100 % shows a part.
    const int w = 512, h = 384;
    QImage colours(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x)
            colours.setPixel(x, y, qRgb(x / 2, y * 2 / 3, (x + y) / 4 + 32));
    }
    const std::string plain = WritePhoto(colours, "plain.png");
    const QString dir = folder.path();
    const QString script = QString(
                               "cd '%1' && convert plain.png -profile %2 adobe.tif && "
                               "convert adobe.tif -profile %3 converted.png && "
                               "convert plain.png -profile %3 -profile %2 onAdobe.png")
                               .arg(dir, adobePath, srgbPath);
    ASSERT_EQ(std::system(script.toStdString().c_str()), 0);
    QFile srgbFile(srgbPath), adobeFile(adobePath);
    ASSERT_TRUE(srgbFile.open(QIODevice::ReadOnly) && adobeFile.open(QIODevice::ReadOnly));
    const QByteArray srgb = srgbFile.readAll(), adobeRgb = adobeFile.readAll();
    const std::string adobe = (dir + "/adobe.tif").toStdString();
    const QImage converted(dir + "/converted.png"), onAdobe(dir + "/onAdobe.png");
    const struct {
        const std::string& photo;
        QByteArray screen;
        bool on;
        const QImage& expected;
        int tolerance;
        const char* message;
    } cases[] = {
        {adobe, srgb, true, converted, 1, ""},
        // LittleCMS's own sRGB, not the file's, differs from it by a level here and there.
        {adobe, {}, true, converted, 2, ""},
        {plain, adobeRgb, true, onAdobe, 2, ""},
        {adobe, srgb, false, colours, 0, ""},
        {plain, srgb, true, colours, 0, ""},
        {plain, {}, true, colours, 0, ""},
        {adobe, "not a profile", true, colours, 0, "画面のカラープロファイルが ICC"},
    };
    Show();
    Action("ヒストグラム(&H)")->trigger();
    for (const auto& c : cases) {
        dialog->readScreenProfile = [&c] { return c.screen; };
        Open(c.photo);
        Action("カラーマネジメント(&M)")->setChecked(c.on);
        Keys("Ctrl+1");
        const QImage shown = Shown();
        const QPointF origin = dialog->previewFrame->ViewOrigin();
        int far = 0;
        for (int y = 0; y < shown.height(); ++y) {
            for (int x = 0; x < shown.width(); ++x) {
                const QPoint at(int(std::floor(origin.x() + x)), int(std::floor(origin.y() + y)));
                if (!c.expected.rect().contains(at)) continue;
                const QRgb a = shown.pixel(x, y), b = c.expected.pixel(at);
                for (int shift : {0, 8, 16})
                    far +=
                        std::abs(int((a >> shift) & 255) - int((b >> shift) & 255)) > c.tolerance;
            }
        }
        EXPECT_EQ(far, 0) << c.photo << c.screen.size() << c.on;
        const QString message = dialog->statusBar->currentMessage();
        EXPECT_TRUE(*c.message ? message.contains(c.message) : message.isEmpty()) << c.message;
        // The levels, of the proxy at 100 % and of the shrunk picture fitted, against the expected
        // picture's by their means: averaged before they are converted, the colours lie within 3
        // levels; unconverted, 7 away.
        for (const char* zoom : {"", "Ctrl+0"}) {
            Keys(zoom);
            const Histogram& levels = dialog->previewFrame->ShownHistogram();
            for (auto [counts, shift] :
                 {std::pair{&levels.red, 16}, {&levels.green, 8}, {&levels.blue, 0}}) {
                double sum = 0, total = 0, expected = 0;
                for (int level = 0; level < 256; ++level) {
                    sum += level * double((*counts)[level]);
                    total += (*counts)[level];
                }
                for (int y = 0; y < h; ++y) {
                    for (int x = 0; x < w; ++x) expected += (c.expected.pixel(x, y) >> shift) & 255;
                }
                EXPECT_NEAR(sum / total, expected / (w * h), 3) << shift << zoom;
            }
        }
    }
    std::vector<QByteArray> saved;
    for (bool on : {true, false}) {
        Action("カラーマネジメント(&M)")->setChecked(on);
        const QString path = dir + (on ? "/on.jpg" : "/off.jpg");
        prompts.answers.push_back(path.toStdString());
        dialog->OnSavePhoto();
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        saved.push_back(file.readAll());
    }
    EXPECT_EQ(saved[0], saved[1]);
}

}  // namespace
