// Runs of pixels converted between 16-bit HSV and 16-bit RGB, channel by channel in separate
// arrays. Each pixel gets exactly what HsvToRgb16 / RgbToHsv16 give it: the vector code does the
// same IEEE operations in the same order in every lane, and the instruction set is chosen once at
// run time, so one binary runs on any x86-64.
#pragma once

#include <cstddef>
#include <cstdint>

// Pixels in rows of 8-bit blue, green, red (a display bitmap): row y starts at first + y * stride.
// A negative stride stores the rows bottom-up.
struct BgrRows {
    uint8_t* first;
    ptrdiff_t stride;
};

// Instruction sets in increasing order; kAvx512 stands for AVX-512 F, BW, DQ and VL together.
enum class VectorLevel { kScalar, kAvx2, kAvx512 };

// The widest level the processor supports, capped for tests by LimitVectorLevel.
VectorLevel ActiveVectorLevel();

void HsvToRgb16Run(const uint16_t* h, const uint16_t* s, const uint16_t* v, uint16_t* r,
                   uint16_t* g, uint16_t* b, size_t count);
void RgbToHsv16Run(const uint16_t* r, const uint16_t* g, const uint16_t* b, uint16_t* h,
                   uint16_t* s, uint16_t* v, size_t count);
