#include "adjust/ColorCache.h"
#include "adjust/ColorCacheTesting.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <new>

#include "image/Avx512Lanes.h"
#include "image/ColorRows.h"
#include "image/ConvertTasks.h"
#include "image/HugePages.h"
#include "parallel/WorkerPool.h"

struct ColorCacheContext {
    ColorCache* cache;
    uint8_t* pixels;          // packed pixels of the task's type; items are pixels
    std::atomic<int> failed;  // set by a task that met a block it could not allocate
};

void MapRgb8Task(void* context, uint32_t first, uint32_t count);
void MapRgb16Task(void* context, uint32_t first, uint32_t count);
void MapRgb32Task(void* context, uint32_t first, uint32_t count);

namespace {

// Lattice spacing of the 8-bit colours in 16- and 32-bit samples.
constexpr int64_t kStep16 = 257;
constexpr int64_t kStep32 = 16843009;

struct ClearSlotsContext {
    std::atomic<ColorCacheBlock*>* index;
};

void ClearSlotsTask(void* context, uint32_t first, uint32_t count) {
    auto* ctx = static_cast<ClearSlotsContext*>(context);
    for (uint32_t i = first; i < first + count; ++i) ctx->index[i].store(nullptr);
}

}  // namespace

// Blocks come from slabs of 8 MB (41943 blocks) backed by 2 MB pages where the system allows:
// filling the whole lattice takes 7 allocations instead of 262144 and page faults 512 times
// fewer (on a virtual machine a fault costs more than filling the page). Only the pages a cache
// touches take memory, so a cache that needs few blocks holds at most one 2 MB page more.
constexpr size_t kSlabBytes = size_t{8} << 20;
constexpr uint32_t kBlocksPerSlab = (kSlabBytes - sizeof(void*)) / sizeof(ColorCacheBlock);

struct ColorCacheSlab {
    ColorCacheSlab* next;
    ColorCacheBlock blocks[kBlocksPerSlab];
};

