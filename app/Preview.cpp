// The preview: where the fitted photo and its white margins go inside the frame, and painting.
#include <QPainter>

#include "app/LumivexDlg.h"
#include "app/PreviewStretch.h"

namespace {

bool HoldsImage(const CImgBuff& image) {
    return image.buffer->GetInfo(nullptr, nullptr, nullptr, nullptr) != 0;
}

QRect InclusiveToQRect(const Rect& r) {
    return QRect(r.left, r.top, r.right - r.left + 1, r.bottom - r.top + 1);
}

QRect ExclusiveToQRect(const Rect& r) {
    return QRect(r.left, r.top, r.right - r.left, r.bottom - r.top);
}

}  // namespace

Rect CLumivexDlg::FitRect(Rect dest, Rect src) {
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

// The frame's place in the client area is taken directly from its position there, which
// needs no caption, menu or border sizes.
void CLumivexDlg::LayoutPreview() {
    const int32_t cw = client->width();
    const int32_t ch = client->height();
    previewArea = Rect{frameOffset.x, frameOffset.y, cw, ch};
    const int32_t rw = previewArea.right - previewArea.left;
    const int32_t rh = previewArea.bottom - previewArea.top;
    imageRect = Rect{1, 1, rw - 1, rh - 1};
    invalidArea =
        Rect{previewArea.left, previewArea.top, previewArea.right + 1, previewArea.bottom + 1};
    marginRect1 = marginRect2 = imageRect;
    int32_t w = 0, h = 0;
    if (resultImage.buffer->GetInfo(&w, &h, nullptr, nullptr)) {
        imageRect = FitRect(imageRect, Rect{1, 1, w, h});
        if (imageRect.left > imageRect.top) {
            marginRect1.right = imageRect.left;
            imageRect.top = imageRect.top + 1;
            marginRect2.left = imageRect.right + 1;
        } else {
            marginRect1.bottom = imageRect.top;
            imageRect.left = imageRect.left + 1;
            marginRect2.top = imageRect.bottom + 1;
        }
    } else {
        marginRect1 = marginRect2 = Rect{-1, -1, -1, -1};
    }
}

void CLumivexDlg::OnSize(int32_t type, int32_t, int32_t) {
    if (type == kSizeMinimized) return;
    LayoutPreview();
    if (previewFrame) {
        previewFrame->resize(previewArea.right - previewArea.left,
                             previewArea.bottom - previewArea.top);
    }
    InvalidateClientRect(previewArea, 0);
}

void CLumivexDlg::OnPaint(QPainter& frameDc) {
    if (HoldsImage(sourceImage)) {
        ApplyAdjustments(useProxy);
        int32_t w = 0, h = 0;
        (useProxy ? proxySource : sourceImage).buffer->GetInfo(&w, &h, nullptr, nullptr);
        const Rect source{0, 0, w - 1, h - 1};
        DrawDib(&frameDc, displayDib, &imageRect, &source);
        if (marginRect1.left >= 0) {
            frameDc.fillRect(ExclusiveToQRect(marginRect1), Qt::white);
            frameDc.fillRect(ExclusiveToQRect(marginRect2), Qt::white);
        }
    } else {
        frameDc.fillRect(InclusiveToQRect(imageRect), Qt::white);
    }
}

int CLumivexDlg::DrawDib(QPainter* dc, DibHeader* dib, const Rect* dest, const Rect* src) {
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
