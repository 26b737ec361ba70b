#include "app/PreviewFrame.h"

#include <QPainter>

#include "app/PreviewStretch.h"

namespace {

QRect InclusiveToQRect(const Rect& r) {
    return QRect(r.left, r.top, r.right - r.left + 1, r.bottom - r.top + 1);
}

QRect ExclusiveToQRect(const Rect& r) {
    return QRect(r.left, r.top, r.right - r.left, r.bottom - r.top);
}

}  // namespace

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
    DrawDib(&dc, dib, &layout.imageRect, &source);
    if (layout.marginRect1.left >= 0) {
        dc.fillRect(ExclusiveToQRect(layout.marginRect1), Qt::white);
        dc.fillRect(ExclusiveToQRect(layout.marginRect2), Qt::white);
    }
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
    if (stretched.picture.isNull() || stretched.dib != dib ||
        stretched.generation != displayGeneration || stretched.src != *src ||
        stretched.width != width || stretched.height != height) {
        stretched.picture = StretchDibAveraged(dib, *src, width, height);
        stretched.dib = dib;
        stretched.generation = displayGeneration;
        stretched.src = *src;
        stretched.width = width;
        stretched.height = height;
    }
    if (stretched.picture.isNull()) return 0;
    dc->drawImage(QPoint(dest->left, dest->top), stretched.picture);
    return 1;
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
