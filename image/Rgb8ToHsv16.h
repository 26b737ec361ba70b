// Decoded 8-bit rows straight into PT_HSV16 pixels: the same values ConvertType gives for PT_RGB8
// to PT_HSV16 (RgbToHsv16 of each channel times 257), without a PT_RGB8 buffer in between.
#pragma once

#include <cstddef>
#include <cstdint>

// Pixels 0xAARRGGBB (alpha ignored) to H, S, V triples.
void Argb32RowToHsv16(const uint32_t* row, size_t width, uint16_t* hsv);

// Grey bytes to H, S, V triples (hue and saturation 0).
void GreyRowToHsv16(const uint8_t* row, size_t width, uint16_t* hsv);
