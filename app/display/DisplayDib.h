// The display bitmap: a packed bottom-up bitmap (24-bit BGR or 8-bit grey with a grey palette)
// made from an image buffer, which the preview paints.
//
// Memory block (from AllocPixelMemory): a 32-bit block size, then the 40-byte DibHeader (the
// pointer handed around), then for 8-bit bitmaps 256 four-byte palette entries (blue, green,
// red, 0), then the pixel rows, the image's last row first, each padded to a multiple of 4
// bytes. All fields are little-endian.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "image/ColorRows.h"
#include "image/ImgBuff.h"

struct DibHeader {
    uint32_t headerSize;  // always 40
    int32_t width;
    int32_t height;        // positive: rows stored bottom-up
    uint16_t planes;       // always 1
    uint16_t bitCount;     // 24 or 8
    uint32_t compression;  // always 0: uncompressed
    uint32_t imageSize;    // stride x height
    int32_t xPixelsPerMeter;
    int32_t yPixelsPerMeter;
    uint32_t colorsUsed;  // 0 for 24-bit, 256 for 8-bit
    uint32_t colorsImportant;
};

// The fields are stored natively; the layout is defined as little-endian.
static_assert(std::endian::native == std::endian::little, "little-endian host");
static_assert(sizeof(DibHeader) == 40, "the header is exactly 40 bytes");
static_assert(offsetof(DibHeader, planes) == 12 && offsetof(DibHeader, compression) == 16 &&
                  offsetof(DibHeader, colorsImportant) == 36,
              "header fields at their file offsets");

inline constexpr uint32_t kDibPaletteBytes = 256 * 4;

// Bytes per bitmap row: 3 or 1 byte per pixel, rounded up to a multiple of 4.
inline uint32_t DibStride(int32_t width, uint16_t bitCount) {
    return (static_cast<uint32_t>(width) * (bitCount / 8u) + 3u) & ~3u;
}

// The 256 palette entries of an 8-bit bitmap (null for a 24-bit one).
inline const uint8_t* DibPalette(const DibHeader* dib) {
    return dib->bitCount == 8 ? reinterpret_cast<const uint8_t*>(dib) + sizeof(DibHeader) : nullptr;
}

inline uint8_t* DibPalette(DibHeader* dib) {
    return const_cast<uint8_t*>(DibPalette(static_cast<const DibHeader*>(dib)));
}

// The first stored row, which is the image's last row.
inline const uint8_t* DibPixels(const DibHeader* dib) {
    return reinterpret_cast<const uint8_t*>(dib) + sizeof(DibHeader) +
           (dib->bitCount == 8 ? kDibPaletteBytes : 0);
}

inline uint8_t* DibPixels(DibHeader* dib) {
    return const_cast<uint8_t*>(DibPixels(static_cast<const DibHeader*>(dib)));
}

// Converts image into a bitmap. old (may be null) is refilled in place and returned when it has
// the image's size and the right kind for its type; otherwise it is released and a new bitmap
// is made. On failure (empty image, no memory, a size too large) old is released too and the
// result is null.
DibHeader* MakeDisplayDib(CImgBuff* image, DibHeader* old);

// A 24-bit bitmap of width x height whose pixel rows the caller fills (through DibRows), for a
// pass that writes the display colours itself. old (may be null) is returned when it has that
// size and kind, else released. Null on failure or for an empty size.
DibHeader* ReserveDisplayDib(int32_t width, int32_t height, DibHeader* old);

// The pixel rows of a 24-bit bitmap, image row 0 (the last stored row) first.
BgrRows DibRows(DibHeader* dib);

// Releases a bitmap made by MakeDisplayDib; null is allowed.
void FreeDisplayDib(DibHeader* dib);

struct DisplayDibContext {
    int32_t width;
    int32_t height;
    uint32_t stride;
    CImgBuff* image;
    DibHeader* dib;
};

// Row tasks over image rows, each writing bitmap row height - 1 - y for image row y.
void DibRowsRgb8Task(void* context, uint32_t first, uint32_t count);
void DibRowsRgb16Task(void* context, uint32_t first, uint32_t count);
void DibRowsHsv16Task(void* context, uint32_t first, uint32_t count);
void DibRowsGrayTask(void* context, uint32_t first, uint32_t count);
