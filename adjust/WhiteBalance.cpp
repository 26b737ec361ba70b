#include "adjust/WhiteBalance.h"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "image/ColorModel.h"
#include "image/ColorRows.h"
#include "image/PixelPlanes.h"
#include "image/PixelSamples.h"
#include "parallel/WorkerPool.h"

GreyLabEntry GreyLabTable[256];
std::atomic<uint32_t> greyLabTableBuilt{0};

namespace {

// Images smaller than this in either direction are too small for a meaningful block grid.
constexpr int32_t kMinBlockModeSide = 128;
constexpr int32_t kBlocksPerSide = 16;

// sRGB channels 0..1 to L*a*b* through XYZ, the way every colour of the white balance goes.
void SrgbToLab(double r, double g, double b, double* lightness, double* a, double* bStar) {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    SrgbToXyz(r, g, b, &x, &y, &z);
    XyzToLab(x, y, z, lightness, a, bStar);
}

void GreyLabTableTask(void*, uint32_t first, uint32_t count) {
    for (uint32_t i = first; i < first + count; ++i) {
        const double grey = i / 255.0;
        double lightness = 0.0;
        SrgbToLab(grey, grey, grey, &lightness, &GreyLabTable[i].a, &GreyLabTable[i].b);
    }
}

// Adds GetRGB16 of the pixels x0 .. x1 - 1 of row y to sum. The photo's own types are read
// from their samples directly, with the same conversion the getter makes.
void SumRowRgb16(const C_ImgBuff& image, int32_t y, int32_t x0, int32_t x1, uint64_t sum[3]) {
    const size_t first = static_cast<size_t>(y) * image.width + x0;
    if (image.type == PT_HSV16) {
        ForEachRgb16Run(
            reinterpret_cast<const uint16_t*>(image.pixels) + first * 3,
            static_cast<size_t>(x1 - x0),
            [sum](const uint16_t* r, const uint16_t* g, const uint16_t* b, size_t, size_t n) {
                for (size_t i = 0; i < n; ++i) {
                    sum[0] += r[i];
                    sum[1] += g[i];
                    sum[2] += b[i];
                }
            });
        return;
    }
    if (image.type == PT_RGB16) {
        const uint8_t* row = image.pixels + first * 6;
        for (int32_t x = x0; x < x1; ++x, row += 6) {
            for (int c = 0; c < 3; ++c) sum[c] += pixel_samples::Load16(row + 2 * c);
        }
        return;
    }
    for (int32_t x = x0; x < x1; ++x) {
        uint16_t rgb[3];
        image.GetRGB16(x, y, &rgb[0], &rgb[1], &rgb[2]);
        for (int c = 0; c < 3; ++c) sum[c] += rgb[c];
    }
}

int64_t PercentOfFullScale(int pct) {
    return static_cast<int64_t>(pct) * 65535 / 100;
}

// Writes sum / n as a 16-bit channel value scaled to 0..1 to each requested output.
void StoreMeans(const double sum[3], double n, double* r, double* g, double* b) {
    double* outputs[3] = {r, g, b};
    for (int c = 0; c < 3; ++c) {
        if (outputs[c] == nullptr) continue;
        const auto mean = static_cast<uint16_t>(static_cast<uint32_t>(sum[c] / n));
        *outputs[c] = mean / 65535.0;
    }
}

// The top byte of the 32-bit channel that XyzToSrgb's encoding of linear light gives.
uint8_t EncodedByteDirectly(double linear) {
    return static_cast<uint8_t>(static_cast<uint32_t>(EncodeSrgb(linear) * 4294967295.0) >> 24);
}

// The 8-bit sRGB decoding of every byte, and for each byte k >= 1 the least linear value whose
// encoded byte is k or more: the encoded byte only grows with the linear value, so it is the
// number of thresholds at or below the value. Both are computed once with the real pow.
// The byte at the lower end of each of kBuckets equal parts of 0..1, where a search among the
// thresholds starts: no part spans more than a few bytes.
constexpr int kBuckets = 4096;

struct SrgbByteTables {
    double decoded[256];
    double threshold[256];          // entry 0 unused
    int32_t bucketStart[kBuckets];  // 32 bits: vector lanes gather them
    int maxSteps;                   // the most thresholds inside one part
};

SrgbByteTables MakeSrgbByteTables() {
    SrgbByteTables tables{};
    for (int i = 0; i < 256; ++i) tables.decoded[i] = DecodeSrgb(i / 255.0);
    // Non-negative doubles are ordered as their bit patterns: bisect those between 0 (byte 0)
    // and 2 (byte 255).
    auto bits = [](double value) { return std::bit_cast<uint64_t>(value); };
    for (int k = 1; k < 256; ++k) {
        uint64_t below = bits(0.0), atOrAbove = bits(2.0);
        while (atOrAbove - below > 1) {
            const uint64_t middle = below + (atOrAbove - below) / 2;
            if (EncodedByteDirectly(std::bit_cast<double>(middle)) >= k) {
                atOrAbove = middle;
            } else {
                below = middle;
            }
        }
        tables.threshold[k] = std::bit_cast<double>(atOrAbove);
    }
    for (int j = 0; j < kBuckets; ++j) {
        const double start = static_cast<double>(j) / kBuckets;
        int k = 0;
        while (k < 255 && start >= tables.threshold[k + 1]) ++k;
        tables.bucketStart[j] = k;
        const double end = static_cast<double>(j + 1) / kBuckets;
        int steps = 0;
        while (k + steps < 255 && tables.threshold[k + steps + 1] < end) ++steps;
        tables.maxSteps = std::max(tables.maxSteps, steps);
    }
    return tables;
}

const SrgbByteTables& ByteTables() {
    static const SrgbByteTables tables = MakeSrgbByteTables();
    return tables;
}

uint8_t EncodedByte(const SrgbByteTables& tables, double linear) {
    // NaN and values below the first threshold fail the comparison and give 0.
    if (!(linear >= tables.threshold[1])) return 0;
    if (linear >= tables.threshold[255]) return 255;
    // linear lies in 0..1 here, and the bucket's lower end, an exact product, at or below it.
    int k = tables.bucketStart[static_cast<int>(linear * kBuckets)];
    while (linear >= tables.threshold[k + 1]) ++k;
    return static_cast<uint8_t>(k);
}

// EncodedByte in four lanes: the same comparisons, the bucket and the steps up from it.
[[gnu::target("avx2")]] inline __m256i EncodedBytes4(const SrgbByteTables& tables, __m256d linear) {
    const __m256d below = _mm256_cmp_pd(linear, _mm256_set1_pd(tables.threshold[1]), _CMP_NGE_UQ);
    const __m256d top = _mm256_cmp_pd(linear, _mm256_set1_pd(tables.threshold[255]), _CMP_GE_OQ);
    // Lanes decided already search from 0.0, where no step is taken.
    const __m256d inside = _mm256_andnot_pd(_mm256_or_pd(below, top), linear);
    const __m128i bucket = _mm256_cvttpd_epi32(_mm256_mul_pd(inside, _mm256_set1_pd(kBuckets)));
    __m256i k = _mm256_cvtepi32_epi64(_mm_i32gather_epi32(tables.bucketStart, bucket, 4));
    // As many steps as any part needs (one, with these tables), so that no branch waits on them.
    for (int s = 0; s < tables.maxSteps; ++s) {
        const __m256d next = _mm256_i64gather_pd(tables.threshold + 1, k, 8);
        k = _mm256_sub_epi64(k, _mm256_castpd_si256(_mm256_cmp_pd(inside, next, _CMP_GE_OQ)));
    }
    return _mm256_blendv_epi8(k, _mm256_set1_epi64x(255), _mm256_castpd_si256(top));
}

// The four 64-bit lanes of bytes, 0..255 each, stored as four bytes.
[[gnu::target("avx2")]] inline void StoreLaneBytes(__m256i bytes, uint8_t* out) {
    const __m128i words = _mm256_castsi256_si128(
        _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
    const int32_t packed =
        _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packus_epi32(words, words), words));
    std::memcpy(out, &packed, 4);
}

