// Loading a photo file into a PT_HSV16 image, by the decoder its first bytes name in the table of
// formats, whatever the file is called: TIFF files go to the program's own reader first and to
// libtiff when it refuses them, both keeping 16 bits per channel; plain JPEGs go to libjpeg band
// by band at 8 bits per channel; everything else, and every JPEG file libjpeg's band decoder does
// not take, goes to Qt's reader of the format, which keeps 16 bits where it delivers them (16-bit
// PNG) and gives 8 otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imageio/PhotoFile.h"

class CImgBuff;
struct PhotoOrigin;

// Loads the photo at path (bytes as the file system holds them) into target as PT_HSV16.
// Returns 1 when loaded, 0 on failure with the reason in error (may be null). The file is opened
// once and must be a regular file; a picture beyond limits or the memory available is refused
// from its header, before it is decoded. On failure the target is left as it was when the file
// could not be decoded at all, and is empty when decoding got as far as making the buffer; it
// never holds a partial or non-HSV image. When loaded, origin (if not null) receives the file's
// metadata, colour profile and precision, for saving the corrected photo; on failure it is left
// as it was. A photo that decodes only in part (a file cut short) fails as Damaged, naming the
// rows missing, unless limits.allowDamaged lets it load with origin->damagedRows set. A file whose
// first bytes are those of no format in the table is NotAPhoto, whatever its name. Every photo
// arrives upright as its orientation says: a JPEG's EXIF, a TIFF's tag, a PNG's or WebP's EXIF
// chunk.
int LoadPhoto(const char* path, CImgBuff* target, PhotoError* error = nullptr,
              const PhotoLoadLimits& limits = {}, PhotoOrigin* origin = nullptr);

// Rows of a decoded picture converted into a PT_HSV16 buffer of the same size. Each source row is
// either 32-bit 0xAARRGGBB pixels (alpha ignored) or 8-bit grey.
struct DecodedRowsContext {
    const uint8_t* bits;
    ptrdiff_t bytesPerLine;
    int32_t width;
    int grey;               // 1: 8-bit grey rows, 0: 32-bit rows
    uint16_t* destination;  // rows of width H, S, V triples
};

void DecodedRowsToHsvTask(void* context, uint32_t first, uint32_t count);
