#include "app/PreviewFrame.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPolygonF>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

QRect InclusiveToQRect(const Rect& r) {
    return QRect(r.left, r.top, r.right - r.left + 1, r.bottom - r.top + 1);
}

// The scales zooming steps through, as the peers offer them.
constexpr double kZoomSteps[] = {1.0 / 16, 1.0 / 12, 1.0 / 8, 1.0 / 6, 1.0 / 4,
                                 1.0 / 3,  1.0 / 2,  2.0 / 3, 1.0,     1.5,
                                 2.0,      3.0,      4.0,     6.0,     8.0};
// How far the pointer may move while pressed before the press is a drag, not a click.
constexpr double kDragDistance = 4;

}  // namespace

CPreviewFrame::CPreviewFrame(QWidget* parent) : BlackFrame(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents, false);
    setFocusPolicy(Qt::ClickFocus);
}

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
    photoW = photoWidth;
    photoH = photoHeight;
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
    KeepInside();
}

double CPreviewFrame::ShownZoom() const {
    if (zoom > 0 || photoW < 1) return zoom;
    return FittedZoom();
}

double CPreviewFrame::FittedZoom() const {
    if (photoW < 1) return 0;
    return static_cast<double>(layout.imageRect.right - layout.imageRect.left + 1) / photoW;
}

void CPreviewFrame::SetZoom(double scale, std::optional<QPointF> anchor) {
    const QPointF at = anchor.value_or(QPointF(width() / 2.0, height() / 2.0));
    // The photo point under the anchor, at the scale shown now.
    const Rect& fit = layout.imageRect;
    const QPointF photoPoint =
        zoom > 0 ? origin + at / zoom
                 : QPointF((at.x() - fit.left) / ShownZoom(), (at.y() - fit.top) / ShownZoom());
    zoom = scale;
    if (zoom > 0) origin = photoPoint - at / zoom;
    KeepInside();
    ViewChanged();
}

double CPreviewFrame::NextZoom(bool up) const {
    const double shown = ShownZoom();
    if (shown <= 0) return zoom;
    // A little slack, so that a scale met by rounding counts as reached.
    if (up) {
        for (double step : kZoomSteps) {
            if (step > shown * 1.0001) return step;
        }
        return zoom;
    }
    for (auto step = std::rbegin(kZoomSteps); step != std::rend(kZoomSteps); ++step) {
        if (*step < shown * 0.9999) return *step > FittedZoom() * 1.0001 ? *step : 0;
    }
    return 0;
}

void CPreviewFrame::PanBy(QPointF distance) {
    if (zoom <= 0) return;
    origin -= distance / zoom;
    KeepInside();
    ViewChanged();
}

void CPreviewFrame::KeepInside() {
    if (zoom <= 0 || photoW < 1 || photoH < 1) return;
    auto keep = [](double& start, double frame, double photo) {
        if (photo <= frame) {
            start = (photo - frame) / 2;
        } else {
            start = std::clamp(start, 0.0, photo - frame);
        }
    };
    double x = origin.x(), y = origin.y();
    keep(x, width() / zoom, photoW);
    keep(y, height() / zoom, photoH);
    origin = QPointF(x, y);
}

void CPreviewFrame::ViewChanged() {
    if (viewChanged) viewChanged();
}

void CPreviewFrame::PaintPhoto(QPainter& dc, const QImage& picture) {
    if (picture.isNull()) {
        dc.fillRect(rect(), Qt::white);
    } else {
        dc.drawImage(QPoint(0, 0), picture);
        // A picture made for an earlier size leaves the rest white.
        if (picture.width() < width())
            dc.fillRect(picture.width(), 0, width() - picture.width(), height(), Qt::white);
        if (picture.height() < height())
            dc.fillRect(0, picture.height(), width(), height() - picture.height(), Qt::white);
    }
    if (histogramOn) DrawHistogram(dc);
}

void CPreviewFrame::ShowHistogram(bool on) {
    histogramOn = on;
    update();
}

void CPreviewFrame::SetHistogram(const std::optional<Histogram>& levels) {
    histogram = levels.value_or(Histogram{});
}

// 256 levels across, over a dark veil, in the bottom-right corner inside the border: each
// channel's counts as a translucent area scaled to the highest count of any level.
QRect CPreviewFrame::HistogramBox() const {
    constexpr int kWidth = 256, kHeight = 80, kInset = 8;
    int boxWidth = kWidth, boxHeight = kHeight;
    if (zoom == 0) {
        const int beside = width() - 1 - layout.imageRect.right - 1 - 2 * kInset;
        const int below = height() - 1 - layout.imageRect.bottom - 1 - 2 * kInset;
        const bool fits = below >= kHeight || beside >= kWidth;
        if (!fits && beside >= kWidth / 2)
            boxWidth = beside;
        else if (!fits && below >= kHeight / 2)
            boxHeight = below;
    }
    return QRect(width() - 1 - kInset - boxWidth, height() - 1 - kInset - boxHeight, boxWidth,
                 boxHeight);
}

