#include "image/ColorModel.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <iterator>

#include "image/ColorRows.h"

namespace {

constexpr int32_t kHueSector = 10922;

double LabF(double t) {
    if (t > 0.008856451679035631) return std::pow(t, 0.3333333333333333);
    return t / 0.12841854934601665 + 0.13793103448275862;
}

double LabG(double t) {
    if (t > 0.20689655172413793) return t * t * t;
    return (t - 0.13793103448275862) * 0.12841854934601665;
}

// Double 0..65535.5 (or a hair below zero) to a 16-bit channel by truncation toward zero.
uint16_t TruncateChannel(double value) {
    return static_cast<uint16_t>(static_cast<int32_t>(value));
}

}  // namespace

double DecodeSrgb(double u) {
    if (u <= 0.04045) return u / 12.92;
    return std::pow((u + 0.055) / 1.055, 2.4);
}

double EncodeSrgb(double u) {
    double e;
    if (u <= 0.0031308) {
        e = 12.92 * u;
    } else {
        e = 1.055 * std::pow(u, 0.4166666666666667) - 0.055;
    }
    if (!(e >= 0.0)) return 0.0;
    if (e > 1.0) return 1.0;
    return e;
}

void RgbToHsv16(uint16_t r, uint16_t g, uint16_t b, uint16_t* h, uint16_t* s, uint16_t* v) {
    const int32_t R = r;
    const int32_t G = g;
    const int32_t B = b;
    int32_t max = R;
    if (G > max) max = G;
    if (B > max) max = B;
    int32_t min = R;
    if (G < min) min = G;
    if (B < min) min = B;
    const int32_t d = max - min;

    int32_t hue = 0;
    if (d != 0) {
        if (R == max) {
            hue = ((G - B) * kHueSector / d + 65535) % 65535;
        } else if (G == max) {
            hue = (B - R) * kHueSector / d + 2 * kHueSector;
        } else {
            hue = (R - G) * kHueSector / d + 4 * kHueSector;
        }
    }
    // d * 65534 reaches 4294770690 at most, which still fits the unsigned product.
    const uint32_t sat =
        max != 0 ? static_cast<uint32_t>(d) * 65534u / static_cast<uint32_t>(max) : 0u;

    if (h) *h = static_cast<uint16_t>(hue);
    if (s) *s = static_cast<uint16_t>(sat);
    if (v) *v = static_cast<uint16_t>(max);
}

void HsvToRgb16(uint16_t h, uint16_t s, uint16_t v, uint16_t* r, uint16_t* g, uint16_t* b) {
    uint16_t R = v;
    uint16_t G = v;
    uint16_t B = v;
    if (s != 0) {
        const double hh = h / 10922.0;
        const int32_t i = static_cast<int32_t>(hh);
        const double f = hh - i;
        const double ss = s / 65534.0;
        const double V = v;
        // A saturation of 65535 makes 1 - s a hair negative; the +0.5 still truncates to 0.
        const uint16_t p = TruncateChannel((1.0 - ss) * V + 0.5);
        const uint16_t q = TruncateChannel((1.0 - ss * f) * V + 0.5);
        const uint16_t t = TruncateChannel((1.0 - (1.0 - f) * ss) * V + 0.5);
        switch (i % 6) {
            case 0:
                R = v, G = t, B = p;
                break;
            case 1:
                R = q, G = v, B = p;
                break;
            case 2:
                R = p, G = v, B = t;
                break;
            case 3:
                R = p, G = q, B = v;
                break;
            case 4:
                R = t, G = p, B = v;
                break;
            default:
                R = v, G = p, B = q;
                break;
        }
    }
    if (r) *r = R;
    if (g) *g = G;
    if (b) *b = B;
}

void SrgbToXyz(double r, double g, double b, double* x, double* y, double* z) {
    LinearToXyz(DecodeSrgb(r), DecodeSrgb(g), DecodeSrgb(b), x, y, z);
}

void LinearToXyz(double lr, double lg, double lb, double* x, double* y, double* z) {
    if (x) *x = 0.4124564 * lr + 0.3575761 * lg + 0.1804375 * lb;
    if (y) *y = 0.2126729 * lr + 0.7151522 * lg + 0.072175 * lb;
    if (z) *z = 0.0193339 * lr + 0.119192 * lg + 0.9503041 * lb;
}

void Rgb32ToXyz(uint32_t r, uint32_t g, uint32_t b, double* x, double* y, double* z) {
    SrgbToXyz(r / 4294967295.0, g / 4294967295.0, b / 4294967295.0, x, y, z);
}

void XyzToSrgb(double x, double y, double z, double* r, double* g, double* b) {
    double linear[3];
    XyzToLinear(x, y, z, linear);
    *r = EncodeSrgb(linear[0]);
    *g = EncodeSrgb(linear[1]);
    *b = EncodeSrgb(linear[2]);
}

void XyzToLinear(double x, double y, double z, double linear[3]) {
    linear[0] = 3.2404542 * x + -1.5371385 * y + -0.4985314 * z;
    linear[1] = -0.969266 * x + 1.8760108 * y + 0.041556 * z;
    linear[2] = 0.0556434 * x + -0.2040259 * y + 1.0572252 * z;
}

