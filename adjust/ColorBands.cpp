#include "adjust/ColorBands.h"

#include "adjust/HsvRows.h"

#include <cstddef>
#include <cstring>

// Row tasks and their records.

// Items are offsets 0 .. width - 1 from anchor a of one band.
struct HueMapContext {
    ColorBandTable* table;
    uint32_t band;
    uint32_t anchor;   // a
    uint32_t width;    // distance from a to the next anchor
    uint32_t start;    // a shifted
    uint32_t newSpan;  // distance between the two shifted anchors
};
void HueMapTask(void* context, uint32_t first, uint32_t count);

// Items are image rows.
struct ColorBandContext {
    const C_ImgBuff* source;
    C_ImgBuff* destination;
    const ColorBandTable* table;
    int32_t width;
};
void ColorBandRowsTask(void* context, uint32_t first, uint32_t count);

#include "image/Avx512Lanes.h"
#include "image/ColorRows.h"

namespace {

// 10992 rather than 10922 for yellow: the yellow anchor sits 70 units past pure yellow.
constexpr uint16_t kAnchorHues[kColorBandCount] = {0, 10992, 21845, 32768, 43690, 54613};

// Dark pixels (v) get half the saturation change, greyish pixels (s) half the value change.
constexpr uint32_t kHalfEffectLimit = 0x4000;

void CopyBandZeroToSix(ColorBandTable* table) {
    std::memcpy(&table->bands[kColorBandCount], &table->bands[0], sizeof(ColorBand));
}

// Wraps a hue that left 0..65535 by at most one turn.
inline uint32_t WrapHue(int32_t hue) {
    if (hue < 0) hue += 65536;
    if (hue > 65535) hue -= 65536;
    return static_cast<uint32_t>(hue);
}

int BuildBandCurve(ColorBandTable* table, int32_t band, bool vivid) {
    if (!EngineTablesReady() || table == nullptr) return 0;
    if (band < 0 || band >= kColorBandCount) return 0;
    ColorBand& b = table->bands[band];
    int32_t amount = vivid ? b.vividness : b.brightness;
    if (amount < -45) amount = -45;
    if (amount > 45) amount = 45;
    ToneCurve curve;
    curve.rebuild = 1;
    curve.position = 0;
    BuildToneCurve(&curve, amount);
    std::memcpy(vivid ? b.vividMap : b.brightMap, curve.map, sizeof(curve.map));
    if (band == 0) CopyBandZeroToSix(table);
    table->built = 1;
    return 1;
}

// The per-pixel mapping, with the blend products kept in unsigned 32 bits: a curve entry times
// a span reaches 65535 x 65536.
inline void MapPixel(const ColorBandTable* table, uint16_t* hue, uint16_t* saturation,
                     uint16_t* value) {
    const HueMapEntry& e = table->hueMap[*hue];
    uint32_t w = e.span;
    if (w == 0) return;
    uint32_t o = e.offset;
    const ColorBand& lower = table->bands[e.band];
    const ColorBand& upper = table->bands[e.band + 1];
    uint32_t s = *saturation, v = *value;
    uint32_t s2 = (uint32_t{lower.vividMap[s]} * (w - o) + uint32_t{upper.vividMap[s]} * o) / w;
    if (v <= kHalfEffectLimit) s2 = (s2 + s) / 2;
    uint32_t v2 = (uint32_t{lower.brightMap[v]} * (w - o) + uint32_t{upper.brightMap[v]} * o) / w;
    if (s <= kHalfEffectLimit) v2 = (v2 + v) / 2;
    *hue = e.mappedHue;
    *saturation = static_cast<uint16_t>(s2);
    *value = static_cast<uint16_t>(v2);
}

}  // namespace

int ResetColorBands(ColorBandTable* table) {
    if (!EngineTablesReady() || table == nullptr) return 0;
    table->built = 0;
    for (int32_t k = 0; k < kColorBandCount; ++k) {
        ColorBand& b = table->bands[k];
        b.anchorHue = kAnchorHues[k];
        b.hueShift = 0;
        b.vividness = 0;
        b.brightness = 0;
    }
    BuildHueMap(table);
    for (int32_t k = 0; k < kColorBandCount; ++k) {
        BuildBandVividness(table, k);
        BuildBandBrightness(table, k);
    }
    return 1;
}

