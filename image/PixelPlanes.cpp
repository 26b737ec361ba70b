#include "image/PixelPlanes.h"

#include <immintrin.h>

namespace {

// Eight pixels at a time: three 16-byte loads or stores per eight pixels, rearranged by byte
// shuffles and blends. Each returns how many pixels it did; the rest go one by one.

[[gnu::target("avx2")]] size_t SplitPixels16Vector(const uint16_t* pixels, uint16_t* first,
                                                   uint16_t* second, uint16_t* third,
                                                   size_t count) {
    const __m128i order0 = _mm_setr_epi8(0, 1, 6, 7, 12, 13, 2, 3, 8, 9, 14, 15, 4, 5, 10, 11);
    const __m128i order1 = _mm_setr_epi8(2, 3, 8, 9, 14, 15, 4, 5, 10, 11, 0, 1, 6, 7, 12, 13);
    const __m128i order2 = _mm_setr_epi8(4, 5, 10, 11, 0, 1, 6, 7, 12, 13, 2, 3, 8, 9, 14, 15);
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const auto* in = reinterpret_cast<const __m128i*>(pixels + 3 * i);
        const __m128i a = _mm_loadu_si128(in);
        const __m128i b = _mm_loadu_si128(in + 1);
        const __m128i c = _mm_loadu_si128(in + 2);
        // Sample k of the 24 belongs to channel k mod 3: each blend gathers one channel's eight
        // samples, out of order.
        const __m128i x = _mm_blend_epi16(_mm_blend_epi16(a, b, 0x92), c, 0x24);
        const __m128i y = _mm_blend_epi16(_mm_blend_epi16(a, b, 0x24), c, 0x49);
        const __m128i z = _mm_blend_epi16(_mm_blend_epi16(a, b, 0x49), c, 0x92);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(first + i), _mm_shuffle_epi8(x, order0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(second + i), _mm_shuffle_epi8(y, order1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(third + i), _mm_shuffle_epi8(z, order2));
    }
    return i;
}

[[gnu::target("avx2")]] size_t JoinPixels16Vector(const uint16_t* first, const uint16_t* second,
                                                  const uint16_t* third, uint16_t* pixels,
                                                  size_t count) {
    // For each of the three output vectors, where each channel's samples go (-1: elsewhere).
    const __m128i a0 = _mm_setr_epi8(0, 1, -1, -1, -1, -1, 2, 3, -1, -1, -1, -1, 4, 5, -1, -1);
    const __m128i a1 = _mm_setr_epi8(-1, -1, 0, 1, -1, -1, -1, -1, 2, 3, -1, -1, -1, -1, 4, 5);
    const __m128i a2 = _mm_setr_epi8(-1, -1, -1, -1, 0, 1, -1, -1, -1, -1, 2, 3, -1, -1, -1, -1);
    const __m128i b0 = _mm_setr_epi8(-1, -1, 6, 7, -1, -1, -1, -1, 8, 9, -1, -1, -1, -1, 10, 11);
    const __m128i b1 = _mm_setr_epi8(-1, -1, -1, -1, 6, 7, -1, -1, -1, -1, 8, 9, -1, -1, -1, -1);
    const __m128i b2 = _mm_setr_epi8(4, 5, -1, -1, -1, -1, 6, 7, -1, -1, -1, -1, 8, 9, -1, -1);
    const __m128i c0 =
        _mm_setr_epi8(-1, -1, -1, -1, 12, 13, -1, -1, -1, -1, 14, 15, -1, -1, -1, -1);
    const __m128i c1 =
        _mm_setr_epi8(10, 11, -1, -1, -1, -1, 12, 13, -1, -1, -1, -1, 14, 15, -1, -1);
    const __m128i c2 =
        _mm_setr_epi8(-1, -1, 10, 11, -1, -1, -1, -1, 12, 13, -1, -1, -1, -1, 14, 15);
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first + i));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(second + i));
        const __m128i z = _mm_loadu_si128(reinterpret_cast<const __m128i*>(third + i));
        auto* out = reinterpret_cast<__m128i*>(pixels + 3 * i);
        _mm_storeu_si128(
            out, _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(x, a0), _mm_shuffle_epi8(y, a1)),
                              _mm_shuffle_epi8(z, a2)));
        _mm_storeu_si128(
            out + 1, _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(x, b0), _mm_shuffle_epi8(y, b1)),
                                  _mm_shuffle_epi8(z, b2)));
        _mm_storeu_si128(
            out + 2, _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(x, c0), _mm_shuffle_epi8(y, c1)),
                                  _mm_shuffle_epi8(z, c2)));
    }
    return i;
}