namespace {

// Block allocations left before the one a test makes fail; 0: none fails.
std::atomic<uint32_t> allocationsBeforeFailure{0};

// A block carved from the newest slab (or a new one) and appended to the block list; null when
// memory is short. The caller holds the cache's lock. Slabs are not cleared: a block's entries
// are all written before it is published.
ColorCacheBlock* TakeBlock(ColorCache* cache) {
    uint32_t left = allocationsBeforeFailure.load(std::memory_order_relaxed);
    while (left != 0 && !allocationsBeforeFailure.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 1) return nullptr;
    if (cache->slabs == nullptr || cache->slabBlocksTaken == kBlocksPerSlab) {
        auto* slab = static_cast<ColorCacheSlab*>(std::aligned_alloc(kHugePageBytes, kSlabBytes));
        if (slab == nullptr) return nullptr;
        AdviseHugePages(slab, kSlabBytes);
        slab->next = cache->slabs;
        cache->slabs = slab;
        cache->slabBlocksTaken = 0;
    }
    ColorCacheBlock* block = &cache->slabs->blocks[cache->slabBlocksTaken++];
    block->next = nullptr;
    if (cache->lastBlock != nullptr) {
        cache->lastBlock->next = block;
    } else {
        cache->firstBlock = block;
    }
    cache->lastBlock = block;
    return block;
}

void FillBlockColourByColour(ColorCache* cache, uint32_t r0, uint32_t g0, uint32_t b0,
                             uint8_t entries[64][3]) {
    for (uint32_t i = 0; i < 4; ++i) {
        for (uint32_t j = 0; j < 4; ++j) {
            for (uint32_t k = 0; k < 4; ++k) {
                uint8_t* colour = entries[i * 16 + j * 4 + k];
                colour[0] = static_cast<uint8_t>(r0 + i);
                colour[1] = static_cast<uint8_t>(g0 + j);
                colour[2] = static_cast<uint8_t>(b0 + k);
                cache->transform(&colour[0], &colour[1], &colour[2], cache->userData);
            }
        }
    }
}

// Transforms the 64 colours of the slot's block and publishes it.
void FillBlock(ColorCache* cache, uint32_t slot, ColorCacheBlock* block) {
    const uint32_t r0 = (slot >> 12) * 4;
    const uint32_t g0 = ((slot >> 6) & 63) * 4;
    const uint32_t b0 = (slot & 63) * 4;
    if (cache->fillBlock != nullptr) {
        cache->fillBlock(static_cast<uint8_t>(r0), static_cast<uint8_t>(g0),
                         static_cast<uint8_t>(b0), block->entries, cache->userData);
    } else {
        FillBlockColourByColour(cache, r0, g0, b0, block->entries);
    }
    // Release: a thread that sees the pointer sees the 64 finished entries.
    cache->index[slot].store(block, std::memory_order_release);
}

// The entry of a colour whose block is not published yet: claims and fills the block, or,
// while another thread fills it, transforms the colour directly into scratch (the same function
// gives the same bytes) instead of waiting. Null when the block cannot be allocated (the slot
// stays free). One lock per block: the claim, the carving and the listing go together.
[[gnu::noinline]] const uint8_t* FindEntrySlowly(ColorCache* cache, uint8_t r, uint8_t g, uint8_t b,
                                                 uint8_t scratch[3]) {
    const uint32_t slot = (r >> 2) * 4096u + (g >> 2) * 64u + (b >> 2);
    std::atomic<ColorCacheBlock*>& entry = cache->index[slot];
    const ColorCacheBlock* block = nullptr;
    ColorCacheBlock* claimed = nullptr;
    {
        std::lock_guard<std::mutex> guard(cache->lock);
        block = entry.load(std::memory_order_acquire);
        if (block == nullptr) {
            claimed = TakeBlock(cache);
            if (claimed == nullptr) return nullptr;
            entry.store(kColorCacheFilling, std::memory_order_relaxed);
        }
    }
    if (claimed != nullptr) {
        FillBlock(cache, slot, claimed);
        block = claimed;
    } else if (block == kColorCacheFilling) {
        scratch[0] = r;
        scratch[1] = g;
        scratch[2] = b;
        cache->transform(&scratch[0], &scratch[1], &scratch[2], cache->userData);
        return scratch;
    }
    return block->entries[(r & 3) * 16 + (g & 3) * 4 + (b & 3)];
}

// The transformed entry of a colour, or null when its block cannot be allocated. A hit is one
// acquire load, with no lock and no call.
inline const uint8_t* FindEntry(ColorCache* cache, uint8_t r, uint8_t g, uint8_t b,
                                uint8_t scratch[3]) {
    const uint32_t slot = (r >> 2) * 4096u + (g >> 2) * 64u + (b >> 2);
    const ColorCacheBlock* block = cache->index[slot].load(std::memory_order_acquire);
    if (block == nullptr || block == kColorCacheFilling)
        return FindEntrySlowly(cache, r, g, b, scratch);
    return block->entries[(r & 3) * 16 + (g & 3) * 4 + (b & 3)];
}

// k / 257.0 for k = 0..256, folded at compile time with the same IEEE rounding as the
// division at run time: the 16-bit map divides only by the lattice spacing.
constexpr std::array<double, 257> MakeQuotients16() {
    std::array<double, 257> quotients{};
    for (int k = 0; k < 257; ++k) quotients[k] = k / 257.0;
    return quotients;
}
constexpr std::array<double, 257> kQuotient16 = MakeQuotients16();

// (u - lo * step) / (hi * step - lo * step) for hi = lo + 1, the only case that divides.
struct Quotient16 {
    static double Of(int64_t offset) { return kQuotient16[offset]; }
};
struct Quotient32 {
    static double Of(int64_t offset) {
        return static_cast<double>(offset) / static_cast<double>(kStep32);
    }
};

// The lattice index below u (u / step rounded down) and the one above, capped at 255.
template <typename Sample>
void LatticeNeighbours(Sample u, int shift, int64_t step, uint8_t* lo, uint8_t* hi) {
    int64_t low = static_cast<int64_t>(u) >> shift;
    if (static_cast<int64_t>(u) < low * step) --low;
    *lo = static_cast<uint8_t>(low);
    *hi = static_cast<uint8_t>(low == 255 ? 255 : low + 1);
}

// Interpolates each channel between the transforms of the lattice colours below and above.
// Channel c of pixel p is planes[c][p * stride]. Stops at the first pixel whose block cannot be
// allocated and returns 0 (that pixel and the rest unchanged), else 1.
template <typename Sample, typename Quotient>
int MapInterpolated(ColorCache* cache, Sample* const planes[3], size_t stride, uint32_t count,
                    int shift, int64_t step, double maxValue) {
    if (cache == nullptr) return 0;
    if (cache->transform == nullptr) return 1;
    for (uint32_t p = 0; p < count; ++p) {
        Sample* pixel[3];
        uint8_t lo[3];
        uint8_t hi[3];
        for (int c = 0; c < 3; ++c) {
            pixel[c] = planes[c] + p * stride;
            LatticeNeighbours(*pixel[c], shift, step, &lo[c], &hi[c]);
        }
        uint8_t lowScratch[3];
        uint8_t highScratch[3];
        const uint8_t* low = FindEntry(cache, lo[0], lo[1], lo[2], lowScratch);
        if (low == nullptr) return 0;
        const uint8_t* high = FindEntry(cache, hi[0], hi[1], hi[2], highScratch);
        if (high == nullptr) return 0;
        for (int c = 0; c < 3; ++c) {
            const int64_t base = low[c] * step;
            double out = static_cast<double>(base);
            if (hi[c] > lo[c]) {
                // The quotient first, then the product: the other order differs in the last unit.
                const double t = Quotient::Of(*pixel[c] - lo[c] * step);
                out = static_cast<double>(base) + t * static_cast<double>(high[c] * step - base);
            }
            *pixel[c] = out > maxValue ? static_cast<Sample>(maxValue) : static_cast<Sample>(out);
        }
    }
    return 1;
}

// The RGB type whose pixels the cache maps for an image of the given type.
PixelType MappedType(PixelType type) {
    switch (type) {
        case PT_GRAY8:
        case PT_RGB8:
        case PT_CMYK8:
            return PT_RGB8;
        case PT_GRAY16:
        case PT_RGB16:
        case PT_HSV16:
            return PT_RGB16;
        case PT_GRAY32:
        case PT_RGB32:
        case PT_XYZ:
            return PT_RGB32;
        default:
            return PT_NONE;
    }
}

// Converts source into destination (same shape, the destination's type) with the tasks and
// the choice of task of ConvertType.
void ConvertInto(const C_ImgBuff& source, C_ImgBuff* destination) {
    ConvertContext context{destination->type, &source, destination, source.width};
    WorkerPool::Run(ChooseConvertTask(source.type, destination->type), &context,
                    static_cast<unsigned>(source.height));
}

}  // namespace