int BuildHueMap(ColorBandTable* table) {
    if (!EngineTablesReady() || table == nullptr) return 0;
    CopyBandZeroToSix(table);
    for (int32_t k = 0; k < kColorBandCount; ++k) {
        const ColorBand& lower = table->bands[k];
        const ColorBand& upper = table->bands[k + 1];
        uint32_t a = lower.anchorHue, b = upper.anchorHue;
        if (a == b) continue;
        HueMapContext context;
        context.table = table;
        context.band = static_cast<uint32_t>(k);
        context.anchor = a;
        context.width = WrapHue(static_cast<int32_t>(b) - static_cast<int32_t>(a));
        context.start = WrapHue(static_cast<int32_t>(a) + lower.hueShift);
        uint32_t end = WrapHue(static_cast<int32_t>(b) + upper.hueShift);
        context.newSpan = WrapHue(static_cast<int32_t>(end) - static_cast<int32_t>(context.start));
        WorkerPool::Run(HueMapTask, &context, context.width);
    }
    table->built = 1;
    return 1;
}

int BuildBandVividness(ColorBandTable* table, int32_t band) {
    return BuildBandCurve(table, band, true);
}

int BuildBandBrightness(ColorBandTable* table, int32_t band) {
    return BuildBandCurve(table, band, false);
}

int ApplyColorBands(CImgBuff* dst, CImgBuff* src, const ColorBandTable* table) {
    if (!EngineTablesReady() || dst == nullptr || src == nullptr || table == nullptr) return 0;
    if (table->built == 0) return 1;
    ColorBandContext context;
    context.source = src->buffer;
    context.destination = dst->buffer;
    context.table = table;
    context.width = src->buffer->width;
    if (src->buffer->height > 0 && context.width > 0)
        WorkerPool::Run(ColorBandRowsTask, &context, static_cast<unsigned>(src->buffer->height));
    return 1;
}

int MapBandPixel(const ColorBandTable* table, uint16_t* hue, uint16_t* saturation,
                 uint16_t* value) {
    if (!EngineTablesReady() || table == nullptr || hue == nullptr || saturation == nullptr ||
        value == nullptr)
        return 0;
    MapPixel(table, hue, saturation, value);
    return 1;
}

namespace {

// 16-bit entries of eight pixels, gathered as 32-bit words at the byte offsets given; the word
// past the last entry of a curve still lies inside the table, which ends with the hue map.
[[gnu::target("avx2")]] inline __m256i Gather16(const uint8_t* base, __m256i byteOffsets) {
    return _mm256_and_si256(
        _mm256_i32gather_epi32(reinterpret_cast<const int*>(base), byteOffsets, 1),
        _mm256_set1_epi32(0xFFFF));
}

// (a * (w - o) + b * o) / w of MapPixel for four lanes, given 1 / w. Every product and sum is a
// whole number below 2^53 and the quotient q is below 2^16, so the product with the rounded
// reciprocal lies within 2^-35 of q; a quotient that is not whole lies at least 1 / w > 2^-16
// below the next whole number. Adding 2^-20 before truncating therefore gives the integer
// quotient, also when it is whole.
[[gnu::target("avx2")]] inline __m128i Blend4(__m128i a, __m128i b, __m256d reciprocal,
                                              __m256d wMinusO, __m256d o) {
    const __m256d sum = _mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(a), wMinusO),
                                      _mm256_mul_pd(_mm256_cvtepi32_pd(b), o));
    return _mm256_cvttpd_epi32(
        _mm256_add_pd(_mm256_mul_pd(sum, reciprocal), _mm256_set1_pd(0x1p-20)));
}