[[gnu::target("avx2")]] size_t JoinHighBytesVector(const uint16_t* first, const uint16_t* second,
                                                   const uint16_t* third, uint8_t* pixels,
                                                   size_t count) {
    // The high bytes go to x = first's eight then second's eight, and y = third's eight; the
    // masks place them in the 24 output bytes (-1: elsewhere).
    const __m128i x0 = _mm_setr_epi8(0, 8, -1, 1, 9, -1, 2, 10, -1, 3, 11, -1, 4, 12, -1, 5);
    const __m128i y0 = _mm_setr_epi8(-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1);
    const __m128i x1 = _mm_setr_epi8(13, -1, 6, 14, -1, 7, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i y1 = _mm_setr_epi8(-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, -1, -1, -1, -1, -1, -1);
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i p =
            _mm_srli_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(first + i)), 8);
        const __m128i q =
            _mm_srli_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(second + i)), 8);
        const __m128i r =
            _mm_srli_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(third + i)), 8);
        const __m128i x = _mm_packus_epi16(p, q);
        const __m128i y = _mm_packus_epi16(r, r);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels + 3 * i),
                         _mm_or_si128(_mm_shuffle_epi8(x, x0), _mm_shuffle_epi8(y, y0)));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(pixels + 3 * i + 16),
                         _mm_or_si128(_mm_shuffle_epi8(x, x1), _mm_shuffle_epi8(y, y1)));
    }
    return i;
}

bool Vectors() {
    return ActiveVectorLevel() != VectorLevel::kScalar;
}

}  // namespace

void SplitPixels16(const uint16_t* pixels, uint16_t* first, uint16_t* second, uint16_t* third,
                   size_t count) {
    size_t i = Vectors() ? SplitPixels16Vector(pixels, first, second, third, count) : 0;
    for (; i < count; ++i) {
        first[i] = pixels[3 * i];
        second[i] = pixels[3 * i + 1];
        third[i] = pixels[3 * i + 2];
    }
}

void JoinPixels16(const uint16_t* first, const uint16_t* second, const uint16_t* third,
                  uint16_t* pixels, size_t count) {
    size_t i = Vectors() ? JoinPixels16Vector(first, second, third, pixels, count) : 0;
    for (; i < count; ++i) {
        pixels[3 * i] = first[i];
        pixels[3 * i + 1] = second[i];
        pixels[3 * i + 2] = third[i];
    }
}

void JoinHighBytes(const uint16_t* first, const uint16_t* second, const uint16_t* third,
                   uint8_t* pixels, size_t count) {
    size_t i = Vectors() ? JoinHighBytesVector(first, second, third, pixels, count) : 0;
    for (; i < count; ++i) {
        pixels[3 * i] = static_cast<uint8_t>(first[i] >> 8);
        pixels[3 * i + 1] = static_cast<uint8_t>(second[i] >> 8);
        pixels[3 * i + 2] = static_cast<uint8_t>(third[i] >> 8);
    }
}

void Hsv16ToHighBytes(const uint16_t* hsv, uint8_t* pixels, size_t count, ByteOrder order) {
    ForEachRgb16Run(
        hsv, count,
        [&](const uint16_t* r, const uint16_t* g, const uint16_t* b, size_t x, size_t n) {
            if (order == ByteOrder::kBgr) {
                JoinHighBytes(b, g, r, pixels + 3 * x, n);
            } else {
                JoinHighBytes(r, g, b, pixels + 3 * x, n);
            }
        });
}

void Rgb16PixelsToHsv16(const uint16_t* rgb, size_t step, uint16_t* hsv, size_t count) {
    constexpr size_t kRun = 256;
    uint16_t r[kRun], g[kRun], b[kRun], h[kRun], s[kRun], v[kRun];
    for (size_t x = 0; x < count; x += kRun) {
        const size_t n = count - x < kRun ? count - x : kRun;
        const uint16_t* in = rgb + step * x;
        if (step == 3) {
            SplitPixels16(in, r, g, b, n);
        } else {
            for (size_t i = 0; i < n; ++i, in += step) r[i] = in[0], g[i] = in[1], b[i] = in[2];
        }
        RgbToHsv16Run(r, g, b, h, s, v, n);
        JoinPixels16(h, s, v, hsv + 3 * x, n);
    }
}
