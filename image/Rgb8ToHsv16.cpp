#include "image/Rgb8ToHsv16.h"

#include <algorithm>

namespace {

constexpr int32_t kHueSector = 10922;

}  // namespace

// With every channel scaled by 257 the ratios RgbToHsv16 divides are those of the 8-bit
// channels, so the quotients can be taken on them. Every numerator and denominator is an integer
// below 2^24, exact in a float; the quotient is correctly rounded, and no rounding of it reaches
// the next integer (it would need a relative error of 1/255), so truncating it gives the integer
// quotient. Written without branches so that the loop vectorises (which GCC's default cost model
// at -O2 declines for it); the fastest instruction set present is picked at run time.
// Clang 14 (the fuzzing build's compiler) gives the clones' dispatcher a name other files do not
// call, so there the plain version stands alone.
#if defined(__clang__)
#define ROW_CLONES
#else
#define ROW_CLONES \
    __attribute__((target_clones("avx2", "default"), optimize("vect-cost-model=dynamic")))
#endif
ROW_CLONES void Argb32RowToHsv16(const uint32_t* row, size_t width, uint16_t* hsv) {
    for (size_t x = 0; x < width; ++x) {
        const uint32_t pixel = row[x];
        const int32_t r = static_cast<int32_t>(pixel >> 16 & 0xFF);
        const int32_t g = static_cast<int32_t>(pixel >> 8 & 0xFF);
        const int32_t b = static_cast<int32_t>(pixel & 0xFF);
        const int32_t max = std::max(r, std::max(g, b));
        const int32_t d = max - std::min(r, std::min(g, b));
        // All-ones masks for the channel that is the maximum, tested in RgbToHsv16's order: red
        // first, then green.
        const int32_t redMax = -static_cast<int32_t>(r == max);
        const int32_t greenMax = -static_cast<int32_t>(g == max) & ~redMax;
        const int32_t blueMax = ~(redMax | greenMax);
        const int32_t span = (redMax & (g - b)) | (greenMax & (b - r)) | (blueMax & (r - g));
        const int32_t base = (greenMax & 2 * kHueSector) | (blueMax & 4 * kHueSector);
        const float divisor = static_cast<float>(d + static_cast<int32_t>(d == 0));
        int32_t hue = base + static_cast<int32_t>(static_cast<float>(span * kHueSector) / divisor);
        // Only a red maximum gives a negative hue; RgbToHsv16 wraps it by 65535.
        hue += (hue >> 31) & 65535;
        hue &= -static_cast<int32_t>(d != 0);
        const float whole = static_cast<float>(max + static_cast<int32_t>(max == 0));
        const int32_t saturation = static_cast<int32_t>(static_cast<float>(d * 65534) / whole);
        hsv[3 * x] = static_cast<uint16_t>(hue);
        hsv[3 * x + 1] = static_cast<uint16_t>(saturation);
        hsv[3 * x + 2] = static_cast<uint16_t>(max * 257);
    }
}

void GreyRowToHsv16(const uint8_t* row, size_t width, uint16_t* hsv) {
    for (size_t x = 0; x < width; ++x) {
        hsv[3 * x] = 0;
        hsv[3 * x + 1] = 0;
        hsv[3 * x + 2] = static_cast<uint16_t>(row[x] * 257);
    }
}