ColorCache* ColorCache_Create() {
    static std::atomic<uint64_t> lastSerial{0};
    auto* cache = new (std::nothrow) ColorCache{};
    if (cache == nullptr) return nullptr;
    cache->serial = lastSerial.fetch_add(1, std::memory_order_relaxed) + 1;
    // Value-initialised: every slot starts null.
    cache->index = new (std::nothrow) std::atomic<ColorCacheBlock*>[kColorCacheSlots]();
    if (cache->index == nullptr) {
        delete cache;
        return nullptr;
    }
    return cache;
}

int ColorCache_Clear(ColorCache* cache) {
    if (cache == nullptr) return 0;
    // Slots are non-null only for listed blocks, so an empty list means nothing to reset.
    if (cache->firstBlock == nullptr) return 1;
    ClearSlotsContext context{cache->index};
    WorkerPool::Run(ClearSlotsTask, &context, kColorCacheSlots);
    while (cache->slabs != nullptr) {
        ColorCacheSlab* next = cache->slabs->next;
        std::free(cache->slabs);
        cache->slabs = next;
    }
    cache->slabBlocksTaken = 0;
    cache->firstBlock = nullptr;
    cache->lastBlock = nullptr;
    return 1;
}

int ColorCache_Destroy(ColorCache* cache) {
    if (cache == nullptr) return 0;
    ColorCache_Clear(cache);
    std::free(cache->userData);
    delete[] cache->index;
    delete cache;
    return 1;
}

