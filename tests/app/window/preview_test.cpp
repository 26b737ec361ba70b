#include <QPainter>
#include <QPushButton>

#include <cmath>
#include <random>

#include "app/PreviewStretch.h"
#include "parallel/WorkerPool.h"
#include "tests/app/window/DialogFixture.h"

namespace {

// The frame is 540 x 702 pixels, so the photo is fitted into (1, 1, 539, 701).
const Rect kInside{1, 1, 539, 701};

TEST(FitRect, KnownFits) {
    // Landscape in a tall area: full width, centred from 0 vertically.
    EXPECT_EQ(CLumivexDlg::FitRect(kInside, Rect{1, 1, 100, 60}), (Rect{1, 189, 539, 511}));
    // Portrait in a wider area: full height.
    EXPECT_EQ(CLumivexDlg::FitRect(Rect{1, 1, 801, 401}, Rect{1, 1, 60, 100}),
              (Rect{280, 1, 519, 401}));
    // Exactly fitting: returned as it is.
    EXPECT_EQ(CLumivexDlg::FitRect(kInside, Rect{1, 1, 539, 701}), kInside);
    // Too flat to show a single row.
    EXPECT_EQ(CLumivexDlg::FitRect(kInside, Rect{1, 1, 1000, 1}), (Rect{1, 350, 539, 349}));
}

TEST(FitRect, KeepsTheAspectRatioFillsOneSideAndCentres) {
    std::mt19937 random(7);
    for (int i = 0; i < 2000; ++i) {
        const int32_t dw = 1 + random() % 900, dh = 1 + random() % 900;
        const int32_t sw = 1 + random() % 7000, sh = 1 + random() % 7000;
        const Rect fit =
            CLumivexDlg::FitRect(Rect{0, 0, dw - 1, dh - 1}, Rect{0, 0, sw - 1, sh - 1});
        const int32_t fw = fit.right - fit.left + 1, fh = fit.bottom - fit.top + 1;
        ASSERT_TRUE(fw == dw || fh == dh) << dw << "x" << dh << " " << sw << "x" << sh;
        ASSERT_LE(fw, dw);
        ASSERT_LE(fh, dh);
        // The other side is the largest that does not exceed the aspect ratio.
        if (fw == dw && fh != dh) {
            ASSERT_LE(static_cast<int64_t>(fh) * sw, static_cast<int64_t>(sh) * dw);
            ASSERT_GT(static_cast<int64_t>(fh + 1) * sw, static_cast<int64_t>(sh) * dw);
            ASSERT_LE(std::abs(fit.top - (dh - 1 - fit.bottom)), 1);
        } else if (fh == dh && fw != dw) {
            ASSERT_LE(static_cast<int64_t>(fw) * sh, static_cast<int64_t>(sw) * dh);
            ASSERT_GT(static_cast<int64_t>(fw + 1) * sh, static_cast<int64_t>(sw) * dh);
            ASSERT_LE(std::abs(fit.left - (dw - 1 - fit.right)), 1);
        }
    }
}

TEST_F(DialogTest, LayoutWithoutAPhotoHasNoMargins) {
    EXPECT_EQ(dialog->previewArea, (Rect{252, 0, 792, 702}));
    EXPECT_EQ(dialog->invalidArea, (Rect{252, 0, 793, 703}));
    EXPECT_EQ(dialog->imageRect, kInside);
    EXPECT_EQ(dialog->marginRect1, (Rect{-1, -1, -1, -1}));
    EXPECT_EQ(dialog->marginRect2, (Rect{-1, -1, -1, -1}));
}

TEST_F(DialogTest, LayoutOfLandscapePortraitAndExactlyFittingPhotos) {
    Show();
    Open(WritePhoto(Solid(100, 60, qRgb(1, 2, 3)), "landscape.png"));
    EXPECT_EQ(dialog->imageRect, (Rect{2, 189, 539, 511}));
    EXPECT_EQ(dialog->marginRect1, (Rect{1, 1, 539, 189}));
    EXPECT_EQ(dialog->marginRect2, (Rect{1, 512, 539, 701}));

    Open(WritePhoto(Solid(60, 100, qRgb(1, 2, 3)), "portrait.png"));
    // 701 / 100 limits: 420 wide, centred at (539 - 420) / 2.
    EXPECT_EQ(dialog->imageRect, (Rect{59, 2, 478, 701}));
    EXPECT_EQ(dialog->marginRect1, (Rect{1, 1, 59, 701}));
    EXPECT_EQ(dialog->marginRect2, (Rect{479, 1, 539, 701}));

    Open(WritePhoto(Solid(539, 701, qRgb(1, 2, 3)), "exact.png"));
    EXPECT_EQ(dialog->imageRect, (Rect{2, 1, 539, 701}));
    EXPECT_EQ(dialog->marginRect1, (Rect{1, 1, 539, 1}));
    EXPECT_EQ(dialog->marginRect2, (Rect{1, 702, 539, 701}));
}

TEST_F(DialogTest, GrabAfterOpeningShowsThePhotoFittedWithWhiteMargins) {
    Show();
    Open(WritePhoto(Solid(100, 60, qRgb(200, 40, 40)), "red.png"));
    const QImage frame = dialog->previewFrame->grab().toImage();
    const Rect& r = dialog->imageRect;
    int wrong = 0;
    for (int y = 1; y < 701; ++y) {
        for (int x = 2; x < 539; x += 7) {
            const bool photo = y >= r.top && y <= r.bottom;
            wrong += frame.pixel(x, y) != (photo ? qRgb(200, 40, 40) : qRgb(255, 255, 255));
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(frame.pixel(0, 350), qRgb(0, 0, 0));  // the frame's own border
    EXPECT_EQ(frame.pixel(300, 701), qRgb(0, 0, 0));
}

TEST_F(DialogTest, ResizingRefitsAndTheFrameReachesTheEdges) {
    Show();
    Open(WritePhoto(Solid(100, 60, qRgb(1, 2, 3)), "landscape.png"));
    dialog->resize(1200, dialog->height() + 100);
    Settle();
    const QSize client = dialog->ClientArea()->size();
    EXPECT_EQ(client, QSize(1200, 802));
    EXPECT_EQ(dialog->previewFrame->geometry(), QRect(252, 0, 1200 - 252, 802));
    // 947 / 100 limits: 568 rows, centred at (801 - 568) / 2.
    EXPECT_EQ(dialog->imageRect, (Rect{2, 116, 947, 683}));
}

TEST_F(DialogTest, PhotoTooFlatToShowGetsOnlyMarginsAndIgnoresSpotClicks) {
    Show();
    Open(WritePhoto(Solid(1000, 1, qRgb(200, 40, 40)), "flat.png"));
    EXPECT_EQ(dialog->imageRect.bottom - dialog->imageRect.top + 1, 0);
    const QImage frame = dialog->previewFrame->grab().toImage();
    for (int y = 1; y < 701; y += 5) ASSERT_EQ(frame.pixel(270, y), qRgb(255, 255, 255)) << y;
    for (QPushButton* button : dialog->ClientArea()->findChildren<QPushButton*>()) {
        if (button->text() == QStringLiteral("スポット")) QTest::mouseClick(button, Qt::LeftButton);
    }
    ASSERT_EQ(dialog->wbMode, 2);
    QTest::mouseClick(dialog->ClientArea(), Qt::LeftButton, Qt::NoModifier, QPoint(400, 350));
    EXPECT_EQ(dialog->spotWbCache, nullptr);
}

// Display bitmaps of pseudo-random pictures, 24-bit and 8-bit grey.
DibHeader* RandomDib(int32_t width, int32_t height, PixelType type, uint32_t seed) {
    CImgBuff image;
    if (!image.buffer->Create(width, height, type)) return nullptr;
    std::mt19937 random(seed);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            if (type == PT_GRAY8) {
                image.buffer->SetGray8(x, y, random() % 256);
            } else {
                image.buffer->SetRGB8(x, y, random() % 256, random() % 256, random() % 256);
            }
        }
    }
    return MakeDisplayDib(&image, nullptr);
}

// The obvious area average: each output pixel integrates the source over its own area in
// double precision.
QRgb SlowAverage(DibHeader* dib, const Rect& src, int32_t width, int32_t height, int x, int y) {
    const int32_t sw = src.right - src.left + 1, sh = src.bottom - src.top + 1;
    const double x0 = static_cast<double>(x) * sw / width,
                 x1 = static_cast<double>(x + 1) * sw / width;
    const double y0 = static_cast<double>(y) * sh / height,
                 y1 = static_cast<double>(y + 1) * sh / height;
    double sum[3] = {0, 0, 0}, area = 0;
    const uint32_t stride = DibStride(dib->width, dib->bitCount);
    for (int j = static_cast<int>(y0); j < sh && j < y1; ++j) {
        const double wy = std::min<double>(y1, j + 1) - std::max<double>(y0, j);
        const uint8_t* row =
            DibPixels(dib) + static_cast<size_t>(dib->height - 1 - (src.top + j)) * stride;
        for (int i = static_cast<int>(x0); i < sw && i < x1; ++i) {
            const double wx = std::min<double>(x1, i + 1) - std::max<double>(x0, i);
            uint8_t bgr[3];
            if (dib->bitCount == 24) {
                std::copy_n(row + (src.left + i) * 3, 3, bgr);
            } else {
                std::copy_n(DibPalette(dib) + row[src.left + i] * 4, 3, bgr);
            }
            for (int c = 0; c < 3; ++c) sum[c] += wx * wy * bgr[c];
            area += wx * wy;
        }
    }
    return qRgb(static_cast<int>(std::lround(sum[2] / area)),
                static_cast<int>(std::lround(sum[1] / area)),
                static_cast<int>(std::lround(sum[0] / area)));
}

// The stretch runs on the pool, which its caller holds.
struct PoolReference {
    PoolReference() { WorkerPool::Acquire(); }
    ~PoolReference() { WorkerPool::Release(); }
};

TEST(StretchDibAveraged, MatchesTheObviousAreaAverage) {
    PoolReference pool;
    for (PixelType type : {PT_RGB8, PT_GRAY8}) {
        DibHeader* dib = RandomDib(97, 61, type, 3);
        ASSERT_NE(dib, nullptr);
        const Rect whole{0, 0, 96, 60};
        for (QSize size :
             {QSize(23, 17), QSize(97, 61), QSize(150, 90), QSize(40, 61), QSize(1, 1)}) {
            const QImage out = StretchDibAveraged(dib, whole, size.width(), size.height());
            ASSERT_EQ(out.size(), size);
            int far = 0, off = 0;
            for (int y = 0; y < size.height(); ++y) {
                for (int x = 0; x < size.width(); ++x) {
                    const QRgb fast = out.pixel(x, y);
                    const QRgb slow = SlowAverage(dib, whole, size.width(), size.height(), x, y);
                    const int d = std::max({std::abs(qRed(fast) - qRed(slow)),
                                            std::abs(qGreen(fast) - qGreen(slow)),
                                            std::abs(qBlue(fast) - qBlue(slow))});
                    far += d > 1;
                    off += d != 0;
                }
            }
            EXPECT_EQ(far, 0) << size.width() << "x" << size.height();
            // Ties may round apart; anything more than a handful is a wrong weight.
            EXPECT_LE(off, size.width() * size.height() / 100 + 1) << size.width();
        }
        // The same size copies the picture exactly; a part of it selects rows from the top.
        const QImage same = StretchDibAveraged(dib, whole, 97, 61);
        const QImage part = StretchDibAveraged(dib, Rect{10, 20, 19, 29}, 10, 10);
        for (int y = 0; y < 10; ++y) {
            for (int x = 0; x < 10; ++x) ASSERT_EQ(part.pixel(x, y), same.pixel(x + 10, y + 20));
        }
        FreeDisplayDib(dib);
    }
}

TEST_F(DialogTest, DrawDibReusesTheStretchedPictureUntilThePipelineRunsAgain) {
    DibHeader* dib = RandomDib(40, 30, PT_RGB8, 5);
    const Rect src{0, 0, 39, 29}, dest{0, 0, 19, 14};
    auto draw = [&](const Rect& to) {
        QImage canvas(30, 30, QImage::Format_RGB32);
        canvas.fill(Qt::black);
        QPainter painter(&canvas);
        EXPECT_EQ(dialog->DrawDib(&painter, dib, &to, &src), 1);
        return canvas;
    };
    const QImage first = draw(dest);
    std::fill_n(DibPixels(dib), dib->imageSize, 0xFF);  // the bitmap changes in place
    EXPECT_EQ(draw(dest), first);                       // not scaled again
    const QImage bigger = draw(Rect{0, 0, 20, 15});     // a new size is
    EXPECT_EQ(bigger.pixel(5, 5), qRgb(255, 255, 255));

    const Rect empty{5, 5, 4, 4};
    QImage canvas(4, 4, QImage::Format_RGB32);
    QPainter painter(&canvas);
    EXPECT_EQ(dialog->DrawDib(&painter, nullptr, &dest, &src), 0);
    EXPECT_EQ(dialog->DrawDib(&painter, dib, &empty, &src), 1);
    FreeDisplayDib(dib);
}

}  // namespace
