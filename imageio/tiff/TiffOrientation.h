// Turning a TIFF picture decoded in stored order upright, as its Orientation tag says.
#pragma once

#include <cstdint>

#include "imageio/tiff/TiffDirectory.h"

class C_ImgBuff;

// How the stored rows map onto the upright picture: upright pixel (x, y) is stored pixel (u, v),
// where (u, v) is (y, x) when transposed and (x, y) otherwise, then mirrored as flagged.
struct TiffOrientation {
    bool transposed;
    bool flipX;  // u counts from the right
    bool flipY;  // v counts from the bottom
};

// The orientation of ifd; orientation 1 when the tag is absent or not a SHORT.
TiffOrientation ReadOrientation(const TiffIfd* ifd);
bool IsUpright(const TiffOrientation& o);

// Fills upright, made with the turned size, from the PT_HSV16 picture stored.
void OrientRows(const C_ImgBuff* stored, C_ImgBuff* upright, const TiffOrientation& o);

// Turns a PT_HSV16 image decoded in stored order upright as the Orientation value says (1..8,
// anything else counts as 1). Returns 0, with image as it was, when memory runs short.
int TurnTiffUpright(C_ImgBuff* image, uint16_t orientation);