[[gnu::target("avx2")]] void EncodedBytesAvx2(const SrgbByteTables& tables, const double* linear,
                                              uint8_t* bytes, size_t count) {
    size_t i = 0;
    for (; i + 4 <= count; i += 4)
        StoreLaneBytes(EncodedBytes4(tables, _mm256_loadu_pd(linear + i)), bytes + i);
    for (; i < count; ++i) bytes[i] = EncodedByte(tables, linear[i]);
}

[[gnu::target("avx2")]] inline __m256d Mul(__m256d a, double b) {
    return _mm256_mul_pd(a, _mm256_set1_pd(b));
}
[[gnu::target("avx2")]] inline __m256d Div(__m256d a, double b) {
    return _mm256_div_pd(a, _mm256_set1_pd(b));
}

// LabToXyz's inverse of f in four lanes: the cube above 6/29, a line below.
[[gnu::target("avx2")]] inline __m256d LabG4(__m256d t) {
    const __m256d cube = _mm256_mul_pd(_mm256_mul_pd(t, t), t);
    const __m256d line =
        Mul(_mm256_sub_pd(t, _mm256_set1_pd(0.13793103448275862)), 0.12841854934601665);
    return _mm256_blendv_pd(line, cube,
                            _mm256_cmp_pd(t, _mm256_set1_pd(0.20689655172413793), _CMP_GT_OQ));
}

