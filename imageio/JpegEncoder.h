// JPEG encoding of 8-bit pictures through libjpeg, fed band by band: while one band of rows is
// encoded, the next one is made on another thread, so that making the rows costs little more
// than encoding them and no whole 8-bit copy of the picture is ever held. The bytes are those Qt's
// JPEG writer gives for the same picture held in a QImage (Format_RGB888 or Format_Grayscale8)
// with the same quality and density: baseline, libjpeg's default 4:2:0 sampling and standard
// tables scaled to the quality, a JFIF header, and no comment or profile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "imageio/PhotoFile.h"

class QByteArray;

// Rows the encoder asks for at a time (the last band of a picture fewer): small enough that a
// band's rows are still in cache when the encoder reads them, large enough that handing bands
// over costs little next to making them (64 rows measured slower).
inline constexpr uint32_t kJpegBandRows = 128;

// JPEG quality runs from kLowestJpegQuality to kHighestJpegQuality; kDefaultJpegQuality is the
// one Qt's writer uses, which photos were saved at before the quality could be chosen.
inline constexpr int kLowestJpegQuality = 1;
inline constexpr int kHighestJpegQuality = 100;
inline constexpr int kDefaultJpegQuality = 75;

struct JpegPicture {
    int32_t width = 0;
    int32_t height = 0;
    bool grey = false;  // one byte a pixel; otherwise R, G, B
    int quality = -1;   // -1: kDefaultJpegQuality
    // The density as QImage holds it; the header gives it in dots per inch or per centimetre,
    // whichever rounds closer, as Qt's writer chooses.
    int dotsPerMeterX = 0;
    int dotsPerMeterY = 0;
};

// Writes rows first .. first + count - 1 of the picture, row first + i at rows + i * stride, and
// returns true; false stops the encoding. Called on a thread of the encoder's own, one band at a
// time from the top, while the band before is encoded; it may spread its work over the worker
// pool.
using MakeJpegRows =
    std::function<bool(uint32_t first, uint32_t count, uint8_t* rows, size_t stride)>;

// Puts the encoded picture into encoded. Returns 1, or 0 with encoded unspecified and error set
// (libjpeg's refusal in its own words, or no memory), unless makeRows stopped the encoding: then
// error is left to it.
int EncodeJpeg(const JpegPicture& picture, const MakeJpegRows& makeRows, QByteArray* encoded,
               PhotoError* error);
