// The preview: the black frame on the right of the main dialog. Fitted (the default), the photo
// is fitted into it with its aspect ratio kept and centred, white margins beside it; zoomed, it
// shows part of the photo at a chosen scale and pans by dragging and by the arrow keys. It knows
// where the photo lies on screen, paints the picture its owner hands it and maps clicks back to
// photo pixels; its owner decides what is rendered and when.
#pragma once

#include <QImage>
#include <QPointF>

#include <cstdint>
#include <functional>
#include <optional>

#include "app/PreviewRenderer.h"
#include "app/WindowServices.h"

class CPreviewFrame : public BlackFrame {
  public:
    explicit CPreviewFrame(QWidget* parent);

    struct Layout {
        Rect previewArea;  // the frame in its parent's coordinates, right and bottom its size
        Rect invalidArea;  // previewArea with right + 1 and bottom + 1
        Rect imageRect;    // where the fitted photo is drawn, frame coordinates, inclusive
        Rect marginRect1;  // the white bands, right and bottom exclusive; left -1: none
        Rect marginRect2;
    };

    // Fits a photo of that size (0 x 0: none) into a frame that reaches the right and bottom
    // edges of its parent, and keeps a zoomed view inside the photo. The frame itself is
    // resized by the owner.
    void LayoutPreview(int32_t photoWidth, int32_t photoHeight);
    const Layout& Geometry() const { return layout; }

    // Fits src's aspect ratio into dest (both inclusive), centred from 0.
    static Rect FitRect(Rect dest, Rect src);

    // The scale: 0 fitted, else device pixels per photo pixel.
    double Zoom() const { return zoom; }
    // The scale the photo shows at, fitted or not, and the fitted one.
    double ShownZoom() const;
    double FittedZoom() const;
    // The photo coordinates at the frame's top-left corner, zoomed.
    QPointF ViewOrigin() const { return origin; }
    // Zooms to scale (0: fitted) keeping the photo point under anchor (frame coordinates; the
    // frame's centre when none) where it is.
    void SetZoom(double scale, std::optional<QPointF> anchor = std::nullopt);
    // The next scale up or down from the shown one; down from the first scale above the fitted
    // one is fitted.
    double NextZoom(bool up) const;
    // Moves a zoomed view by a distance on screen, the photo following the pointer.
    void PanBy(QPointF distance);

    // Called when the shown part or scale changed; the owner renders anew.
    std::function<void()> viewChanged;
    // A click on the photo (parent coordinates): at once when fitted, on release without a drag
    // when zoomed, where a drag pans.
    std::function<void(Point)> clicked;
    // Ctrl + wheel: one step in (true) or out around the pointer.
    std::function<void(bool, QPointF)> wheelZoom;

    // Paints the picture (white where there is none) and the histogram when it is on.
    void PaintPhoto(QPainter& dc, const QImage& picture);
    void ShowHistogram(bool on);
    bool HistogramShown() const { return histogramOn; }
    // The levels the histogram shows.
    void SetHistogram(const std::optional<Histogram>& levels);
    const Histogram& ShownHistogram() const { return histogram; }
    // Where the histogram is drawn: the bottom-right corner, in the white band beside or below a
    // fitted photo when one holds it (narrowed or lowered to half its size at most), else over
    // the photo.
    QRect HistogramBox() const;
    // The inside white, for no photo.
    void PaintEmpty(QPainter& dc);

    // The photo pixel under a point of the parent's coordinates, truncating toward zero.
    // 0 when the point lies outside the shown photo or nothing of it is on screen.
    int MapToPhoto(Point point, int32_t photoWidth, int32_t photoHeight, Point* pixel) const;
    // The centre of a photo pixel in frame coordinates, where MapToPhoto finds that pixel.
    QPointF PhotoToFrame(Point pixel, int32_t photoWidth, int32_t photoHeight) const;
    // A ring around the picked spot's pixel, seen on light and dark photos alike.
    void PaintSpotMark(QPainter& dc, QPointF at) const;

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void DrawHistogram(QPainter& dc) const;
    // Keeps a zoomed view on the photo: centred where the photo is smaller than the frame.
    void KeepInside();
    void ViewChanged();
    // A point of the frame in its parent's coordinates, truncated.
    Point InParent(QPointF at) const;

    Layout layout;
    int32_t photoW = 0;
    int32_t photoH = 0;
    double zoom = 0;
    QPointF origin;
    std::optional<QPointF> pressedAt;  // where the left button went down, frame coordinates
    QPointF lastDragAt;
    bool panning = false;
    bool histogramOn = false;
    Histogram histogram;
};