void XyzToRgb32(double x, double y, double z, uint32_t* r, uint32_t* g, uint32_t* b) {
    double sr;
    double sg;
    double sb;
    XyzToSrgb(x, y, z, &sr, &sg, &sb);
    if (r) *r = static_cast<uint32_t>(sr * 4294967295.0);
    if (g) *g = static_cast<uint32_t>(sg * 4294967295.0);
    if (b) *b = static_cast<uint32_t>(sb * 4294967295.0);
}

namespace {

// glibc's pow is within 0.52 ulp of the exact power, so it rounds a value as the exact rounding
// does unless the value lies within 0.02 ulp of a halfway point between two doubles.
constexpr double kSureFraction = 0.5 - 0.02;

// pow(t, 0.3333333333333333) for t in 2^-7..16 in kVectors vectors of four lanes at once (each
// step is a chain of dependent operations: the vectors fill each other's waits), without a
// division: the cube root is refined to about 2^-70 of itself, and t^(1/3) becomes
// t^0.3333333333333333 through the exponent's shortfall of 2^-54 / 3, which scales the root by
// 1 - 2^-54 / 3 ln t. A lane whose value lies within kSureFraction of a halfway point, or outside
// the range, is not sure and left to pow (about 4% of the lanes).
constexpr int kVectors = 4;
#define EACH _Pragma("GCC unroll 4") for (int k = 0; k < kVectors; ++k)

[[gnu::target("avx2,fma")]] inline void CubeRoots(const __m256d value[kVectors],
                                                  __m256d root[kVectors], __m256d sure[kVectors]) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d third = _mm256_set1_pd(1.0 / 3.0);
    __m256d t[kVectors], inRange[kVectors], w[kVectors], y[kVectors];
    __m128i high[kVectors];
    EACH {
        inRange[k] = _mm256_and_pd(_mm256_cmp_pd(value[k], _mm256_set1_pd(0x1p-7), _CMP_GE_OQ),
                                   _mm256_cmp_pd(value[k], _mm256_set1_pd(16.0), _CMP_LE_OQ));
        t[k] = _mm256_blendv_pd(one, value[k], inRange[k]);
        high[k] = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(
            _mm256_castpd_si256(t[k]), _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7)));
        // 1 / cbrt(t) within 3.5% from the high word: a third of the exponent and leading
        // mantissa bits taken as one integer, subtracted from a constant.
        const __m128i guess =
            _mm_sub_epi32(_mm_set1_epi32(1430188264),
                          _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_cvtepi32_pd(high[k]), third)));
        w[k] = _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_cvtepu32_epi64(guess), 32));
    }
    // Newton steps w (4 - t w^3) / 3 square the error: 2^-4.8, 2^-8.8, 2^-16.5, 2^-32, 2^-63.
    for (int step = 0; step < 4; ++step) {
        EACH {
            const __m256d cube =
                _mm256_mul_pd(_mm256_mul_pd(t[k], w[k]), _mm256_mul_pd(w[k], w[k]));
            w[k] =
                _mm256_mul_pd(_mm256_mul_pd(w[k], _mm256_sub_pd(_mm256_set1_pd(4.0), cube)), third);
        }
    }
    EACH {
        y[k] = _mm256_mul_pd(_mm256_mul_pd(t[k], w[k]), w[k]);
        // A Newton step on y^3 - t, the residue taken exactly from y^3 = h3 + l3 + l2 y.
        const __m256d h2 = _mm256_mul_pd(y[k], y[k]);
        const __m256d l2 = _mm256_fmsub_pd(y[k], y[k], h2);
        const __m256d h3 = _mm256_mul_pd(h2, y[k]);
        const __m256d l3 = _mm256_fmsub_pd(h2, y[k], h3);
        const __m256d residue =
            _mm256_add_pd(_mm256_sub_pd(h3, t[k]), _mm256_add_pd(l3, _mm256_mul_pd(l2, y[k])));
        const __m256d newton =
            _mm256_mul_pd(residue, _mm256_mul_pd(_mm256_mul_pd(w[k], w[k]), third));
        // ln t within 1e-6, from the exponent and 2 atanh(s) of the mantissa m,
        // s = (m - 1) / (m + 1) with a single-precision reciprocal refined once.
        const __m256d mantissa = _mm256_or_pd(
            _mm256_and_pd(t[k], _mm256_castsi256_pd(_mm256_set1_epi64x(0x000FFFFFFFFFFFFF))), one);
        const __m256d exponent =
            _mm256_cvtepi32_pd(_mm_sub_epi32(_mm_srli_epi32(high[k], 20), _mm_set1_epi32(1023)));
        const __m256d sum = _mm256_add_pd(mantissa, one);
        __m256d inverse = _mm256_cvtps_pd(_mm_rcp_ps(_mm256_cvtpd_ps(sum)));
        inverse = _mm256_mul_pd(inverse, _mm256_fnmadd_pd(sum, inverse, _mm256_set1_pd(2.0)));
        const __m256d s = _mm256_mul_pd(_mm256_sub_pd(mantissa, one), inverse);
        const __m256d s2 = _mm256_mul_pd(s, s);
        __m256d series = _mm256_set1_pd(1.0 / 9.0);
        for (const double c : {1.0 / 7.0, 1.0 / 5.0, 1.0 / 3.0, 1.0})
            series = _mm256_fmadd_pd(series, s2, _mm256_set1_pd(c));
        const __m256d log = _mm256_fmadd_pd(exponent, _mm256_set1_pd(0.6931471805599453),
                                            _mm256_mul_pd(_mm256_add_pd(s, s), series));
        const __m256d shortfall =
            _mm256_mul_pd(y[k], _mm256_mul_pd(log, _mm256_set1_pd(0x1p-54 / 3)));
        // The value is y + tail; rounded, it leaves err, exactly.
        const __m256d tail = _mm256_sub_pd(_mm256_setzero_pd(), _mm256_add_pd(newton, shortfall));
        root[k] = _mm256_add_pd(y[k], tail);
        const __m256d err = _mm256_sub_pd(tail, _mm256_sub_pd(root[k], y[k]));
        const __m256i rootBits = _mm256_castpd_si256(root[k]);
        const __m256d ulpAbove = _mm256_sub_pd(
            _mm256_castsi256_pd(_mm256_add_epi64(rootBits, _mm256_set1_epi64x(1))), root[k]);
        const __m256d ulpBelow = _mm256_sub_pd(
            root[k], _mm256_castsi256_pd(_mm256_sub_epi64(rootBits, _mm256_set1_epi64x(1))));
        const __m256d limit =
            _mm256_mul_pd(_mm256_min_pd(ulpAbove, ulpBelow), _mm256_set1_pd(kSureFraction));
        const __m256d size = _mm256_andnot_pd(_mm256_set1_pd(-0.0), err);
        sure[k] = _mm256_and_pd(inRange[k], _mm256_cmp_pd(size, limit, _CMP_LT_OQ));
    }
}