[[gnu::target("avx2")]] inline __m256i Blend(__m256i a, __m256i b, const __m256d reciprocal[2],
                                             const __m256d wMinusO[2], const __m256d o[2]) {
    const __m128i low = Blend4(_mm256_castsi256_si128(a), _mm256_castsi256_si128(b), reciprocal[0],
                               wMinusO[0], o[0]);
    const __m128i high = Blend4(_mm256_extracti128_si256(a, 1), _mm256_extracti128_si256(b, 1),
                                reciprocal[1], wMinusO[1], o[1]);
    return _mm256_set_m128i(high, low);
}

[[gnu::target("avx2")]] inline __m128i Pack16(__m256i lanes) {
    return _mm_packus_epi32(_mm256_castsi256_si128(lanes), _mm256_extracti128_si256(lanes, 1));
}

// Bit k set when band k (0..6) has a vividness curve (vivid) or a brightness curve (bright) other
// than the identity. A pixel between two bands without such curves keeps its saturation or
// value: the blend of two identical values is exact, and so is their mean with the old value.
uint32_t CurvedBands(const ColorBandTable* table, bool vivid, bool bright) {
    uint32_t bits = 0;
    for (int32_t k = 0; k <= kColorBandCount; ++k) {
        if ((vivid && table->bands[k].vividness != 0) ||
            (bright && table->bands[k].brightness != 0))
            bits |= 1u << k;
    }
    return bits;
}

// Whether the anchors ascend from 0, as ResetColorBands sets them: then a hue's band, span and
// offset follow from comparisons with the anchors, as BuildHueMap records them.
bool AnchorsAscendFromZero(const ColorBandTable* table) {
    if (table->bands[0].anchorHue != 0) return false;
    for (int32_t k = 1; k < kColorBandCount; ++k) {
        if (table->bands[k].anchorHue <= table->bands[k - 1].anchorHue) return false;
    }
    return true;
}

// Where each band ends, for ascending anchors: band k runs from anchor k to anchor k + 1, the
// last band to a full turn (ends 6 and 7).
void BandEnds(const ColorBandTable* table, int32_t ends[8]) {
    for (int32_t k = 0; k < kColorBandCount; ++k) ends[k] = table->bands[k].anchorHue;
    ends[kColorBandCount] = ends[kColorBandCount + 1] = 65536;
}

// Without hue shifts every hue maps to itself.
bool HuesShifted(const ColorBandTable* table) {
    for (int32_t k = 0; k < kColorBandCount; ++k) {
        if (table->bands[k].hueShift != 0) return true;
    }
    return false;
}

