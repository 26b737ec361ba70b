// JPEG decoding through libjpeg straight into a PT_HSV16 buffer, band by band: each band of
// decoded rows becomes HSV on the worker pool while it is still in cache, so no whole 8-bit copy
// of the photo is ever held. A photo stored turned (EXIF Orientation 2 to 8) is written straight
// to its upright places. It takes only the files whose pixels it gives exactly as Qt's JPEG
// reader with automatic orientation does: 8-bit grey, YCbCr or RGB, decoded without a single
// warning. Everything else is left to the caller's general decoder.
#pragma once

#include "imageio/PhotoFile.h"

class C_ImgBuff;

enum class JpegDecoding {
    Decoded,   // image holds the photo
    Refused,   // error says why (too large, no memory); image is unchanged
    NotTaken,  // not a file this decoder takes, or damaged; image is unchanged, error untouched
};

// Decodes the JPEG open as fd, read from its start. The upright size is checked against limits
// before any pixel memory is taken.
JpegDecoding DecodeJpegToHsv(int fd, C_ImgBuff* image, const PhotoLoadLimits& limits,
                             PhotoError* error);
