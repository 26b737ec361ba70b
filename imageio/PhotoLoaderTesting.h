// Test-only entry to photo loading: the general decoder, the reference the JPEG decoder's
// pixels are compared with.
#pragma once

#include "imageio/PhotoFile.h"

class CImgBuff;
struct PhotoFormat;

// Decodes the file open as fd through Qt's image reader into target as PT_HSV16, as LoadPhoto
// does for every file no other decoder takes. Returns 1, or 0 with error set. bitsPerChannel (may
// be null) receives 16 for pictures decoded at more than 8 bits a channel, else 8; damagedRows (may
// be null) the lower rows a damaged file left undecoded, the whole height when its damage has no
// place. With format, only Qt's reader of that format is tried; otherwise the content decides.
int DecodeWithQt(int fd, CImgBuff* target, const PhotoLoadLimits& limits, PhotoError* error,
                 int* bitsPerChannel = nullptr, int32_t* damagedRows = nullptr,
                 const PhotoFormat* format = nullptr);