// MapPixel on eight pixels at a time, for anchors that ascend from 0; the hue map is read only for
// the mapped hue, and only when a band shifts hues.
[[gnu::target("avx2")]] void MapBandRunAvx2(const ColorBandTable* table, uint16_t* hue,
                                            uint16_t* saturation, uint16_t* value, size_t count) {
    size_t i = 0;
    const auto* base = reinterpret_cast<const uint8_t*>(table);
    const auto* hueWords = reinterpret_cast<const int*>(table->hueMap);
    const bool shifted = HuesShifted(table);
    int32_t ends[8];
    BandEnds(table, ends);
    const __m256i anchors = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ends));
    const __m256i curved = _mm256_set1_epi32(static_cast<int>(CurvedBands(table, true, true)));
    const __m256i bandBytes = _mm256_set1_epi32(sizeof(ColorBand));
    const __m256i vividFirst =
        _mm256_set1_epi32(offsetof(ColorBandTable, bands) + offsetof(ColorBand, vividMap));
    const __m256i brightFirst =
        _mm256_set1_epi32(offsetof(ColorBandTable, bands) + offsetof(ColorBand, brightMap));
    const __m256i halfLimit = _mm256_set1_epi32(kHalfEffectLimit + 1);
    const __m256i one = _mm256_set1_epi32(1);
    for (; i + 8 <= count; i += 8) {
        const __m256i h =
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<__m128i*>(hue + i)));
        if (shifted) {
            // The second word of an entry: offset | mappedHue << 16.
            const __m256i second = _mm256_i32gather_epi32(hueWords + 1, _mm256_slli_epi32(h, 1), 4);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(hue + i),
                             Pack16(_mm256_srli_epi32(second, 16)));
        }
        // The number of anchors after the first at or below the hue.
        __m256i band = _mm256_setzero_si256();
        for (int32_t k = 1; k < kColorBandCount; ++k)
            band = _mm256_sub_epi32(band, _mm256_cmpgt_epi32(h, _mm256_set1_epi32(ends[k] - 1)));
        const __m256i pairCurved =
            _mm256_and_si256(_mm256_srlv_epi32(curved, band), _mm256_set1_epi32(3));
        if (_mm256_testz_si256(pairCurved, pairCurved)) continue;

        const __m256i lowerAnchor = _mm256_permutevar8x32_epi32(anchors, band);
        const __m256i upperAnchor =
            _mm256_permutevar8x32_epi32(anchors, _mm256_add_epi32(band, one));
        const __m256i span = _mm256_sub_epi32(upperAnchor, lowerAnchor);
        const __m256i offset = _mm256_sub_epi32(h, lowerAnchor);
        const __m256i s =
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<__m128i*>(saturation + i)));
        const __m256i v =
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<__m128i*>(value + i)));
        const __m256i lower = _mm256_mullo_epi32(band, bandBytes);
        const __m256i upper = _mm256_add_epi32(lower, bandBytes);
        const __m256i sBytes = _mm256_slli_epi32(s, 1);
        const __m256i vBytes = _mm256_slli_epi32(v, 1);
        __m256d reciprocal[2], wMinusO[2], o[2];
        for (int half = 0; half < 2; ++half) {
            const __m256d w = _mm256_cvtepi32_pd(half ? _mm256_extracti128_si256(span, 1)
                                                      : _mm256_castsi256_si128(span));
            o[half] = _mm256_cvtepi32_pd(half ? _mm256_extracti128_si256(offset, 1)
                                              : _mm256_castsi256_si128(offset));
            wMinusO[half] = _mm256_sub_pd(w, o[half]);
            reciprocal[half] = _mm256_div_pd(_mm256_set1_pd(1.0), w);
        }
        __m256i s2 =
            Blend(Gather16(base, _mm256_add_epi32(_mm256_add_epi32(vividFirst, lower), sBytes)),
                  Gather16(base, _mm256_add_epi32(_mm256_add_epi32(vividFirst, upper), sBytes)),
                  reciprocal, wMinusO, o);
        __m256i v2 =
            Blend(Gather16(base, _mm256_add_epi32(_mm256_add_epi32(brightFirst, lower), vBytes)),
                  Gather16(base, _mm256_add_epi32(_mm256_add_epi32(brightFirst, upper), vBytes)),
                  reciprocal, wMinusO, o);
        const __m256i dark = _mm256_cmpgt_epi32(halfLimit, v);
        s2 = _mm256_blendv_epi8(s2, _mm256_srli_epi32(_mm256_add_epi32(s2, s), 1), dark);
        const __m256i greyish = _mm256_cmpgt_epi32(halfLimit, s);
        v2 = _mm256_blendv_epi8(v2, _mm256_srli_epi32(_mm256_add_epi32(v2, v), 1), greyish);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(saturation + i), Pack16(s2));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(value + i), Pack16(v2));
    }
    for (; i < count; ++i) MapPixel(table, &hue[i], &saturation[i], &value[i]);
}

// The band of each of sixteen hues: how many anchors after the first lie at or below it.
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline __m512i BandsOf(
    __m512i h, const int32_t ends[8]) {
    __m512i band = _mm512_setzero_si512();
    for (int32_t k = 1; k < kColorBandCount; ++k)
        band = _mm512_mask_add_epi32(band, _mm512_cmpge_epi32_mask(h, _mm512_set1_epi32(ends[k])),
                                     band, _mm512_set1_epi32(1));
    return band;
}