[[gnu::target("avx2,fma")]] void LabFRunAvx2(double* t, size_t count) {
    constexpr size_t kLanes = 4 * kVectors;
    size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        __m256d value[kVectors], root[kVectors], sure[kVectors];
        EACH value[k] = _mm256_loadu_pd(t + i + 4 * k);
        CubeRoots(value, root, sure);
        EACH {
            const __m256d cubed =
                _mm256_cmp_pd(value[k], _mm256_set1_pd(0.008856451679035631), _CMP_GT_OQ);
            if (_mm256_movemask_pd(cubed) != 15) {
                const __m256d line =
                    _mm256_add_pd(_mm256_div_pd(value[k], _mm256_set1_pd(0.12841854934601665)),
                                  _mm256_set1_pd(0.13793103448275862));
                root[k] = _mm256_blendv_pd(line, root[k], cubed);
            }
            _mm256_storeu_pd(t + i + 4 * k, root[k]);
            if (const int unsure = _mm256_movemask_pd(_mm256_andnot_pd(sure[k], cubed))) {
                alignas(32) double values[4];
                _mm256_store_pd(values, value[k]);
                for (int lane = 0; lane < 4; ++lane)
                    if (unsure & (1 << lane)) t[i + 4 * k + lane] = LabF(values[lane]);
            }
        }
    }
    if (i < count) {
        // The last few in one more round, the lanes past them on 1.
        alignas(32) double rest[kLanes];
        std::fill(std::begin(rest), std::end(rest), 1.0);
        std::copy(t + i, t + count, rest);
        LabFRunAvx2(rest, kLanes);
        std::copy(rest, rest + (count - i), t + i);
    }
}

#undef EACH

}  // namespace

void LabFRun(double* t, size_t count) {
    if (ActiveVectorLevel() >= VectorLevel::kAvx2 && __builtin_cpu_supports("fma"))
        return LabFRunAvx2(t, count);
    for (size_t i = 0; i < count; ++i) t[i] = LabF(t[i]);
}

void LabRatios(double x, double y, double z, double ratio[3]) {
    ratio[0] = x * 100.0 / 95.0489;
    ratio[1] = y * 100.0 / 100.0;
    ratio[2] = z * 100.0 / 108.884;
}

int XyzToLab(double x, double y, double z, double* l, double* a, double* b) {
    double ratio[3];
    LabRatios(x, y, z, ratio);
    const double fx = LabF(ratio[0]);
    const double fy = LabF(ratio[1]);
    const double fz = LabF(ratio[2]);
    if (l) *l = 116.0 * fy - 16.0;
    if (a) *a = 500.0 * (fx - fy);
    if (b) *b = 200.0 * (fy - fz);
    return 1;
}

int LabToXyz(double l, double a, double b, double* x, double* y, double* z) {
    const double fy = (l + 16.0) / 116.0;
    const double fx = a / 500.0 + fy;
    const double fz = fy - b / 200.0;
    if (x) *x = LabG(fx) * 95.0489 / 100.0;
    if (y) *y = LabG(fy) * 100.0 / 100.0;
    if (z) *z = LabG(fz) * 108.884 / 100.0;
    return 1;
}
