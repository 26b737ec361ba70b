// Packed three-channel pixels taken apart into one array per channel and put back together, so
// that the per-channel vector loops can work on them.
#pragma once

#include <cstddef>
#include <cstdint>

// Pixels of three 16-bit samples (H, S, V or R, G, B) into the arrays first, second and third.
void SplitPixels16(const uint16_t* pixels, uint16_t* first, uint16_t* second, uint16_t* third,
                   size_t count);
// The inverse of SplitPixels16.
void JoinPixels16(const uint16_t* first, const uint16_t* second, const uint16_t* third,
                  uint16_t* pixels, size_t count);
// The high bytes of three 16-bit channels as pixels of three bytes in the order given: (b, g, r)
// for a display bitmap's blue, green, red, (r, g, b) for an 8-bit RGB picture.
void JoinHighBytes(const uint16_t* first, const uint16_t* second, const uint16_t* third,
                   uint8_t* pixels, size_t count);

enum class ByteOrder { kBgr, kRgb };
// HSV16 pixels as 8-bit pixels: the high bytes of HsvToRgb16's R, G and B, in the order given
// (kBgr for a display bitmap).
void Hsv16ToHighBytes(const uint16_t* hsv, uint8_t* pixels, size_t count, ByteOrder order);
