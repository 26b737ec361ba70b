// The program's own reader for uncompressed TIFF files: grey (1, 4, 8, 16 bits, BlackIsZero or
// WhiteIsZero) and RGB (8 or 16 bits per channel) in strips, either byte order, first image only.
// It decodes straight into a PT_HSV16 buffer so that 16-bit samples keep their full precision.
// Everything outside that subset is refused (0) so that the general decoder can take the file.
#pragma once

#include <cstdint>

#include "imageio/PhotoFile.h"
#include "imageio/tiff/TiffDirectory.h"

class CImgBuff;

// Decodes an already read file into target, as loading does after reading it. error's failure is
// NotAPhoto when the file is outside what the own reader takes (another decoder may take it).
// When loaded, bitsPerChannel (if not null) receives 16 for 16-bit samples and 8 for all others,
// and damagedRows (if not null) the lower rows that have no strip or lie beyond the file's end,
// which repeat the last pixel above them.
int LoadTiffFile(const TiffFile* file, CImgBuff* target, PhotoError* error = nullptr,
                 int* bitsPerChannel = nullptr, int32_t* damagedRows = nullptr);
