// Sixteen 16-bit samples in the 32-bit lanes of an AVX-512 register, for the kernels chosen when
// ActiveVectorLevel() is VectorLevel::kAvx512 (F, BW, DQ and VL). The few last samples of a run
// go through masked loads and stores; whole steps use plain ones, which measured faster (the
// masked forms given a full mask take them too).
#pragma once

// GCC 12's AVX-512 intrinsics leave their pass-through operand undefined on purpose, which its
// uninitialized-value warnings report once they are inlined (GCC bug 105593, fixed in GCC 13).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include <cstdint>

// The lanes below count (1 to 16) of a step.
inline __mmask16 FirstLanes(uint32_t count) {
    return static_cast<__mmask16>((1u << count) - 1);
}

[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline __m512i Load16(const uint16_t* from) {
    return _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(from)));
}

// Lanes outside mask read nothing and hold 0.
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline __m512i Load16(const uint16_t* from,
                                                                            __mmask16 mask) {
    if (mask == 0xFFFF) return Load16(from);
    return _mm512_cvtepu16_epi32(_mm256_maskz_loadu_epi16(mask, from));
}

// Stores the low 16 bits of each lane.
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline void Store16(uint16_t* to,
                                                                          __m512i lanes) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), _mm512_cvtepi32_epi16(lanes));
}

[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline void Store16(uint16_t* to,
                                                                          __mmask16 mask,
                                                                          __m512i lanes) {
    if (mask == 0xFFFF) return Store16(to, lanes);
    _mm256_mask_storeu_epi16(to, mask, _mm512_cvtepi32_epi16(lanes));
}

// Lanes 0..7 (half 0) or 8..15 (half 1).
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline __m256i HalfLanes(__m512i lanes,
                                                                               int half) {
    return half ? _mm512_extracti64x4_epi64(lanes, 1) : _mm512_castsi512_si256(lanes);
}

[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline __m512i Join(__m256i low,
                                                                          __m256i high) {
    return _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
}