int ColorCache_Lookup(ColorCache* cache, uint8_t* r, uint8_t* g, uint8_t* b) {
    if (cache == nullptr) return 0;
    if (cache->transform == nullptr) return 1;
    uint8_t scratch[3];
    const uint8_t* colour = FindEntry(cache, *r, *g, *b, scratch);
    if (colour == nullptr) return 0;
    *r = colour[0];
    *g = colour[1];
    *b = colour[2];
    return 1;
}

int ColorCache_MapRgb8(ColorCache* cache, uint8_t* pixels, uint32_t count) {
    if (cache == nullptr) return 0;
    if (cache->transform == nullptr) return 1;
    for (uint32_t p = 0; p < count; ++p) {
        uint8_t* pixel = pixels + static_cast<size_t>(p) * 3;
        uint8_t scratch[3];
        const uint8_t* colour = FindEntry(cache, pixel[0], pixel[1], pixel[2], scratch);
        if (colour == nullptr) return 0;
        pixel[0] = colour[0];
        pixel[1] = colour[1];
        pixel[2] = colour[2];
    }
    return 1;
}

int ColorCache_MapRgb16(ColorCache* cache, uint16_t* pixels, uint32_t count) {
    uint16_t* const planes[3] = {pixels, pixels + 1, pixels + 2};
    return MapInterpolated<uint16_t, Quotient16>(cache, planes, 3, count, 8, kStep16, 65535.0);
}

namespace {

// Lanes 0..3 (half 0) or 4..7 (half 1).
[[gnu::target("avx2")]] inline __m128i Half(__m256i lanes, int half) {
    return half ? _mm256_extracti128_si256(lanes, 1) : _mm256_castsi256_si128(lanes);
}

// The interpolation of MapInterpolated for eight samples of one channel, given their lattice
// index below (lo) and the bytes low and high of their lattice colours below and above: the
// same operations in the same order. lo is 255 only for u = 65535, whose offset 0 gives base
// itself.
[[gnu::target("avx2")]] inline __m128i Interpolate16(__m256i u, __m256i lo, __m256i low,
                                                     __m256i high) {
    const __m256i step = _mm256_set1_epi32(kStep16);
    const __m256i offset = _mm256_sub_epi32(u, _mm256_mullo_epi32(lo, step));
    const __m256i base = _mm256_mullo_epi32(low, step);
    const __m256i span = _mm256_sub_epi32(_mm256_mullo_epi32(high, step), base);
    __m128i out[2];
    for (int half = 0; half < 2; ++half) {
        const __m256d baseValue = _mm256_cvtepi32_pd(Half(base, half));
        const __m256d t =
            _mm256_mask_i32gather_pd(_mm256_setzero_pd(), kQuotient16.data(), Half(offset, half),
                                     _mm256_castsi256_pd(_mm256_set1_epi64x(-1)), 8);
        const __m256d value =
            _mm256_add_pd(baseValue, _mm256_mul_pd(t, _mm256_cvtepi32_pd(Half(span, half))));
        out[half] = _mm256_cvttpd_epi32(_mm256_min_pd(value, _mm256_set1_pd(65535.0)));
    }
    return _mm_packus_epi32(out[0], out[1]);
}

// The lattice index below each of eight 16-bit samples (u / 257 rounded down) and the one
// above, capped at 255, as LatticeNeighbours gives them.
[[gnu::target("avx2")]] inline void LatticeNeighbours8(__m256i u, __m256i* lo, __m256i* hi) {
    __m256i low = _mm256_srli_epi32(u, 8);
    const __m256i lowTimesStep = _mm256_add_epi32(_mm256_slli_epi32(low, 8), low);
    low = _mm256_add_epi32(low, _mm256_cmpgt_epi32(lowTimesStep, u));
    *lo = low;
    *hi = _mm256_min_epi32(_mm256_add_epi32(low, _mm256_set1_epi32(1)), _mm256_set1_epi32(255));
}

// The addresses of the entries of eight lattice colours (four in each half), or false when any
// of their blocks is not published yet.
[[gnu::target("avx2")]] inline bool EntryAddresses(const ColorCache* cache, __m256i r, __m256i g,
                                                   __m256i b, __m256i address[2]) {
    const __m256i slot =
        _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi32(_mm256_srli_epi32(r, 2), 12),
                                        _mm256_slli_epi32(_mm256_srli_epi32(g, 2), 6)),
                        _mm256_srli_epi32(b, 2));
    const __m256i three = _mm256_set1_epi32(3);
    const __m256i entry =
        _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi32(_mm256_and_si256(r, three), 4),
                                        _mm256_slli_epi32(_mm256_and_si256(g, three), 2)),
                        _mm256_and_si256(b, three));
    const __m256i entryBytes = _mm256_add_epi32(_mm256_add_epi32(entry, entry), entry);
    const auto* index = reinterpret_cast<const long long*>(cache->index);
    const __m256i blocks0 = _mm256_i32gather_epi64(index, _mm256_castsi256_si128(slot), 8);
    const __m256i blocks1 = _mm256_i32gather_epi64(index, _mm256_extracti128_si256(slot, 1), 8);
    const __m256i none = _mm256_setzero_si256();
    const __m256i filling = _mm256_set1_epi64x(-1);
    const __m256i unpublished = _mm256_or_si256(
        _mm256_or_si256(_mm256_cmpeq_epi64(blocks0, none), _mm256_cmpeq_epi64(blocks0, filling)),
        _mm256_or_si256(_mm256_cmpeq_epi64(blocks1, none), _mm256_cmpeq_epi64(blocks1, filling)));
    if (!_mm256_testz_si256(unpublished, unpublished)) return false;
    address[0] =
        _mm256_add_epi64(blocks0, _mm256_cvtepu32_epi64(_mm256_castsi256_si128(entryBytes)));
    address[1] =
        _mm256_add_epi64(blocks1, _mm256_cvtepu32_epi64(_mm256_extracti128_si256(entryBytes, 1)));
    return true;
}