// WhiteBalanceColorFast for up to 64 colours, four in the lanes of a vector: the operations of
// the written formulas in their order, none fused; the cube roots of all the ratios to the white
// point run in one call in between. Lanes past count repeat the last colour.
[[gnu::target("avx2")]] void TransformChunkAvx2(uint8_t (*colours)[3], uint32_t count,
                                                const WhiteBalanceShift& shift) {
    const SrgbByteTables& tables = ByteTables();
    const uint32_t lanes = (count + 3) / 4 * 4;
    alignas(32) double ratio[3][64];  // X / Xn, Y / Yn, Z / Zn, then f of each
    for (uint32_t n = 0; n < lanes; n += 4) {
        alignas(32) double decoded[3][4];
        for (uint32_t lane = 0; lane < 4; ++lane) {
            const uint8_t* colour = colours[std::min(n + lane, count - 1)];
            for (int c = 0; c < 3; ++c) decoded[c][lane] = tables.decoded[colour[c]];
        }
        const __m256d red = _mm256_load_pd(decoded[0]);
        const __m256d green = _mm256_load_pd(decoded[1]);
        const __m256d blue = _mm256_load_pd(decoded[2]);
        const __m256d x = _mm256_add_pd(_mm256_add_pd(Mul(red, 0.4124564), Mul(green, 0.3575761)),
                                        Mul(blue, 0.1804375));
        const __m256d y = _mm256_add_pd(_mm256_add_pd(Mul(red, 0.2126729), Mul(green, 0.7151522)),
                                        Mul(blue, 0.072175));
        const __m256d z = _mm256_add_pd(_mm256_add_pd(Mul(red, 0.0193339), Mul(green, 0.119192)),
                                        Mul(blue, 0.9503041));
        _mm256_store_pd(ratio[0] + n, Div(Mul(x, 100.0), 95.0489));
        _mm256_store_pd(ratio[1] + n, Div(Mul(y, 100.0), 100.0));
        _mm256_store_pd(ratio[2] + n, Div(Mul(z, 100.0), 108.884));
    }
    for (double* channel : ratio) LabFRun(channel, lanes);
    alignas(32) double linear[3][64];
    for (uint32_t n = 0; n < lanes; n += 4) {
        const __m256d fx = _mm256_load_pd(ratio[0] + n);
        const __m256d fy = _mm256_load_pd(ratio[1] + n);
        const __m256d fz = _mm256_load_pd(ratio[2] + n);
        const __m256d lightness = _mm256_sub_pd(Mul(fy, 116.0), _mm256_set1_pd(16.0));
        const __m256d a =
            _mm256_add_pd(Mul(_mm256_sub_pd(fx, fy), 500.0), _mm256_set1_pd(shift.da));
        const __m256d b =
            _mm256_add_pd(Mul(_mm256_sub_pd(fy, fz), 200.0), _mm256_set1_pd(shift.db));
        const __m256d gy = Div(_mm256_add_pd(lightness, _mm256_set1_pd(16.0)), 116.0);
        const __m256d gx = _mm256_add_pd(Div(a, 500.0), gy);
        const __m256d gz = _mm256_sub_pd(gy, Div(b, 200.0));
        const __m256d x = Div(Mul(LabG4(gx), 95.0489), 100.0);
        const __m256d y = Div(Mul(LabG4(gy), 100.0), 100.0);
        const __m256d z = Div(Mul(LabG4(gz), 108.884), 100.0);
        _mm256_store_pd(linear[0] + n,
                        _mm256_add_pd(_mm256_add_pd(Mul(x, 3.2404542), Mul(y, -1.5371385)),
                                      Mul(z, -0.4985314)));
        _mm256_store_pd(
            linear[1] + n,
            _mm256_add_pd(_mm256_add_pd(Mul(x, -0.969266), Mul(y, 1.8760108)), Mul(z, 0.041556)));
        _mm256_store_pd(
            linear[2] + n,
            _mm256_add_pd(_mm256_add_pd(Mul(x, 0.0556434), Mul(y, -0.2040259)), Mul(z, 1.0572252)));
    }
    uint8_t bytes[3][64];
    for (int c = 0; c < 3; ++c) EncodedBytesAvx2(tables, linear[c], bytes[c], lanes);
    for (uint32_t n = 0; n < count; ++n)
        for (int c = 0; c < 3; ++c) colours[n][c] = bytes[c][n];
}

}  // namespace

