// For tests and the fuzz target only: the own TIFF reader on a path, and its pixel fetches driven
// directly, which the program reaches only through loading.
#pragma once

#include <cstdint>

#include "image/ImgBuff.h"
#include "imageio/tiff/TiffReader.h"

// Loads the first image of the TIFF file at path (bytes as the file system holds them) into target
// as PT_HSV16, turned upright as its Orientation tag says. Returns 1 when loaded, 0 when refused or
// failed; on 0 the target is left as it was, or empty when only the buffer could not be made.
int LoadTiff(const char* path, CImgBuff* target);

// The three channels of pixel (x, y): grey images give the same value three times. The 16-bit form
// serves images of 16 bits per sample, the 8-bit form all others. 0 when the pixel cannot be
// addressed (outside the image, its strip missing, its bytes outside the file, wrong form).
int GetTiffPixel8(const TiffImageInfo* info, uint32_t x, uint32_t y, uint8_t* r, uint8_t* g,
                  uint8_t* b);
int GetTiffPixel16(const TiffImageInfo* info, uint32_t x, uint32_t y, uint16_t* r, uint16_t* g,
                   uint16_t* b);
