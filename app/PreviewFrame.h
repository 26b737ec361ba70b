// The preview: the black frame on the right of the main dialog into which the photo is fitted
// with its aspect ratio kept and centred, white margins beside it. It knows where the photo
// lies on screen, stretches the display bitmap there and maps clicks back to photo pixels; its
// owner decides what is painted and when.
#pragma once

#include <QImage>

#include <array>
#include <cstdint>

#include "app/WindowServices.h"
#include "app/display/DisplayDib.h"

// How many pixels of a picture have each level of red, green, blue and luminance
// ((299 R + 587 G + 114 B + 500) / 1000).
struct Histogram {
    std::array<uint32_t, 256> red{};
    std::array<uint32_t, 256> green{};
    std::array<uint32_t, 256> blue{};
    std::array<uint32_t, 256> luminance{};
};

Histogram CountLevels(const QImage& picture, const QRect& area);

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

    // Draws the width x height bitmap into imageRect and the margins white, and the histogram
    // of what was drawn when it is on.
    void PaintPhoto(QPainter& dc, const DibHeader* dib, int32_t width, int32_t height);
    void ShowHistogram(bool on);
    // The levels of the part of the picture last drawn, with the histogram on, that shows
    // inside the border.
    const Histogram& ShownHistogram() const { return histogram; }
    // The inside white, for no photo.
    void PaintEmpty(QPainter& dc);

    // Stretches src of dib (inclusive, rows from the top) over dest (inclusive) with area
    // averaging. The stretched picture is kept until the bitmap changes (DisplayBitmapChanged)
    // or the rectangles do. Returns 1 when drawn.
    int DrawDib(QPainter* dc, const DibHeader* dib, const Rect* dest, const Rect* src);
    // The bitmap at dib was made or refilled in place: what was stretched from it is stale.
    void DisplayBitmapChanged(const DibHeader* dib);

    // The photo pixel under a point of the parent's coordinates, truncating toward zero.
    // 0 when the point lies outside the shown photo or nothing of it is on screen.
    int MapToPhoto(Point point, int32_t photoWidth, int32_t photoHeight, Point* pixel) const;

  private:
    void DrawHistogram(QPainter& dc) const;

    Layout layout;
    // The last two pictures stretched, so that switching between the corrected and the
    // uncorrected photo stretches neither again; the older one is replaced.
    struct StretchedPreview {
        const DibHeader* dib = nullptr;
        Rect src;
        int32_t width = 0;
        int32_t height = 0;
        QImage picture;
        Histogram levels;
        bool counted = false;
    } stretched[2];
    int32_t lastUsed = 0;
    bool histogramOn = false;
    Histogram histogram;
};