void EncodedSrgbBytes(const double* linear, uint8_t* bytes, size_t count) {
    const SrgbByteTables& tables = ByteTables();
    if (ActiveVectorLevel() >= VectorLevel::kAvx2)
        return EncodedBytesAvx2(tables, linear, bytes, count);
    for (size_t i = 0; i < count; ++i) bytes[i] = EncodedByte(tables, linear[i]);
}

const double* SrgbByteThresholds() {
    return ByteTables().threshold;
}

void BuildGreyLabTable() {
    static std::mutex buildLock;
    std::lock_guard<std::mutex> guard(buildLock);
    if (greyLabTableBuilt.load(std::memory_order_acquire) != 0) return;
    WorkerPool::Run(GreyLabTableTask, nullptr, 256);
    greyLabTableBuilt.store(1, std::memory_order_release);
}

namespace {}  // namespace

GreyPointMeter::GreyPointMeter(int32_t width, int32_t height, int saturationLimitPct,
                               int minValuePct)
    : width_(width),
      height_(height),
      saturationLimit_(saturationLimitPct == 0 ? 65535 : PercentOfFullScale(saturationLimitPct)),
      minValue_(PercentOfFullScale(minValuePct)) {
    if ((saturationLimit_ == 65535 && minValue_ == 0) || width < kMinBlockModeSide ||
        height < kMinBlockModeSide) {
        // One block: the whole image.
        blockWidth_ = width;
        blockHeight_ = height;
        return;
    }
    // A grid of blocks of about 1/16 of the image per direction; at most kGreyBlocksMax a
    // direction, since the width and height are at least 128.
    blockMode_ = true;
    blockWidth_ = width / kBlocksPerSide;
    blockHeight_ = height / kBlocksPerSide;
    blocksAcross_ = width / blockWidth_ + (width % blockWidth_ != 0 ? 1 : 0);
    blockRows_ = height / blockHeight_ + (height % blockHeight_ != 0 ? 1 : 0);
}

