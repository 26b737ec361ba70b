// JPEG decoding through libjpeg straight into a PT_HSV16 buffer, band by band: each band of
// decoded rows becomes HSV on the worker pool while it is still in cache, so no whole 8-bit copy
// of the photo is ever held. A photo stored turned (EXIF Orientation 2 to 8) is written straight
// to its upright places. It takes only the files whose pixels it gives exactly as Qt's JPEG
// reader with automatic orientation does: 8-bit grey, YCbCr or RGB, decoded without a single
// warning. Everything else is left to the caller's general decoder.
#pragma once

#include <cstdint>
#include <memory>

#include "imageio/PhotoFile.h"

class C_ImgBuff;

enum class JpegDecoding {
    Decoded,   // image holds the photo
    Refused,   // error says why (too large, no memory, costlier than its picture); image is
               // unchanged
    NotTaken,  // not a file this decoder takes, or damaged; image is unchanged, error untouched
};

// Decodes the JPEG open as fd, read from its start. The upright size is checked against limits
// before any pixel memory is taken. Any JPEG, taken or not, is Refused as Damaged when a colour
// component is coded in more scans than a photo is stored in, or when its coded data is too short
// to hold its picture: decoding either would cost far more than the file's size warrants.
JpegDecoding DecodeJpegToHsv(int fd, C_ImgBuff* image, const PhotoLoadLimits& limits,
                             PhotoError* error);

struct JpegDecompression;

// An upright JPEG of a kind DecodeJpegToHsv takes, read band by band on demand into PT_HSV16 rows
// with the very pixels DecodeJpegToHsv gives: for photos corrected and saved a band at a time,
// never whole in memory.
class JpegBandReader {
  public:
    JpegBandReader();
    ~JpegBandReader();
    JpegBandReader(const JpegBandReader&) = delete;
    JpegBandReader& operator=(const JpegBandReader&) = delete;

    // Reads the header of the JPEG open as fd, from the file's start. Decoded: ready to read;
    // NotTaken: not a JPEG the band decoder takes, or stored turned; Refused: error says why (the
    // limits are checked as DecodeJpegToHsv checks them).
    JpegDecoding Open(int fd, const PhotoLoadLimits& limits, PhotoError* error);
    int32_t Width() const;
    int32_t Height() const;
    // Decodes the photo's next rows into band (PT_HSV16, Width() wide), as many as it is high.
    // False when they are not there or the file turns out damaged (libjpeg warned or failed):
    // DecodeJpegToHsv would not have taken it.
    bool Read(C_ImgBuff* band);

  private:
    std::unique_ptr<JpegDecompression> d_;
};

// The quality the JPEG open as fd was saved with, read from its first quantisation table as the
// libjpeg quality whose scaled standard table lies closest to it (exact for files libjpeg made);
// -1 when fd holds no readable JPEG.
int SourceJpegQuality(int fd);
