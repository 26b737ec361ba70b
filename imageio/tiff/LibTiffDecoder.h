// Every TIFF the program's own reader refuses goes through libtiff: strips or tiles with any
// compression libtiff decodes, grey (1 to 16 bits), palette, RGB and CMYK at 8 or 16 bits, grey,
// RGB and CMYK in 32-bit floating point (0 to 1, clamped), interleaved or separate planes, extra
// (alpha) samples dropped; first image only. Samples reach
// PT_HSV16 as the 16-bit setters take them (8-bit widened by 257), so a compressed file gives
// exactly the buffer its uncompressed copy gives. Kinds outside that go through libtiff's own
// 8-bit RGBA decoding when it can read them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CImgBuff;

// Decodes the TIFF file held in data into target as PT_HSV16, turned upright as its Orientation
// tag says. A picture of more than maxPixels pixels, or with more samples per pixel than a photo
// has, is refused before anything is decoded.
// Returns 1 when loaded; 0 with reason set (libtiff's own message where it gave one; reason may
// be null) and target as it was when the file cannot be decoded. When loaded, bitsPerChannel (if
// not null) receives 16 for samples of more than 8 bits and 8 for all others, and damagedRows (if
// not null) the rows, from the first strip that cannot be read (a file cut short) down, that are
// left black. Never prints.
int DecodeTiffWithLibtiff(const uint8_t* data, size_t size, uint64_t maxPixels, CImgBuff* target,
                          std::string* reason, int* bitsPerChannel = nullptr,
                          int32_t* damagedRows = nullptr);
