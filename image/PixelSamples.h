// Raw little-endian sample access and the integer colour formulas shared by the pixel accessors
// and the conversion row tasks. Pixel memory lies 4 bytes into its block, so multi-byte samples
// are assembled from bytes and doubles copied, never read through a wider pointer.
#pragma once

#include <cstdint>
#include <cstring>

namespace pixel_samples {

inline uint16_t Load16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t Load32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline double LoadDouble(const uint8_t* p) {
    double value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

inline void Store16(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

inline void Store32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

inline void StoreDouble(uint8_t* p, double value) {
    std::memcpy(p, &value, sizeof value);
}

// Luma of 8- or 16-bit channels; the weighted sum stays below 2^27.
inline uint32_t Luma(uint32_t r, uint32_t g, uint32_t b) {
    return (299u * r + 587u * g + 114u * b + 500u) / 1000u;
}

// Luma of 32-bit channels: the weighted sum needs 64 bits, the quotient fits 32 again.
inline uint32_t Luma32(uint32_t r, uint32_t g, uint32_t b) {
    return static_cast<uint32_t>((299ull * r + 587ull * g + 114ull * b + 500ull) / 1000ull);
}

inline uint8_t CmykToRgbChannel(uint32_t ink, uint32_t k) {
    return ink + k <= 255u ? static_cast<uint8_t>(255u - ink - k) : 0;
}

inline void RgbToCmyk(uint32_t r, uint32_t g, uint32_t b, uint8_t* cmyk) {
    uint32_t m = r;
    if (g > m) m = g;
    if (b > m) m = b;
    cmyk[0] = static_cast<uint8_t>(m - r);
    cmyk[1] = static_cast<uint8_t>(m - g);
    cmyk[2] = static_cast<uint8_t>(m - b);
    cmyk[3] = static_cast<uint8_t>(255u - m);
}

}  // namespace pixel_samples
