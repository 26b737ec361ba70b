// The program's own reader for uncompressed TIFF files: grey (1, 4, 8, 16 bits, BlackIsZero or
// WhiteIsZero) and RGB (8 or 16 bits per channel) in strips, either byte order, first image only.
// It decodes straight into a PT_HSV16 buffer so that 16-bit samples keep their full precision.
// Everything outside that subset is refused (0) so that the general decoder can take the file.
#pragma once

#include <cstdint>

#include "imageio/PhotoFile.h"
#include "imageio/tiff/TiffDirectory.h"

class CImgBuff;

// Loads the first image of the TIFF file at path (bytes as the file system holds them) into target
// as PT_HSV16, turned upright as its Orientation tag says. Returns 1 when loaded, 0 when refused or
// failed; on 0 the target is left as it was, or empty when only the buffer could not be made.
int LoadTiff(const char* path, CImgBuff* target);

// Decodes an already read file into target, as LoadTiff does after reading it. error's failure is
// NotAPhoto when the file is outside what the own reader takes (another decoder may take it).
// When loaded, bitsPerChannel (if not null) receives 16 for 16-bit samples and 8 for all others.
int LoadTiffFile(const TiffFile* file, CImgBuff* target, PhotoError* error = nullptr,
                 int* bitsPerChannel = nullptr);

// The three channels of pixel (x, y): grey images give the same value three times. The 16-bit form
// serves images of 16 bits per sample, the 8-bit form all others. 0 when the pixel cannot be
// addressed (outside the image, its strip missing, its bytes outside the file, wrong form).
int GetTiffPixel8(const TiffImageInfo* info, uint32_t x, uint32_t y, uint8_t* r, uint8_t* g,
                  uint8_t* b);
int GetTiffPixel16(const TiffImageInfo* info, uint32_t x, uint32_t y, uint16_t* r, uint16_t* g,
                   uint16_t* b);