// The entries at eight addresses as words R | G << 8 | B << 16 (top byte undefined). x86 keeps
// loads in order and the addresses depend on the loaded block pointers, so the entries read are
// the ones written before the pointer was published. The word of a block's last entry reads one
// byte into its list link.
static_assert(sizeof(ColorCacheBlock) > sizeof(ColorCacheBlock::entries));
[[gnu::target("avx2")]] inline __m256i GatherEntries(const __m256i address[2]) {
    return _mm256_set_m128i(_mm256_i64gather_epi32(nullptr, address[1], 1),
                            _mm256_i64gather_epi32(nullptr, address[0], 1));
}

// Channel c (0..2) of eight entry words.
[[gnu::target("avx2")]] inline __m256i EntryChannel(__m256i words, int c) {
    return _mm256_and_si256(_mm256_srli_epi32(words, 8 * c), _mm256_set1_epi32(0xFF));
}

[[gnu::target("avx2")]] inline void LoadLattice(uint16_t* const planes[3], uint32_t i, __m256i u[3],
                                                __m256i lo[3], __m256i hi[3]) {
    for (int c = 0; c < 3; ++c) {
        u[c] =
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[c] + i)));
        LatticeNeighbours8(u[c], &lo[c], &hi[c]);
    }
}

// ColorCache_MapRgb16Planes eight pixels at a time, in runs: first the entry addresses of the
// run's lattice colours are found and their cache lines requested, so that the memory fetches
// overlap; then the entries are gathered and interpolated. A group of eight meeting a block not
// yet filled takes the scalar path, which fills it.
[[gnu::target("avx2")]] int MapRgb16PlanesAvx2(ColorCache* cache, uint16_t* const planes[3],
                                               uint32_t count) {
    constexpr uint32_t kRun = 256;
    alignas(32) __m256i lowAddress[kRun / 8][2];
    alignas(32) __m256i highAddress[kRun / 8][2];
    bool gathered[kRun / 8];
    for (uint32_t first = 0; first + 8 <= count; first += kRun) {
        const uint32_t groups = (count - first < kRun ? count - first : kRun) / 8;
        for (uint32_t k = 0; k < groups; ++k) {
            __m256i u[3], lo[3], hi[3];
            LoadLattice(planes, first + 8 * k, u, lo, hi);
            gathered[k] = EntryAddresses(cache, lo[0], lo[1], lo[2], lowAddress[k]) &&
                          EntryAddresses(cache, hi[0], hi[1], hi[2], highAddress[k]);
            if (!gathered[k]) continue;
            alignas(32) const char* lines[16];
            std::memcpy(lines, lowAddress[k], sizeof(lowAddress[k]));
            std::memcpy(lines + 8, highAddress[k], sizeof(highAddress[k]));
            for (const char* line : lines) _mm_prefetch(line, _MM_HINT_T0);
        }
        for (uint32_t k = 0; k < groups; ++k) {
            const uint32_t i = first + 8 * k;
            if (!gathered[k]) {
                uint16_t* const group[3] = {planes[0] + i, planes[1] + i, planes[2] + i};
                if (!MapInterpolated<uint16_t, Quotient16>(cache, group, 1, 8, 8, kStep16, 65535.0))
                    return 0;
                continue;
            }
            __m256i u[3], lo[3], hi[3];
            LoadLattice(planes, i, u, lo, hi);
            const __m256i low = GatherEntries(lowAddress[k]);
            const __m256i high = GatherEntries(highAddress[k]);
            for (int c = 0; c < 3; ++c) {
                _mm_storeu_si128(
                    reinterpret_cast<__m128i*>(planes[c] + i),
                    Interpolate16(u[c], lo[c], EntryChannel(low, c), EntryChannel(high, c)));
            }
        }
    }
    const uint32_t done = count / 8 * 8;
    uint16_t* const rest[3] = {planes[0] + done, planes[1] + done, planes[2] + done};
    return MapInterpolated<uint16_t, Quotient16>(cache, rest, 1, count - done, 8, kStep16, 65535.0);
}

