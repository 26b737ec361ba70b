// The preview: the black frame on the right of the main dialog into which the photo is fitted
// with its aspect ratio kept and centred, white margins beside it. It knows where the photo
// lies on screen, stretches the display bitmap there and maps clicks back to photo pixels; its
// owner decides what is painted and when.
#pragma once

#include <QImage>

#include <cstdint>

#include "app/WindowServices.h"
#include "app/display/DisplayDib.h"

class CPreviewFrame : public BlackFrame {
  public:
    explicit CPreviewFrame(QWidget* parent);

    struct Layout {
        Rect previewArea;  // the frame in its parent's coordinates, right and bottom its size
        Rect invalidArea;  // previewArea with right + 1 and bottom + 1
        Rect imageRect;    // where the photo is drawn, frame coordinates, inclusive
        Rect marginRect1;  // the white bands, right and bottom exclusive; left -1: none
        Rect marginRect2;
    };

    // Fits a photo of that size (0 x 0: none) into a frame that reaches the right and bottom
    // edges of its parent. The frame itself is resized by the owner.
    void LayoutPreview(int32_t photoWidth, int32_t photoHeight);
    const Layout& Geometry() const { return layout; }

    // Fits src's aspect ratio into dest (both inclusive), centred from 0.
    static Rect FitRect(Rect dest, Rect src);

    // Draws the width x height bitmap into imageRect and the margins white.
    void PaintPhoto(QPainter& dc, const DibHeader* dib, int32_t width, int32_t height);
    // The inside white, for no photo.
    void PaintEmpty(QPainter& dc);

    // Stretches src of dib (inclusive, rows from the top) over dest (inclusive) with area
    // averaging. The stretched picture is kept until the bitmap changes (DisplayBitmapChanged)
    // or the rectangles do. Returns 1 when drawn.
    int DrawDib(QPainter* dc, const DibHeader* dib, const Rect* dest, const Rect* src);
    // The bitmap was remade or refilled in place.
    void DisplayBitmapChanged() { ++displayGeneration; }

    // The photo pixel under a point of the parent's coordinates, truncating toward zero.
    // 0 when the point lies outside the shown photo or nothing of it is on screen.
    int MapToPhoto(Point point, int32_t photoWidth, int32_t photoHeight, Point* pixel) const;

  private:
    Layout layout;
    // Counts the bitmaps the pipeline has made, so that a bitmap refilled in place is not
    // mistaken for the one already stretched.
    uint64_t displayGeneration = 0;
    struct StretchedPreview {
        const DibHeader* dib = nullptr;
        uint64_t generation = 0;
        Rect src;
        int32_t width = 0;
        int32_t height = 0;
        QImage picture;
    } stretched;
};
