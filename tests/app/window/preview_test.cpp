#include <QPainter>

#include <cmath>
#include <random>

#include "app/PreviewStretch.h"
#include "parallel/WorkerPool.h"
#include "tests/app/window/DialogFixture.h"

namespace {

// The frame is 540 x 702 pixels, so the photo is fitted into (1, 1, 539, 701).
const Rect kInside{1, 1, 539, 701};

TEST_F(DialogTest, LayoutWithoutAPhotoAndWithLandscapePortraitExactAndTooFlatOnes) {
    EXPECT_EQ(dialog->previewFrame->Geometry().previewArea, (Rect{264, 0, 804, 702}));
    EXPECT_EQ(dialog->previewFrame->Geometry().invalidArea, (Rect{264, 0, 805, 703}));
    EXPECT_EQ(dialog->previewFrame->Geometry().imageRect, kInside);
    EXPECT_EQ(dialog->previewFrame->Geometry().marginRect1, (Rect{-1, -1, -1, -1}));
    EXPECT_EQ(dialog->previewFrame->Geometry().marginRect2, (Rect{-1, -1, -1, -1}));

    const struct {
        int width, height;
        Rect image, margin1, margin2;
    } cases[] = {
        {100, 60, {2, 189, 539, 511}, {1, 1, 539, 189}, {1, 512, 539, 701}},
        // 701 / 100 limits: 420 wide, centred at (539 - 420) / 2.
        {60, 100, {59, 2, 478, 701}, {1, 1, 59, 701}, {479, 1, 539, 701}},
        {539, 701, {2, 1, 539, 701}, {1, 1, 539, 1}, {1, 702, 539, 701}},
        // No row to show: the margins cover the whole inside.
        {1000, 1, {2, 350, 539, 349}, {1, 1, 539, 350}, {1, 350, 539, 701}},
    };
    Show();
    for (const auto& c : cases) {
        Open(WritePhoto(Solid(c.width, c.height, qRgb(1, 2, 3)), "photo.png"));
        EXPECT_EQ(dialog->previewFrame->Geometry().imageRect, c.image) << c.width;
        EXPECT_EQ(dialog->previewFrame->Geometry().marginRect1, c.margin1) << c.width;
        EXPECT_EQ(dialog->previewFrame->Geometry().marginRect2, c.margin2) << c.width;
    }
    // Nothing of the flat photo is on screen to be clicked.
    Click("スポット");
    QTest::mouseClick(dialog->client, Qt::LeftButton, Qt::NoModifier, QPoint(400, 350));
    EXPECT_EQ(dialog->engine.spotWbCache, nullptr);
}

TEST_F(DialogTest, GrabAfterOpeningShowsThePhotoFittedWithWhiteMarginsAlsoAfterResizing) {
    Show();
    Open(WritePhoto(Solid(100, 60, qRgb(200, 40, 40)), "red.png"));
    const int taller = dialog->height() + 100;
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
        EXPECT_EQ(frame.pixel(0, 350), qRgb(0, 0, 0));  // the frame's own border
        EXPECT_EQ(frame.pixel(300, frame.height() - 1), qRgb(0, 0, 0));

        // The frame follows the client area to its edges and the photo is fitted again:
        // 947 / 100 limits, 568 rows centred at (801 - 568) / 2.
        dialog->resize(1212, taller);
        Settle();
        EXPECT_EQ(dialog->previewFrame->geometry(), QRect(264, 0, 1212 - 264, 802));
        EXPECT_EQ(dialog->previewFrame->Geometry().imageRect, (Rect{2, 116, 947, 683}));
    }
}

DibHeader* RandomDib(int32_t width, int32_t height, PixelType type, uint32_t seed) {
    CImgBuff image;
    image.buffer->Create(width, height, type);
    std::mt19937 random(seed);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            if (type == PT_GRAY8)
                image.buffer->SetGray8(x, y, random() % 256);
            else
                image.buffer->SetRGB8(x, y, random() % 256, random() % 256, random() % 256);
        }
    }
    return MakeDisplayDib(&image, nullptr);
}

