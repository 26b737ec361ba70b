// For tests of saving only: entry points the program never calls.
#pragma once

#include <cstdint>

// The n-th allocation from now on of an encoder's output bytes (any format's: Qt's writers', the
// JPEG encoder's, the TIFF strips') fails as though memory were short (1: the next one); 0 lets
// every one through again.
void PhotoSaver_FailEncoderAllocation(uint32_t n);