void CPreviewFrame::DrawHistogram(QPainter& dc) const {
    const QRect box = HistogramBox();
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
            const double h = static_cast<double>((*levels)[level]) * box.height() / highest;
            area << QPointF(box.left() + (level + 0.5) * box.width() / 256, box.bottom() + 1 - h);
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

int CPreviewFrame::MapToPhoto(Point point, int32_t photoWidth, int32_t photoHeight,
                              Point* pixel) const {
    const Layout& g = layout;
    double fx, fy;
    if (zoom > 0) {
        fx = origin.x() + (point.x - g.previewArea.left) / zoom;
        fy = origin.y() + (point.y - g.previewArea.top) / zoom;
        // Below the photo's first pixel, truncation toward zero would still give pixel 0.
        if (fx < 0 || fy < 0) return 0;
    } else {
        const int32_t shownWidth = g.imageRect.right - g.imageRect.left + 1;
        const int32_t shownHeight = g.imageRect.bottom - g.imageRect.top + 1;
        // A photo fitted to nothing on screen cannot be clicked.
        if (shownWidth < 1 || shownHeight < 1) return 0;
        fx = static_cast<double>(point.x - g.previewArea.left - g.imageRect.left) * photoWidth /
             shownWidth;
        fy = static_cast<double>(point.y - g.previewArea.top - g.imageRect.top) * photoHeight /
             shownHeight;
    }
    // Compared before truncating, so that far-off clicks cannot overflow the conversion; what
    // passes truncates into 0 .. photoWidth - 1 and 0 .. photoHeight - 1.
    if (fx <= -1.0 || fy <= -1.0 || fx >= photoWidth || fy >= photoHeight) return 0;
    *pixel = Point{static_cast<int32_t>(fx), static_cast<int32_t>(fy)};
    return 1;
}

QPointF CPreviewFrame::PhotoToFrame(Point pixel, int32_t photoWidth, int32_t photoHeight) const {
    if (zoom > 0) return (QPointF(pixel.x + 0.5, pixel.y + 0.5) - origin) * zoom;
    const Rect& shown = layout.imageRect;
    return QPointF(shown.left + (pixel.x + 0.5) * (shown.right - shown.left + 1) / photoWidth,
                   shown.top + (pixel.y + 0.5) * (shown.bottom - shown.top + 1) / photoHeight);
}

void CPreviewFrame::PaintSpotMark(QPainter& dc, QPointF at) const {
    dc.save();
    dc.setRenderHint(QPainter::Antialiasing);
    dc.setBrush(Qt::NoBrush);
    dc.setPen(QPen(Qt::black, 3));
    dc.drawEllipse(at, 6, 6);
    dc.setPen(QPen(Qt::white, 1.5));
    dc.drawEllipse(at, 6, 6);
    dc.restore();
}

Point CPreviewFrame::InParent(QPointF at) const {
    return Point{x() + static_cast<int32_t>(at.x()), y() + static_cast<int32_t>(at.y())};
}

void CPreviewFrame::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return BlackFrame::mousePressEvent(event);
    const QPointF at = event->position();
    if (zoom <= 0) {
        if (clicked) clicked(InParent(at));
        return;
    }
    pressedAt = at;
    lastDragAt = at;
    panning = false;
}

void CPreviewFrame::mouseMoveEvent(QMouseEvent* event) {
    if (!pressedAt || !(event->buttons() & Qt::LeftButton)) return;
    const QPointF at = event->position();
    if (!panning && (at - *pressedAt).manhattanLength() < kDragDistance) return;
    if (!panning) setCursor(Qt::ClosedHandCursor);
    panning = true;
    PanBy(at - lastDragAt);
    lastDragAt = at;
}

void CPreviewFrame::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !pressedAt) return;
    const QPointF at = *pressedAt;
    pressedAt.reset();
    if (panning) {
        unsetCursor();
        panning = false;
        return;
    }
    if (clicked) clicked(InParent(at));
}

void CPreviewFrame::wheelEvent(QWheelEvent* event) {
    if (!(event->modifiers() & Qt::ControlModifier) || event->angleDelta().y() == 0)
        return BlackFrame::wheelEvent(event);
    if (wheelZoom) wheelZoom(event->angleDelta().y() > 0, event->position());
    event->accept();
}

void CPreviewFrame::keyPressEvent(QKeyEvent* event) {
    // A tenth of the frame a press, as far as the photo reaches.
    const double stepX = width() / 10.0, stepY = height() / 10.0;
    QPointF distance;
    switch (event->key()) {
        case Qt::Key_Left:
            distance = QPointF(stepX, 0);
            break;
        case Qt::Key_Right:
            distance = QPointF(-stepX, 0);
            break;
        case Qt::Key_Up:
            distance = QPointF(0, stepY);
            break;
        case Qt::Key_Down:
            distance = QPointF(0, -stepY);
            break;
        default:
            return BlackFrame::keyPressEvent(event);
    }
    if (zoom <= 0) return BlackFrame::keyPressEvent(event);
    PanBy(distance);
    event->accept();
}
