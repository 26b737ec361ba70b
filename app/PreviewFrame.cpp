#include "app/PreviewFrame.h"

#include <QPainter>
#include <QPolygonF>

#include <algorithm>
#include <utility>

#include "app/PreviewStretch.h"

namespace {

QRect InclusiveToQRect(const Rect& r) {
    return QRect(r.left, r.top, r.right - r.left + 1, r.bottom - r.top + 1);
}

QRect ExclusiveToQRect(const Rect& r) {
    return QRect(r.left, r.top, r.right - r.left, r.bottom - r.top);
}

}  // namespace

Histogram CountLevels(const QImage& picture, const QRect& area) {
    Histogram counts;
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB32);
    const QRect inside = area.intersected(rgb.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = inside.left(); x <= inside.right(); ++x) {
            const int r = qRed(row[x]), g = qGreen(row[x]), b = qBlue(row[x]);
            ++counts.red[r];
            ++counts.green[g];
            ++counts.blue[b];
            ++counts.luminance[(299 * r + 587 * g + 114 * b + 500) / 1000];
        }
    }
    return counts;
}

CPreviewFrame::CPreviewFrame(QWidget* parent) : BlackFrame(parent) {}

Rect CPreviewFrame::FitRect(Rect dest, Rect src) {
    const int32_t dw = dest.right - dest.left + 1;
    const int32_t dh = dest.bottom - dest.top + 1;
    const int32_t sw = src.right - src.left + 1;
    const int32_t sh = src.bottom - src.top + 1;
    if (sw == dw && sh == dh) return dest;
    const double sx = static_cast<double>(dw) / sw;
    const double sy = static_cast<double>(dh) / sh;
    if (sy > sx) {
        const auto nh = static_cast<int32_t>(sh * sx);
        const int32_t top = (dh - nh) / 2;
        return Rect{dest.left, top, dest.right, top + nh - 1};
    }
    const auto nw = static_cast<int32_t>(sw * sy);
    const int32_t left = (dw - nw) / 2;
    return Rect{left, dest.top, left + nw - 1, dest.bottom};
}

// The frame's place is taken directly from its position in the parent, which needs no
// caption, menu or border sizes.
void CPreviewFrame::LayoutPreview(int32_t photoWidth, int32_t photoHeight) {
    Layout& g = layout;
    g.previewArea = Rect{x(), y(), parentWidget()->width(), parentWidget()->height()};
    const int32_t rw = g.previewArea.right - g.previewArea.left;
    const int32_t rh = g.previewArea.bottom - g.previewArea.top;
    g.imageRect = Rect{1, 1, rw - 1, rh - 1};
    g.invalidArea = Rect{g.previewArea.left, g.previewArea.top, g.previewArea.right + 1,
                         g.previewArea.bottom + 1};
    g.marginRect1 = g.marginRect2 = g.imageRect;
    if (photoWidth > 0 && photoHeight > 0) {
        g.imageRect = FitRect(g.imageRect, Rect{1, 1, photoWidth, photoHeight});
        if (g.imageRect.left > g.imageRect.top) {
            g.marginRect1.right = g.imageRect.left;
            g.imageRect.top = g.imageRect.top + 1;
            g.marginRect2.left = g.imageRect.right + 1;
        } else {
            g.marginRect1.bottom = g.imageRect.top;
            g.imageRect.left = g.imageRect.left + 1;
            g.marginRect2.top = g.imageRect.bottom + 1;
        }
    } else {
        g.marginRect1 = g.marginRect2 = Rect{-1, -1, -1, -1};
    }
}

void CPreviewFrame::PaintPhoto(QPainter& dc, const DibHeader* dib, int32_t width, int32_t height) {
    const Rect source{0, 0, width - 1, height - 1};
    histogram = Histogram{};
    DrawDib(&dc, dib, &layout.imageRect, &source);
    if (layout.marginRect1.left >= 0) {
        dc.fillRect(ExclusiveToQRect(layout.marginRect1), Qt::white);
        dc.fillRect(ExclusiveToQRect(layout.marginRect2), Qt::white);
    }
    if (histogramOn) DrawHistogram(dc);
}

void CPreviewFrame::ShowHistogram(bool on) {
    histogramOn = on;
    update();
}

