// Packed three-channel pixels taken apart into one array per channel and put back together, so
// that the per-channel vector loops can work on them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/ColorRows.h"

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

// Takes count packed HSV16 pixels through HsvToRgb16Run in runs, and calls use(r, g, b, x, n)
// with the R, G and B arrays of pixels x .. x + n - 1.
template <typename Use>
void ForEachRgb16Run(const uint16_t* hsv, size_t count, Use use) {
    constexpr size_t kRun = 256;
    uint16_t h[kRun], s[kRun], v[kRun], r[kRun], g[kRun], b[kRun];
    for (size_t x = 0; x < count; x += kRun) {
        const size_t n = count - x < kRun ? count - x : kRun;
        SplitPixels16(hsv + 3 * x, h, s, v, n);
        HsvToRgb16Run(h, s, v, r, g, b, n);
        use(static_cast<const uint16_t*>(r), static_cast<const uint16_t*>(g),
            static_cast<const uint16_t*>(b), x, n);
    }
}

// count pixels of 16-bit R, G, B samples, step samples apart (3, or 4 with alpha or padding
// behind them), as packed H, S, V triples: exactly RgbToHsv16 of each pixel, through
// RgbToHsv16Run. The one conversion of every 16-bit RGB picture that is loaded.
void Rgb16PixelsToHsv16(const uint16_t* rgb, size_t step, uint16_t* hsv, size_t count);

enum class ByteOrder { kBgr, kRgb };
// HSV16 pixels as 8-bit pixels: the high bytes of HsvToRgb16's R, G and B, in the order given
// (kBgr for a display bitmap).
void Hsv16ToHighBytes(const uint16_t* hsv, uint8_t* pixels, size_t count, ByteOrder order);