void GreyPointMeter::AddRows(const C_ImgBuff& rows, int32_t first) {
    if (rows.height < 1) return;
    Rows context{this, &rows, first};
    WorkerPool::Run(RowsTask, &context, static_cast<unsigned>(rows.height));
}

void GreyPointMeter::RowsTask(void* context, uint32_t from, uint32_t count) {
    const auto* job = static_cast<const Rows*>(context);
    GreyPointMeter& m = *job->meter;
    uint64_t sums[kGreyBlocksMax * kGreyBlocksMax][3] = {};
    for (uint32_t i = from; i < from + count; ++i) {
        const int32_t by = (job->first + static_cast<int32_t>(i)) / m.blockHeight_;
        for (int32_t bx = 0; bx < m.blocksAcross_; ++bx) {
            const int32_t left = bx * m.blockWidth_;
            SumRowRgb16(*job->rows, static_cast<int32_t>(i), left,
                        std::min(left + m.blockWidth_, m.width_), sums[by * m.blocksAcross_ + bx]);
        }
    }
    // Integer sums: exact, so the order in which slices merge cannot change the result.
    std::lock_guard<std::mutex> guard(m.lock_);
    for (int32_t block = 0; block < m.blockRows_ * m.blocksAcross_; ++block)
        for (int c = 0; c < 3; ++c) m.sums_[block][c] += sums[block][c];
    m.rowsAdded_ += count;
}

int GreyPointMeter::Result(double* r, double* g, double* b) const {
    if (rowsAdded_ == 0) return 0;
    double sum[3] = {0.0, 0.0, 0.0};
    uint32_t n = 0;
    for (int32_t by = 0; blockMode_ && by < blockRows_; ++by) {
        const int32_t top = by * blockHeight_;
        const int32_t bottom = std::min(top + blockHeight_, height_);
        for (int32_t bx = 0; bx < blocksAcross_; ++bx) {
            const int32_t left = bx * blockWidth_;
            const int32_t right = std::min(left + blockWidth_, width_);
            const uint64_t m = static_cast<uint64_t>(bottom - top) * (right - left);
            if (m == 0) continue;
            double mean[3];
            for (int c = 0; c < 3; ++c)
                mean[c] = static_cast<double>(sums_[by * blocksAcross_ + bx][c]) / m;
            uint16_t h = 0;
            uint16_t s = 0;
            uint16_t v = 0;
            RgbToHsv16(static_cast<uint16_t>(mean[0]), static_cast<uint16_t>(mean[1]),
                       static_cast<uint16_t>(mean[2]), &h, &s, &v);
            if (s > saturationLimit_ || v < minValue_) continue;
            for (int c = 0; c < 3; ++c) sum[c] += mean[c];
            ++n;
        }
    }
    if (n > 0) {
        StoreMeans(sum, n, r, g, b);
        return 1;
    }
    // No block passed the limits, or none was asked for: the mean of the whole image.
    for (int32_t block = 0; block < blockRows_ * blocksAcross_; ++block)
        for (int c = 0; c < 3; ++c) sum[c] += static_cast<double>(sums_[block][c]);
    StoreMeans(sum, static_cast<double>(uint64_t(rowsAdded_) * uint64_t(width_)), r, g, b);
    return 1;
}

int EstimateGreyPoint(const CImgBuff* image, double* r, double* g, double* b,
                      int saturationLimitPct, int minValuePct) {
    if (image == nullptr) return 0;
    const C_ImgBuff& own = *image->buffer;
    if (own.type == PT_NONE || own.type > PT_CMYK8 || own.width < 1 || own.height < 1) return 0;
    GreyPointMeter meter(own.width, own.height, saturationLimitPct, minValuePct);
    meter.AddRows(own, 0);
    return meter.Result(r, g, b);
}