// Sixteen-lane versions of the above, with masks where the eight-lane code blends and for the
// last few pixels of a run.

// The interpolation of MapInterpolated for sixteen samples of one channel, as Interpolate16. The
// quotient is divided out rather than gathered from kQuotient16 (the same IEEE division, measured
// faster here). lo is 255 only for u = 65535, whose offset 0 gives base itself, so no lane needs
// base put back.
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline __m512i Interpolate16x16(
    __m512i u, __m512i lo, __m512i low, __m512i high) {
    const __m512i step = _mm512_set1_epi32(kStep16);
    const __m512i offset = _mm512_sub_epi32(u, _mm512_mullo_epi32(lo, step));
    const __m512i base = _mm512_mullo_epi32(low, step);
    const __m512i span = _mm512_sub_epi32(_mm512_mullo_epi32(high, step), base);
    __m256i out[2];
    for (int half = 0; half < 2; ++half) {
        const __m512d baseValue = _mm512_cvtepi32_pd(HalfLanes(base, half));
        const __m512d t =
            _mm512_div_pd(_mm512_cvtepi32_pd(HalfLanes(offset, half)), _mm512_set1_pd(257.0));
        const __m512d value =
            _mm512_add_pd(baseValue, _mm512_mul_pd(t, _mm512_cvtepi32_pd(HalfLanes(span, half))));
        out[half] = _mm512_cvttpd_epi32(_mm512_min_pd(value, _mm512_set1_pd(65535.0)));
    }
    return Join(out[0], out[1]);
}

