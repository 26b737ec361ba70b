// Writing RGB TIFF files straight to their device: strips (LZW by default, with the predictor)
// encoded by libtiff a few at a time on every worker, so that neither a whole encoded file nor a
// whole copy of the picture is held. The first directory, with the colour profile and metadata,
// is made apart from the pixels and put at the start of the file, so that adding metadata never
// rewrites them.
#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "imageio/PhotoFile.h"

class QIODevice;

// How the strips are compressed; LZW and Deflate with the horizontal predictor.
enum class TiffCompression { None, Lzw, Deflate };

struct TiffPicture {
    uint32_t width = 0;
    uint32_t height = 0;
    int bits = 8;  // per sample: 8 or 16, native byte order
    TiffCompression compression = TiffCompression::Lzw;
    // The density as QImage holds it, written in whole dots per inch or per centimetre; 0 for none.
    int dotsPerMeterX = 0;
    int dotsPerMeterY = 0;
};

// Writes rows first .. first + count - 1 of the picture as interleaved R, G, B samples, row
// first + i at rows + i * stride. Called from several workers of the pool at once.
using MakeTiffRows =
    std::function<void(uint32_t first, uint32_t count, uint8_t* rows, size_t stride)>;

// Adds the colour profile and metadata to tiff, a complete TIFF file that holds only the picture's
// layout. Returns 1, or 0 with reason.
using AddTiffMetadata = std::function<int(QByteArray* tiff, std::string* reason)>;

// Writes the picture to device (random access, empty) as a TIFF file. Returns 1, or 0 with error;
// a failed write of the device itself leaves error to its caller, which knows the system's reason.
int WriteRgbTiff(const TiffPicture& picture, const MakeTiffRows& makeRows,
                 const AddTiffMetadata& addMetadata, QIODevice* device, PhotoError* error);
