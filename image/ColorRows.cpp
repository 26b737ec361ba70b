#include "image/ColorRows.h"
#include "image/ColorRowsTesting.h"

#include <atomic>

#include "image/Avx512Lanes.h"
#include "image/ColorModel.h"

namespace {

std::atomic<VectorLevel> levelCap{VectorLevel::kAvx512};

// Four pixels in 32-bit lanes.
struct Lanes3 {
    __m128i a, b, c;
};

[[gnu::target("avx2")]] inline __m128i Truncate(__m256d value) {
    return _mm256_cvttpd_epi32(value);
}

// HsvToRgb16 of four pixels: the same divisions, products, sums and truncations as the scalar
// formula, in the same order, so every lane rounds as the scalar code does.
[[gnu::target("avx2")]] inline Lanes3 HsvToRgbLanes(__m128i h, __m128i s, __m128i v) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d hh = _mm256_div_pd(_mm256_cvtepi32_pd(h), _mm256_set1_pd(10922.0));
    __m128i sector = Truncate(hh);
    const __m256d f = _mm256_sub_pd(hh, _mm256_cvtepi32_pd(sector));
    const __m256d ss = _mm256_div_pd(_mm256_cvtepi32_pd(s), _mm256_set1_pd(65534.0));
    const __m256d value = _mm256_cvtepi32_pd(v);
    const __m128i p = Truncate(_mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(one, ss), value), half));
    const __m128i q = Truncate(
        _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(one, _mm256_mul_pd(ss, f)), value), half));
    const __m128i t = Truncate(_mm256_add_pd(
        _mm256_mul_pd(_mm256_sub_pd(one, _mm256_mul_pd(_mm256_sub_pd(one, f), ss)), value), half));
    // Hues from 6 x 10922 up fall in sector 6, which is sector 0 again.
    sector = _mm_andnot_si128(_mm_cmpeq_epi32(sector, _mm_set1_epi32(6)), sector);
    const __m128i m0 = _mm_cmpeq_epi32(sector, _mm_setzero_si128());
    const __m128i m1 = _mm_cmpeq_epi32(sector, _mm_set1_epi32(1));
    const __m128i m2 = _mm_cmpeq_epi32(sector, _mm_set1_epi32(2));
    const __m128i m3 = _mm_cmpeq_epi32(sector, _mm_set1_epi32(3));
    const __m128i m4 = _mm_cmpeq_epi32(sector, _mm_set1_epi32(4));
    const __m128i m5 = _mm_cmpeq_epi32(sector, _mm_set1_epi32(5));
    __m128i r = _mm_blendv_epi8(v, q, m1);
    r = _mm_blendv_epi8(r, p, _mm_or_si128(m2, m3));
    r = _mm_blendv_epi8(r, t, m4);
    __m128i g = _mm_blendv_epi8(v, t, m0);
    g = _mm_blendv_epi8(g, q, m3);
    g = _mm_blendv_epi8(g, p, _mm_or_si128(m4, m5));
    __m128i b = _mm_blendv_epi8(v, p, _mm_or_si128(m0, m1));
    b = _mm_blendv_epi8(b, t, m2);
    b = _mm_blendv_epi8(b, q, m5);
    return {r, g, b};
}