// Blend4 for sixteen lanes, given the width w of each lane's band and 1 / w as eight doubles
// indexed by band.
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline __m512i Blend16(
    __m512i a, __m512i b, __m512i band, __m512i offset, __m512d widths, __m512d reciprocals) {
    __m256i out[2];
    for (int half = 0; half < 2; ++half) {
        const __m512i k = _mm512_cvtepu32_epi64(HalfLanes(band, half));
        const __m512d o = _mm512_cvtepi32_pd(HalfLanes(offset, half));
        const __m512d wMinusO = _mm512_sub_pd(_mm512_permutexvar_pd(k, widths), o);
        const __m512d sum =
            _mm512_add_pd(_mm512_mul_pd(_mm512_cvtepi32_pd(HalfLanes(a, half)), wMinusO),
                          _mm512_mul_pd(_mm512_cvtepi32_pd(HalfLanes(b, half)), o));
        out[half] = _mm512_cvttpd_epi32(_mm512_add_pd(
            _mm512_mul_pd(sum, _mm512_permutexvar_pd(k, reciprocals)), _mm512_set1_pd(0x1p-20)));
    }
    return Join(out[0], out[1]);
}

// 16-bit entries of sixteen pixels, as Gather16.
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline __m512i Gather16x16(
    const uint8_t* base, __m512i byteOffsets) {
    return _mm512_and_si512(_mm512_i32gather_epi32(byteOffsets, base, 1),
                            _mm512_set1_epi32(0xFFFF));
}

// The lanes whose band or the band after it is curved, given the bits of CurvedBands.
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline __mmask16 CurvedPairs(__m512i curved,
                                                                                   __m512i band) {
    return _mm512_test_epi32_mask(_mm512_srlv_epi32(curved, band), _mm512_set1_epi32(3));
}

// One channel x (saturation or value) of sixteen pixels through the curves at byte first of band
// 0 onwards: the blend of the lower and upper bands' entries, and where halve is set its mean
// with x.
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline __m512i MapChannel16(
    const uint8_t* base, __m512i first, __m512i lower, __m512i upper, __m512i x, __mmask16 halve,
    __m512i band, __m512i offset, __m512d widths, __m512d reciprocals) {
    const __m512i xBytes = _mm512_slli_epi32(x, 1);
    const __m512i blend =
        Blend16(Gather16x16(base, _mm512_add_epi32(_mm512_add_epi32(first, lower), xBytes)),
                Gather16x16(base, _mm512_add_epi32(_mm512_add_epi32(first, upper), xBytes)), band,
                offset, widths, reciprocals);
    return _mm512_mask_srli_epi32(blend, halve, _mm512_add_epi32(blend, x), 1);
}