// The entry addresses of sixteen lattice colours (eight in each of address[0] and address[1]),
// or false when the block of any lane in active is not published yet.
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline bool EntryAddresses16(
    const ColorCache* cache, __m512i r, __m512i g, __m512i b, __mmask16 active,
    __m512i address[2]) {
    const __m512i slot =
        _mm512_or_si512(_mm512_or_si512(_mm512_slli_epi32(_mm512_srli_epi32(r, 2), 12),
                                        _mm512_slli_epi32(_mm512_srli_epi32(g, 2), 6)),
                        _mm512_srli_epi32(b, 2));
    const __m512i three = _mm512_set1_epi32(3);
    const __m512i entry =
        _mm512_or_si512(_mm512_or_si512(_mm512_slli_epi32(_mm512_and_si512(r, three), 4),
                                        _mm512_slli_epi32(_mm512_and_si512(g, three), 2)),
                        _mm512_and_si512(b, three));
    const __m512i entryBytes = _mm512_add_epi32(_mm512_add_epi32(entry, entry), entry);
    const auto* index = reinterpret_cast<const long long*>(cache->index);
    const __m512i one = _mm512_set1_epi64(1);
    for (int half = 0; half < 2; ++half) {
        const __m512i blocks = _mm512_i32gather_epi64(HalfLanes(slot, half), index, 8);
        // Null and kColorCacheFilling are the pointers whose successor is at most 1.
        const __mmask8 lanes = static_cast<__mmask8>(active >> (8 * half));
        if (_mm512_mask_cmple_epu64_mask(lanes, _mm512_add_epi64(blocks, one), one) != 0)
            return false;
        address[half] =
            _mm512_add_epi64(blocks, _mm512_cvtepu32_epi64(HalfLanes(entryBytes, half)));
    }
    return true;
}

// The entries at the addresses of the lanes in active as words R | G << 8 | B << 16 (top byte
// undefined), as GatherEntries reads them; other lanes hold 0.
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline __m512i GatherEntries16(
    const __m512i address[2], __mmask16 active) {
    const __m256i none = _mm256_setzero_si256();
    return Join(
        _mm512_mask_i64gather_epi32(none, static_cast<__mmask8>(active), address[0], nullptr, 1),
        _mm512_mask_i64gather_epi32(none, static_cast<__mmask8>(active >> 8), address[1], nullptr,
                                    1));
}

[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline __m512i EntryChannel16(__m512i words,
                                                                                    int c) {
    return _mm512_and_si512(_mm512_srli_epi32(words, 8 * c), _mm512_set1_epi32(0xFF));
}

// The samples of sixteen pixels from i on (those in active) with their lattice indices below and
// above, as LatticeNeighbours gives them.
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline void LoadLattice16(
    uint16_t* const planes[3], uint32_t i, __mmask16 active, __m512i u[3], __m512i lo[3],
    __m512i hi[3]) {
    const __m512i one = _mm512_set1_epi32(1);
    for (int c = 0; c < 3; ++c) {
        u[c] = Load16(planes[c] + i, active);
        __m512i low = _mm512_srli_epi32(u[c], 8);
        const __m512i lowTimesStep = _mm512_add_epi32(_mm512_slli_epi32(low, 8), low);
        low = _mm512_mask_sub_epi32(low, _mm512_cmpgt_epi32_mask(lowTimesStep, u[c]), low, one);
        lo[c] = low;
        hi[c] = _mm512_min_epi32(_mm512_add_epi32(low, one), _mm512_set1_epi32(255));
    }
}

// ColorCache_MapRgb16Planes sixteen pixels at a time, the last few under a mask. A group of
// sixteen meeting a block not yet filled takes the scalar path, which fills it. Unlike the
// eight-lane map it finds each group's entries just before it gathers them: requesting a whole
// run's entry lines ahead measured 19 % slower on a full photo's pixels with sixteen lanes, for
// 12 % faster on its proxy's, whose colours lie farther apart and miss the caches more.
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] int MapRgb16PlanesAvx512(
    ColorCache* cache, uint16_t* const planes[3], uint32_t count) {
    for (uint32_t i = 0; i < count; i += 16) {
        const uint32_t n = count - i < 16 ? count - i : 16;
        const __mmask16 active = FirstLanes(n);
        __m512i u[3], lo[3], hi[3];
        LoadLattice16(planes, i, active, u, lo, hi);
        __m512i lowAddress[2], highAddress[2];
        if (!EntryAddresses16(cache, lo[0], lo[1], lo[2], active, lowAddress) ||
            !EntryAddresses16(cache, hi[0], hi[1], hi[2], active, highAddress)) {
            uint16_t* const group[3] = {planes[0] + i, planes[1] + i, planes[2] + i};
            if (!MapInterpolated<uint16_t, Quotient16>(cache, group, 1, n, 8, kStep16, 65535.0))
                return 0;
            continue;
        }
        const __m512i low = GatherEntries16(lowAddress, active);
        const __m512i high = GatherEntries16(highAddress, active);
        for (int c = 0; c < 3; ++c)
            Store16(planes[c] + i, active,
                    Interpolate16x16(u[c], lo[c], EntryChannel16(low, c), EntryChannel16(high, c)));
    }
    return 1;
}

}  // namespace