// RgbToHsv16 of four pixels. The integer quotients are taken in doubles: numerators stay below
// 2^53 and a quotient that is not a whole number lies at least 1 / 65535 below the next one, far
// more than a rounding step, so truncating the double quotient gives the integer quotient.
[[gnu::target("avx2")]] inline Lanes3 RgbToHsvLanes(__m128i r, __m128i g, __m128i b) {
    const __m128i max = _mm_max_epi32(r, _mm_max_epi32(g, b));
    const __m128i min = _mm_min_epi32(r, _mm_min_epi32(g, b));
    const __m128i d = _mm_sub_epi32(max, min);
    const __m128i rIsMax = _mm_cmpeq_epi32(r, max);
    const __m128i gIsMax = _mm_andnot_si128(rIsMax, _mm_cmpeq_epi32(g, max));
    const __m128i bIsMax = _mm_andnot_si128(_mm_or_si128(rIsMax, gIsMax), _mm_set1_epi32(-1));
    __m128i difference = _mm_sub_epi32(g, b);
    difference = _mm_blendv_epi8(difference, _mm_sub_epi32(b, r), gIsMax);
    difference = _mm_blendv_epi8(difference, _mm_sub_epi32(r, g), bIsMax);
    const __m128i numerator = _mm_mullo_epi32(difference, _mm_set1_epi32(10922));
    // d is 0 only for greys, whose numerator is 0 too: dividing by 1 then gives hue 0.
    const __m256d divisor = _mm256_cvtepi32_pd(_mm_max_epi32(d, _mm_set1_epi32(1)));
    const __m128i quotient = Truncate(_mm256_div_pd(_mm256_cvtepi32_pd(numerator), divisor));
    __m128i offset = _mm_and_si128(gIsMax, _mm_set1_epi32(2 * 10922));
    offset = _mm_or_si128(offset, _mm_and_si128(bIsMax, _mm_set1_epi32(4 * 10922)));
    // The red sector wraps a negative hue onto the circle of 65535 units.
    const __m128i wraps = _mm_and_si128(rIsMax, _mm_cmplt_epi32(quotient, _mm_setzero_si128()));
    offset = _mm_or_si128(offset, _mm_and_si128(wraps, _mm_set1_epi32(65535)));
    const __m128i hue = _mm_add_epi32(quotient, offset);
    const __m256d scaledDifference = _mm256_mul_pd(_mm256_cvtepi32_pd(d), _mm256_set1_pd(65534.0));
    const __m256d maxOrOne = _mm256_cvtepi32_pd(_mm_max_epi32(max, _mm_set1_epi32(1)));
    const __m128i saturation = Truncate(_mm256_div_pd(scaledDifference, maxOrOne));
    return {hue, saturation, max};
}

// Converts count pixels eight at a time; the rest go through the scalar formula.
using LanesFn = Lanes3 (*)(__m128i, __m128i, __m128i);
using PixelFn = void (*)(uint16_t, uint16_t, uint16_t, uint16_t*, uint16_t*, uint16_t*);

template <LanesFn lanes, PixelFn scalar>
[[gnu::target("avx2")]] inline void RunAvx2(const uint16_t* in0, const uint16_t* in1,
                                            const uint16_t* in2, uint16_t* out0, uint16_t* out1,
                                            uint16_t* out2, size_t count) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256i a =
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in0 + i)));
        const __m256i b =
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in1 + i)));
        const __m256i c =
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in2 + i)));
        const Lanes3 low =
            lanes(_mm256_castsi256_si128(a), _mm256_castsi256_si128(b), _mm256_castsi256_si128(c));
        const Lanes3 high = lanes(_mm256_extracti128_si256(a, 1), _mm256_extracti128_si256(b, 1),
                                  _mm256_extracti128_si256(c, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out0 + i), _mm_packus_epi32(low.a, high.a));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out1 + i), _mm_packus_epi32(low.b, high.b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out2 + i), _mm_packus_epi32(low.c, high.c));
    }
    for (; i < count; ++i) scalar(in0[i], in1[i], in2[i], &out0[i], &out1[i], &out2[i]);
}

// Sixteen pixels in 32-bit lanes; the double arithmetic takes them eight at a time.
struct Lanes16 {
    __m512i a, b, c;
};