// MapBandRunAvx2 sixteen pixels at a time, the last few under a mask; the widths and their
// reciprocals come from a register indexed by band instead of a division per pixel.
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] void MapBandRunAvx512(
    const ColorBandTable* table, uint16_t* hue, uint16_t* saturation, uint16_t* value,
    size_t count) {
    const auto* base = reinterpret_cast<const uint8_t*>(table);
    const auto* hueWords = reinterpret_cast<const int*>(table->hueMap);
    const bool shifted = HuesShifted(table);
    int32_t ends[8];
    BandEnds(table, ends);
    // Lanes 6 and 7 belong to no band.
    alignas(64) double widths[8], reciprocals[8];
    for (int32_t k = 0; k < 8; ++k) {
        widths[k] = k < kColorBandCount ? ends[k + 1] - ends[k] : 1.0;
        reciprocals[k] = 1.0 / widths[k];
    }
    const __m512d widthLanes = _mm512_load_pd(widths);
    const __m512d reciprocalLanes = _mm512_load_pd(reciprocals);
    const __m512i anchors =
        _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(ends)));
    // Each channel is mapped only where a band has curves for it: a band usually changes one.
    const __m512i vivid = _mm512_set1_epi32(static_cast<int>(CurvedBands(table, true, false)));
    const __m512i bright = _mm512_set1_epi32(static_cast<int>(CurvedBands(table, false, true)));
    const __m512i bandBytes = _mm512_set1_epi32(sizeof(ColorBand));
    const __m512i vividFirst =
        _mm512_set1_epi32(offsetof(ColorBandTable, bands) + offsetof(ColorBand, vividMap));
    const __m512i brightFirst =
        _mm512_set1_epi32(offsetof(ColorBandTable, bands) + offsetof(ColorBand, brightMap));
    const __m512i halfLimit = _mm512_set1_epi32(kHalfEffectLimit);
    for (size_t i = 0; i < count; i += 16) {
        const __mmask16 active = FirstLanes(count - i < 16 ? static_cast<uint32_t>(count - i) : 16);
        const __m512i h = Load16(hue + i, active);
        if (shifted) {
            // The second word of an entry: offset | mappedHue << 16.
            const __m512i second = _mm512_i32gather_epi32(_mm512_slli_epi32(h, 1), hueWords + 1, 4);
            Store16(hue + i, active, _mm512_srli_epi32(second, 16));
        }
        const __m512i band = BandsOf(h, ends);
        const __mmask16 vividLanes = CurvedPairs(vivid, band);
        const __mmask16 brightLanes = CurvedPairs(bright, band);
        if ((vividLanes | brightLanes) == 0) continue;

        const __m512i offset = _mm512_sub_epi32(h, _mm512_permutexvar_epi32(band, anchors));
        const __m512i s = Load16(saturation + i, active);
        const __m512i v = Load16(value + i, active);
        const __m512i lower = _mm512_mullo_epi32(band, bandBytes);
        const __m512i upper = _mm512_add_epi32(lower, bandBytes);
        // Both take the incoming s and v.
        if (vividLanes != 0)
            Store16(saturation + i, active,
                    MapChannel16(base, vividFirst, lower, upper, s,
                                 _mm512_cmple_epi32_mask(v, halfLimit), band, offset, widthLanes,
                                 reciprocalLanes));
        if (brightLanes != 0)
            Store16(value + i, active,
                    MapChannel16(base, brightFirst, lower, upper, v,
                                 _mm512_cmple_epi32_mask(s, halfLimit), band, offset, widthLanes,
                                 reciprocalLanes));
    }
}

}  // namespace

void MapBandRun(const ColorBandTable* table, uint16_t* hue, uint16_t* saturation, uint16_t* value,
                size_t count) {
    // The vector kernels find a pixel's band among anchors that ascend from 0.
    const VectorLevel level =
        AnchorsAscendFromZero(table) ? ActiveVectorLevel() : VectorLevel::kScalar;
    switch (level) {
        case VectorLevel::kAvx512:
            return MapBandRunAvx512(table, hue, saturation, value, count);
        case VectorLevel::kAvx2:
            return MapBandRunAvx2(table, hue, saturation, value, count);
        case VectorLevel::kScalar:
            break;
    }
    for (size_t i = 0; i < count; ++i) MapPixel(table, &hue[i], &saturation[i], &value[i]);
}

int ColorBandsNeutral(const ColorBandTable* table) {
    for (int32_t k = 0; k < kColorBandCount; ++k) {
        const ColorBand& b = table->bands[k];
        if (b.hueShift != 0 || b.vividness != 0 || b.brightness != 0) return 0;
    }
    return 1;
}

void HueMapTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<HueMapContext*>(context);
    for (uint32_t o = first; o < first + count; ++o) {
        HueMapEntry& e = c->table->hueMap[(c->anchor + o) & 0xFFFF];
        // Below two turns, so keeping the low 16 bits wraps it back onto the circle.
        uint32_t mapped = c->start + o * c->newSpan / c->width;
        e.band = static_cast<uint16_t>(c->band);
        e.span = static_cast<uint16_t>(c->width);
        e.offset = static_cast<uint16_t>(o);
        e.mappedHue = static_cast<uint16_t>(mapped);
    }
}

void ColorBandRowsTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<ColorBandContext*>(context);
    const ColorBandTable* table = c->table;
    MapHsvRows(c->source, c->destination, c->width, first, count,
               [table](uint16_t& h, uint16_t& s, uint16_t& v) { MapPixel(table, &h, &s, &v); });
}