ColorCache* CreateWhiteBalanceCache(double r, double g, double b) {
    if (greyLabTableBuilt.load(std::memory_order_acquire) == 0) BuildGreyLabTable();
    ByteTables();
    ColorCache* cache = ColorCache_Create();
    if (cache == nullptr) return nullptr;
    auto* shift = static_cast<WhiteBalanceShift*>(std::calloc(1, sizeof(WhiteBalanceShift)));
    if (shift == nullptr) {
        ColorCache_Destroy(cache);
        return nullptr;
    }
    cache->transform = WhiteBalanceColorFast;
    cache->transformMany = TransformWhiteBalanceColours;
    cache->userData = shift;

    double lightness = 0.0;
    double a = 0.0;
    double bStar = 0.0;
    SrgbToLab(r, g, b, &lightness, &a, &bStar);

    // The residue of the grey with the grey point's lightness: the shift then takes the grey
    // point exactly to where the conversions put a true grey of that level.
    const double level = std::round(lightness * 255 / 100);
    const int entry = !(level > 0) ? 0 : level > 255 ? 255 : static_cast<int>(level);
    shift->da = GreyLabTable[entry].a - a;
    shift->db = GreyLabTable[entry].b - bStar;
    return cache;
}

int WhiteBalanceColor(uint8_t* r, uint8_t* g, uint8_t* b, void* userData) {
    const auto* shift = static_cast<const WhiteBalanceShift*>(userData);
    if (shift == nullptr) return 0;
    double lightness = 0.0;
    double a = 0.0;
    double bStar = 0.0;
    SrgbToLab(*r / 255.0, *g / 255.0, *b / 255.0, &lightness, &a, &bStar);
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    LabToXyz(lightness, a + shift->da, bStar + shift->db, &x, &y, &z);
    double rgb[3];
    XyzToSrgb(x, y, z, &rgb[0], &rgb[1], &rgb[2]);
    uint8_t* bytes[3] = {r, g, b};
    for (int c = 0; c < 3; ++c) {
        *bytes[c] = static_cast<uint8_t>(static_cast<uint32_t>(rgb[c] * 4294967295.0) >> 24);
    }
    return 1;
}

int WhiteBalanceColorFast(uint8_t* r, uint8_t* g, uint8_t* b, void* userData) {
    const auto* shift = static_cast<const WhiteBalanceShift*>(userData);
    if (shift == nullptr) return 0;
    const SrgbByteTables& tables = ByteTables();
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    LinearToXyz(tables.decoded[*r], tables.decoded[*g], tables.decoded[*b], &x, &y, &z);
    double lightness = 0.0;
    double a = 0.0;
    double bStar = 0.0;
    XyzToLab(x, y, z, &lightness, &a, &bStar);
    LabToXyz(lightness, a + shift->da, bStar + shift->db, &x, &y, &z);
    double linear[3];
    XyzToLinear(x, y, z, linear);
    *r = EncodedByte(tables, linear[0]);
    *g = EncodedByte(tables, linear[1]);
    *b = EncodedByte(tables, linear[2]);
    return 1;
}

void TransformWhiteBalanceColours(uint8_t (*colours)[3], uint32_t count, void* userData) {
    const auto* shift = static_cast<const WhiteBalanceShift*>(userData);
    if (shift != nullptr && ActiveVectorLevel() >= VectorLevel::kAvx2) {
        for (uint32_t first = 0; first < count; first += 64)
            TransformChunkAvx2(colours + first, std::min(count - first, 64u), *shift);
        return;
    }
    for (uint32_t n = 0; n < count; ++n)
        WhiteBalanceColorFast(&colours[n][0], &colours[n][1], &colours[n][2], userData);
}