[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline __m512d LowDoubles(__m512i x) {
    return _mm512_cvtepi32_pd(_mm512_castsi512_si256(x));
}

[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline __m512d HighDoubles(__m512i x) {
    return _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(x, 1));
}

// The truncated p, q and t of HsvToRgb16 and the sector, for eight pixels.
struct SectorParts {
    __m256i sector, p, q, t;
};

[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline SectorParts HsvToRgbParts(
    __m512d h, __m512d s, __m512d value) {
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d half = _mm512_set1_pd(0.5);
    const __m512d hh = _mm512_div_pd(h, _mm512_set1_pd(10922.0));
    const __m256i sector = _mm512_cvttpd_epi32(hh);
    const __m512d f = _mm512_sub_pd(hh, _mm512_cvtepi32_pd(sector));
    const __m512d ss = _mm512_div_pd(s, _mm512_set1_pd(65534.0));
    const __m256i p =
        _mm512_cvttpd_epi32(_mm512_add_pd(_mm512_mul_pd(_mm512_sub_pd(one, ss), value), half));
    const __m256i q = _mm512_cvttpd_epi32(
        _mm512_add_pd(_mm512_mul_pd(_mm512_sub_pd(one, _mm512_mul_pd(ss, f)), value), half));
    const __m256i t = _mm512_cvttpd_epi32(_mm512_add_pd(
        _mm512_mul_pd(_mm512_sub_pd(one, _mm512_mul_pd(_mm512_sub_pd(one, f), ss)), value), half));
    return {sector, p, q, t};
}

// HsvToRgb16 of sixteen pixels, with the same operations in the same order as the scalar formula.
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline Lanes16 HsvToRgbLanes16(__m512i h,
                                                                                     __m512i s,
                                                                                     __m512i v) {
    const SectorParts low = HsvToRgbParts(LowDoubles(h), LowDoubles(s), LowDoubles(v));
    const SectorParts high = HsvToRgbParts(HighDoubles(h), HighDoubles(s), HighDoubles(v));
    const __m512i sector = Join(low.sector, high.sector);
    const __m512i p = Join(low.p, high.p);
    const __m512i q = Join(low.q, high.q);
    const __m512i t = Join(low.t, high.t);
    // Hues from 6 x 10922 up fall in sector 6, which is sector 0 again.
    const __mmask16 m0 = _mm512_cmpeq_epi32_mask(sector, _mm512_setzero_si512()) |
                         _mm512_cmpeq_epi32_mask(sector, _mm512_set1_epi32(6));
    const __mmask16 m1 = _mm512_cmpeq_epi32_mask(sector, _mm512_set1_epi32(1));
    const __mmask16 m2 = _mm512_cmpeq_epi32_mask(sector, _mm512_set1_epi32(2));
    const __mmask16 m3 = _mm512_cmpeq_epi32_mask(sector, _mm512_set1_epi32(3));
    const __mmask16 m4 = _mm512_cmpeq_epi32_mask(sector, _mm512_set1_epi32(4));
    const __mmask16 m5 = _mm512_cmpeq_epi32_mask(sector, _mm512_set1_epi32(5));
    __m512i r = _mm512_mask_blend_epi32(m1, v, q);
    r = _mm512_mask_blend_epi32(m2 | m3, r, p);
    r = _mm512_mask_blend_epi32(m4, r, t);
    __m512i g = _mm512_mask_blend_epi32(m0, v, t);
    g = _mm512_mask_blend_epi32(m3, g, q);
    g = _mm512_mask_blend_epi32(m4 | m5, g, p);
    __m512i b = _mm512_mask_blend_epi32(m0 | m1, v, p);
    b = _mm512_mask_blend_epi32(m2, b, t);
    b = _mm512_mask_blend_epi32(m5, b, q);
    return {r, g, b};
}

// x * scale / y truncated, eight lanes at a time. The products here are whole numbers below
// 2^53, so the double product equals the scalar formula's integer product, and the quotient
// truncates as the integer division does (see RgbToHsvLanes).
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline __m512i ScaledQuotient(__m512i x,
                                                                                    double scale,
                                                                                    __m512i y) {
    const __m512d factor = _mm512_set1_pd(scale);
    const __m256i low =
        _mm512_cvttpd_epi32(_mm512_div_pd(_mm512_mul_pd(LowDoubles(x), factor), LowDoubles(y)));
    const __m256i high =
        _mm512_cvttpd_epi32(_mm512_div_pd(_mm512_mul_pd(HighDoubles(x), factor), HighDoubles(y)));
    return Join(low, high);
}

// RgbToHsv16 of sixteen pixels.
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline Lanes16 RgbToHsvLanes16(__m512i r,
                                                                                     __m512i g,
                                                                                     __m512i b) {
    const __m512i max = _mm512_max_epi32(r, _mm512_max_epi32(g, b));
    const __m512i min = _mm512_min_epi32(r, _mm512_min_epi32(g, b));
    const __m512i d = _mm512_sub_epi32(max, min);
    const __mmask16 rIsMax = _mm512_cmpeq_epi32_mask(r, max);
    const __mmask16 gIsMax = _mm512_mask_cmpeq_epi32_mask(__mmask16(~rIsMax), g, max);
    const __mmask16 bIsMax = __mmask16(~(rIsMax | gIsMax));
    __m512i difference = _mm512_sub_epi32(g, b);
    difference = _mm512_mask_sub_epi32(difference, gIsMax, b, r);
    difference = _mm512_mask_sub_epi32(difference, bIsMax, r, g);
    // d is 0 only for greys, whose difference is 0 too: dividing by 1 then gives hue 0.
    const __m512i one = _mm512_set1_epi32(1);
    const __m512i quotient = ScaledQuotient(difference, 10922.0, _mm512_max_epi32(d, one));
    __m512i hue = _mm512_mask_add_epi32(quotient, gIsMax, quotient, _mm512_set1_epi32(2 * 10922));
    hue = _mm512_mask_add_epi32(hue, bIsMax, quotient, _mm512_set1_epi32(4 * 10922));
    // The red sector wraps a negative hue onto the circle of 65535 units.
    const __mmask16 wraps = _mm512_mask_cmplt_epi32_mask(rIsMax, quotient, _mm512_setzero_si512());
    hue = _mm512_mask_add_epi32(hue, wraps, quotient, _mm512_set1_epi32(65535));
    const __m512i saturation = ScaledQuotient(d, 65534.0, _mm512_max_epi32(max, one));
    return {hue, saturation, max};
}

// Converts count pixels sixteen at a time, and the last few with loads and stores masked to them
// (masked steps throughout measured 8 to 15 % slower).
template <Lanes16 (*lanes)(__m512i, __m512i, __m512i)>
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline void RunAvx512(
    const uint16_t* in0, const uint16_t* in1, const uint16_t* in2, uint16_t* out0, uint16_t* out1,
    uint16_t* out2, size_t count) {
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const Lanes16 x = lanes(Load16(in0 + i), Load16(in1 + i), Load16(in2 + i));
        Store16(out0 + i, x.a);
        Store16(out1 + i, x.b);
        Store16(out2 + i, x.c);
    }
    if (i == count) return;
    const __mmask16 mask = FirstLanes(static_cast<uint32_t>(count - i));
    const Lanes16 x = lanes(Load16(in0 + i, mask), Load16(in1 + i, mask), Load16(in2 + i, mask));
    Store16(out0 + i, mask, x.a);
    Store16(out1 + i, mask, x.b);
    Store16(out2 + i, mask, x.c);
}

using RunFn = void (*)(const uint16_t*, const uint16_t*, const uint16_t*, uint16_t*, uint16_t*,
                       uint16_t*, size_t);

// The conversion of the active level; the scalar formula is the reference and the fallback.
template <RunFn avx512, RunFn avx2, PixelFn pixel>
void Run(const uint16_t* in0, const uint16_t* in1, const uint16_t* in2, uint16_t* out0,
         uint16_t* out1, uint16_t* out2, size_t count) {
    switch (ActiveVectorLevel()) {
        case VectorLevel::kAvx512:
            return avx512(in0, in1, in2, out0, out1, out2, count);
        case VectorLevel::kAvx2:
            return avx2(in0, in1, in2, out0, out1, out2, count);
        case VectorLevel::kScalar:
            break;
    }
    for (size_t i = 0; i < count; ++i) pixel(in0[i], in1[i], in2[i], &out0[i], &out1[i], &out2[i]);
}

VectorLevel SupportedLevel() {
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        return VectorLevel::kAvx512;
    if (__builtin_cpu_supports("avx2")) return VectorLevel::kAvx2;
    return VectorLevel::kScalar;
}

}  // namespace

VectorLevel ActiveVectorLevel() {
    static const VectorLevel supported = SupportedLevel();
    const VectorLevel cap = levelCap.load(std::memory_order_relaxed);
    return cap < supported ? cap : supported;
}

void LimitVectorLevel(VectorLevel level) {
    levelCap.store(level, std::memory_order_relaxed);
}

void HsvToRgb16Run(const uint16_t* h, const uint16_t* s, const uint16_t* v, uint16_t* r,
                   uint16_t* g, uint16_t* b, size_t count) {
    Run<RunAvx512<HsvToRgbLanes16>, RunAvx2<HsvToRgbLanes, HsvToRgb16>, HsvToRgb16>(h, s, v, r, g,
                                                                                    b, count);
}

void RgbToHsv16Run(const uint16_t* r, const uint16_t* g, const uint16_t* b, uint16_t* h,
                   uint16_t* s, uint16_t* v, size_t count) {
    Run<RunAvx512<RgbToHsvLanes16>, RunAvx2<RgbToHsvLanes, RgbToHsv16>, RgbToHsv16>(r, g, b, h, s,
                                                                                    v, count);
}