// 256 levels across, over a dark veil, in the bottom-right corner inside the border: each
// channel's counts as a translucent area scaled to the highest count of any level.
void CPreviewFrame::DrawHistogram(QPainter& dc) const {
    constexpr int kWidth = 256, kHeight = 80, kInset = 8;
    const QRect box(width() - 1 - kInset - kWidth, height() - 1 - kInset - kHeight, kWidth,
                    kHeight);
    if (box.left() < 1 || box.top() < 1) return;  // no room in a tiny frame
    uint32_t highest = 1;
    for (const auto* levels :
         {&histogram.red, &histogram.green, &histogram.blue, &histogram.luminance}) {
        for (uint32_t count : *levels) highest = std::max(highest, count);
    }
    dc.save();
    dc.fillRect(box, QColor(0, 0, 0, 96));
    dc.setRenderHint(QPainter::Antialiasing);
    dc.setPen(Qt::NoPen);
    const std::pair<const std::array<uint32_t, 256>*, QColor> channels[] = {
        {&histogram.red, QColor(255, 64, 64, 110)},
        {&histogram.green, QColor(64, 255, 64, 110)},
        {&histogram.blue, QColor(64, 96, 255, 110)},
        {&histogram.luminance, QColor(255, 255, 255, 90)},
    };
    for (const auto& [levels, colour] : channels) {
        QPolygonF area;
        area << QPointF(box.left(), box.bottom() + 1);
        for (int level = 0; level < 256; ++level) {
            const double h = static_cast<double>((*levels)[level]) * kHeight / highest;
            area << QPointF(box.left() + level + 0.5, box.bottom() + 1 - h);
        }
        area << QPointF(box.right() + 1, box.bottom() + 1);
        dc.setBrush(colour);
        dc.drawPolygon(area);
    }
    dc.restore();
}

void CPreviewFrame::PaintEmpty(QPainter& dc) {
    dc.fillRect(InclusiveToQRect(layout.imageRect), Qt::white);
}

int CPreviewFrame::DrawDib(QPainter* dc, const DibHeader* dib, const Rect* dest, const Rect* src) {
    if (!dib || dib->width < 1 || dib->height < 1) return 0;
    if (dib->bitCount != 24 && dib->bitCount != 8) return 0;
    const int32_t width = dest->right - dest->left + 1;
    const int32_t height = dest->bottom - dest->top + 1;
    if (width < 1 || height < 1) return 1;  // nothing to cover
    const int32_t slot = stretched[0].dib == dib ? 0 : stretched[1].dib == dib ? 1 : 1 - lastUsed;
    StretchedPreview& s = stretched[slot];
    lastUsed = slot;
    if (s.picture.isNull() || s.dib != dib || s.src != *src || s.width != width ||
        s.height != height) {
        s.picture = StretchDibAveraged(dib, *src, width, height);
        s.dib = dib;
        s.src = *src;
        s.width = width;
        s.height = height;
        s.counted = false;
    }
    if (s.picture.isNull()) return 0;
    dc->drawImage(QPoint(dest->left, dest->top), s.picture);
    if (histogramOn && !s.counted) {
        const QRect inside = rect().adjusted(1, 1, -1, -1);
        s.levels = CountLevels(s.picture, inside.translated(-dest->left, -dest->top));
        s.counted = true;
    }
    histogram = s.levels;
    return 1;
}

void CPreviewFrame::DisplayBitmapChanged(const DibHeader* dib) {
    for (StretchedPreview& s : stretched) {
        if (s.dib == dib) s.dib = nullptr;
    }
}

int CPreviewFrame::MapToPhoto(Point point, int32_t photoWidth, int32_t photoHeight,
                              Point* pixel) const {
    const Layout& g = layout;
    const int32_t shownWidth = g.imageRect.right - g.imageRect.left + 1;
    const int32_t shownHeight = g.imageRect.bottom - g.imageRect.top + 1;
    // A photo fitted to nothing on screen cannot be clicked.
    if (shownWidth < 1 || shownHeight < 1) return 0;
    const double fx = static_cast<double>(point.x - g.previewArea.left - g.imageRect.left) *
                      photoWidth / shownWidth;
    const double fy = static_cast<double>(point.y - g.previewArea.top - g.imageRect.top) *
                      photoHeight / shownHeight;
    // Compared before truncating, so that far-off clicks cannot overflow the conversion; what
    // passes truncates into 0 .. photoWidth - 1 and 0 .. photoHeight - 1.
    if (fx <= -1.0 || fy <= -1.0 || fx >= photoWidth || fy >= photoHeight) return 0;
    *pixel = Point{static_cast<int32_t>(fx), static_cast<int32_t>(fy)};
    return 1;
}
