// Shrinking or enlarging part of a display bitmap for the preview with an area-averaging
// filter: every output pixel is the mean of the source area it covers, weighted by how much of
// each source pixel lies inside, so a large photo shrunk many times does not alias.
#pragma once

#include <QImage>

#include <cstdint>
#include <vector>

#include "app/WindowServices.h"
#include "app/display/DisplayDib.h"

// src is inclusive, in picture rows from the top; it is clipped to the bitmap. Returns a
// width x height RGB32 picture, or a null one when the bitmap, the clipped source or the
// requested size is empty or the bitmap is neither 24- nor 8-bit.
QImage StretchDibAveraged(const DibHeader* dib, const Rect& src, int32_t width, int32_t height);

// Which source pixels one output pixel along an axis covers, and how much of each: source
// pixel i covers [i * out, (i + 1) * out) and output pixel k covers [k * in, (k + 1) * in), in
// units of 1 / out source pixels; the weights of one output pixel add up to in.
struct StretchAxis {
    std::vector<int32_t> first;    // first source index, per output pixel
    std::vector<int32_t> count;    // number of source pixels, per output pixel
    std::vector<int32_t> offset;   // start in weight, per output pixel
    std::vector<uint32_t> weight;  // overlaps, all output pixels one after another
};

StretchAxis MakeStretchAxis(int32_t in, int32_t out);

struct StretchContext {
    const DibHeader* dib;
    const uint8_t* palette;  // 8-bit bitmaps: 256 entries blue, green, red, 0
    int32_t srcLeft;
    int32_t srcTop;  // picture row of the first source row
    const StretchAxis* columns;
    const StretchAxis* rows;
    uint64_t total;  // source width x source height in weight units
    QImage* out;
};

// Items are output rows.
void StretchRowsTask(void* context, uint32_t first, uint32_t count);