// The obvious area average: each output pixel integrates the source over its own area in
// double precision.
QRgb SlowAverage(DibHeader* dib, int32_t width, int32_t height, int x, int y) {
    const int32_t sw = dib->width, sh = dib->height;
    const double x0 = double(x) * sw / width, x1 = double(x + 1) * sw / width;
    const double y0 = double(y) * sh / height, y1 = double(y + 1) * sh / height;
    double sum[3] = {0, 0, 0}, area = 0;
    const uint32_t stride = DibStride(dib->width, dib->bitCount);
    for (int j = int(y0); j < sh && j < y1; ++j) {
        const double wy = std::min<double>(y1, j + 1) - std::max<double>(y0, j);
        const uint8_t* row = DibPixels(dib) + size_t(dib->height - 1 - j) * stride;
        for (int i = int(x0); i < sw && i < x1; ++i) {
            const double w = wy * (std::min<double>(x1, i + 1) - std::max<double>(x0, i));
            const uint8_t* bgr = dib->bitCount == 24 ? row + i * 3 : DibPalette(dib) + row[i] * 4;
            for (int c = 0; c < 3; ++c) sum[c] += w * bgr[c];
            area += w;
        }
    }
    return qRgb(int(std::lround(sum[2] / area)), int(std::lround(sum[1] / area)),
                int(std::lround(sum[0] / area)));
}

TEST(StretchDibAveraged, MatchesTheObviousAreaAverage) {
    WorkerPool::Acquire();
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
                    const QRgb slow = SlowAverage(dib, size.width(), size.height(), x, y);
                    for (int shift : {0, 8, 16}) {
                        const int d =
                            std::abs(int((fast >> shift) & 255) - int((slow >> shift) & 255));
                        far += d > 1;
                        off += d != 0;
                    }
                }
            }
            // Ties may round apart; anything more than a handful is a wrong weight.
            EXPECT_EQ(far, 0) << size.width() << "x" << size.height();
            EXPECT_LE(off, size.width() * size.height() / 100 + 1) << size.width();
        }
        // A part of the bitmap selects rows counted from the top.
        const QImage same = StretchDibAveraged(dib, whole, 97, 61);
        const QImage part = StretchDibAveraged(dib, Rect{10, 20, 19, 29}, 10, 10);
        EXPECT_EQ(part, same.copy(10, 20, 10, 10));
        FreeDisplayDib(dib);
    }
    WorkerPool::Release();
}

TEST_F(DialogTest, DrawDibReusesTheStretchedPictureUntilThePipelineRunsAgain) {
    DibHeader* dib = RandomDib(40, 30, PT_RGB8, 5);
    const Rect src{0, 0, 39, 29}, dest{0, 0, 19, 14};
    QImage canvas(30, 30, QImage::Format_RGB32);
    auto draw = [&](const Rect& to, DibHeader* bitmap) {
        canvas.fill(Qt::black);
        QPainter painter(&canvas);
        return dialog->previewFrame->DrawDib(&painter, bitmap, &to, &src);
    };
    EXPECT_EQ(draw(dest, dib), 1);
    const QImage first = canvas;
    std::fill_n(DibPixels(dib), dib->imageSize, 0xFF);  // the bitmap changes in place
    draw(dest, dib);
    EXPECT_EQ(canvas, first);       // not scaled again
    draw(Rect{0, 0, 20, 15}, dib);  // a new size is
    EXPECT_EQ(canvas.pixel(5, 5), qRgb(255, 255, 255));
    EXPECT_EQ(draw(dest, nullptr), 0);
    EXPECT_EQ(draw(Rect{5, 5, 4, 4}, dib), 1);
    FreeDisplayDib(dib);
}

}  // namespace
