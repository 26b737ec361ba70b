// Shrinking a picture of display colours for the preview with an area-averaging filter: every
// output pixel is the mean of the source area it covers, weighted by how much of each source
// pixel lies inside, so a large photo shrunk many times does not alias.
#pragma once

#include <QImage>
#include <QRect>

#include <climits>
#include <cstdint>
#include <functional>
#include <vector>

#include "image/ColorRows.h"

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

// Averages the width x height pixels of src (blue, green, red bytes) into the rectangle dest of
// out, an RGB32 picture that holds it; only dest's columns left of columns (from dest's left)
// when columns is given, which read only src's columns left of StretchSourceColumns. stop is
// asked between rows; false when it said stop, with dest partly written.
bool StretchAveraged(const BgrRows& src, int32_t width, int32_t height, QImage* out,
                     const QRect& dest, const std::function<bool()>& stop,
                     int32_t columns = INT32_MAX);

// How many of in source pixels the first columns of out output pixels read.
int32_t StretchSourceColumns(int32_t in, int32_t out, int32_t columns);