int ColorCache_MapRgb16Planes(ColorCache* cache, uint16_t* r, uint16_t* g, uint16_t* b,
                              uint32_t count) {
    uint16_t* const planes[3] = {r, g, b};
    if (cache != nullptr && cache->transform != nullptr) {
        switch (ActiveVectorLevel()) {
            case VectorLevel::kAvx512:
                return MapRgb16PlanesAvx512(cache, planes, count);
            case VectorLevel::kAvx2:
                return MapRgb16PlanesAvx2(cache, planes, count);
            case VectorLevel::kScalar:
                break;
        }
    }
    return MapInterpolated<uint16_t, Quotient16>(cache, planes, 1, count, 8, kStep16, 65535.0);
}

int ColorCache_MapRgb32(ColorCache* cache, uint32_t* pixels, uint32_t count) {
    uint32_t* const planes[3] = {pixels, pixels + 1, pixels + 2};
    return MapInterpolated<uint32_t, Quotient32>(cache, planes, 3, count, 24, kStep32,
                                                 4294967295.0);
}

namespace {

// Slices after a failed one have nothing to gain; a failed slice marks the context.
bool Failed(const ColorCacheContext* context) {
    return context->failed.load(std::memory_order_relaxed) != 0;
}

void RecordResult(ColorCacheContext* context, int mapped) {
    if (!mapped) context->failed.store(1, std::memory_order_relaxed);
}

}  // namespace

void MapRgb8Task(void* context, uint32_t first, uint32_t count) {
    auto* ctx = static_cast<ColorCacheContext*>(context);
    if (Failed(ctx)) return;
    RecordResult(
        ctx, ColorCache_MapRgb8(ctx->cache, ctx->pixels + static_cast<size_t>(first) * 3, count));
}

void MapRgb16Task(void* context, uint32_t first, uint32_t count) {
    auto* ctx = static_cast<ColorCacheContext*>(context);
    if (Failed(ctx)) return;
    RecordResult(
        ctx, ColorCache_MapRgb16(
                 ctx->cache, reinterpret_cast<uint16_t*>(ctx->pixels) + first * size_t{3}, count));
}

void MapRgb32Task(void* context, uint32_t first, uint32_t count) {
    auto* ctx = static_cast<ColorCacheContext*>(context);
    if (Failed(ctx)) return;
    RecordResult(
        ctx, ColorCache_MapRgb32(
                 ctx->cache, reinterpret_cast<uint32_t*>(ctx->pixels) + first * size_t{3}, count));
}

void ColorCache_FailBlockAllocation(uint32_t n) {
    allocationsBeforeFailure.store(n, std::memory_order_relaxed);
}

int ApplyColorCache(ColorCache* cache, CImgBuff* image) {
    if (cache == nullptr || image == nullptr) return 0;
    C_ImgBuff& own = *image->buffer;
    const PixelType mappedType = MappedType(own.type);
    if (mappedType == PT_NONE || own.width < 1 || own.height < 1) return 0;
    if (cache->transform == nullptr) return 1;

    C_ImgBuff temporary;
    C_ImgBuff* mapped = &own;
    if (mappedType != own.type) {
        if (!temporary.Create(own.width, own.height, mappedType)) return 0;
        ConvertInto(own, &temporary);
        mapped = &temporary;
    }

    const uint32_t count = static_cast<uint32_t>(own.width) * static_cast<uint32_t>(own.height);
    ColorCacheContext context{cache, mapped->pixels, {0}};
    const RowTask task = mappedType == PT_RGB8    ? MapRgb8Task
                         : mappedType == PT_RGB16 ? MapRgb16Task
                                                  : MapRgb32Task;
    WorkerPool::Run(task, &context, count);

    if (context.failed.load()) return 0;
    // Converted straight back into the image's own memory: the same tasks that ConvertType
    // would run, without a second temporary of the image's size.
    if (mapped != &own) ConvertInto(temporary, &own);
    return 1;
}
