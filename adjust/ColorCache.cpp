#include "adjust/ColorCache.h"
#include "adjust/ColorCacheTesting.h"

#include <algorithm>
#include <array>
#include <bit>
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

// A block carved from the newest slab (or a new one) and appended to the block list, with no
// entry ready or claimed; null when memory is short. The caller holds the cache's lock.
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
    for (std::atomic<uint32_t>& entry : block->entries) entry.store(0, std::memory_order_relaxed);
    block->claimed.store(0, std::memory_order_relaxed);
    block->next = nullptr;
    if (cache->lastBlock != nullptr) {
        cache->lastBlock->next = block;
    } else {
        cache->firstBlock = block;
    }
    cache->lastBlock = block;
    return block;
}

uint32_t SlotOf(uint8_t r, uint8_t g, uint8_t b) {
    return (r >> 2) * 4096u + (g >> 2) * 64u + (b >> 2);
}

uint32_t EntryOf(uint8_t r, uint8_t g, uint8_t b) {
    return (r & 3u) * 16 + (g & 3u) * 4 + (b & 3u);
}

// The slot's block, carved and published when it has none yet; null when it cannot be allocated.
ColorCacheBlock* BlockAt(ColorCache* cache, uint32_t slot) {
    std::atomic<ColorCacheBlock*>& entry = cache->index[slot];
    if (ColorCacheBlock* block = entry.load(std::memory_order_acquire)) return block;
    std::lock_guard<std::mutex> guard(cache->lock);
    ColorCacheBlock* block = entry.load(std::memory_order_relaxed);
    if (block == nullptr && (block = TakeBlock(cache)) != nullptr) {
        // Release: a thread that sees the pointer sees the cleared entries.
        entry.store(block, std::memory_order_release);
    }
    return block;
}

uint32_t EntryWord(const uint8_t colour[3]) {
    return colour[0] | uint32_t{colour[1]} << 8 | uint32_t{colour[2]} << 16 | kColorCacheReady;
}

// The ready entry word of a colour that was not ready: computed into the block when no other
// thread has taken it, else for this caller alone (the same function gives the same bytes)
// instead of waiting. 0 when the block cannot be allocated.
[[gnu::noinline]] uint32_t FindEntrySlowly(ColorCache* cache, uint8_t r, uint8_t g, uint8_t b) {
    ColorCacheBlock* block = BlockAt(cache, SlotOf(r, g, b));
    if (block == nullptr) return 0;
    const uint32_t e = EntryOf(r, g, b);
    const uint64_t bit = uint64_t{1} << e;
    const bool mine = (block->claimed.fetch_or(bit, std::memory_order_acquire) & bit) == 0;
    if (!mine) {
        const uint32_t word = block->entries[e].load(std::memory_order_acquire);
        if (word & kColorCacheReady) return word;
    }
    uint8_t colour[3] = {r, g, b};
    cache->transform(&colour[0], &colour[1], &colour[2], cache->userData);
    const uint32_t word = EntryWord(colour);
    if (mine) block->entries[e].store(word, std::memory_order_release);
    return word;
}

// The transformed colour into out; 0 when its block cannot be allocated. A hit is two acquire
// loads, with no lock and no call.
inline int FindEntry(ColorCache* cache, uint8_t r, uint8_t g, uint8_t b, uint8_t out[3]) {
    const ColorCacheBlock* block = cache->index[SlotOf(r, g, b)].load(std::memory_order_acquire);
    uint32_t word =
        block != nullptr ? block->entries[EntryOf(r, g, b)].load(std::memory_order_acquire) : 0;
    if (!(word & kColorCacheReady) && (word = FindEntrySlowly(cache, r, g, b)) == 0) return 0;
    out[0] = static_cast<uint8_t>(word);
    out[1] = static_cast<uint8_t>(word >> 8);
    out[2] = static_cast<uint8_t>(word >> 16);
    return 1;
}

// Colours computed together at most: the lattice colours below and above a run of pixels.
constexpr uint32_t kPreparedMost = 512;

// Colours this thread has claimed, to be computed in one call and then stored as ready.
struct PendingColours {
    uint8_t colours[kPreparedMost][3];
    ColorCacheBlock* blocks[kPreparedMost];
    uint32_t entries[kPreparedMost];
    uint32_t count = 0;
};

// Claims the colour for pending unless it is ready or claimed already (often by this very
// batch, so a claimed bit is read before one is written). False when its block cannot be
// allocated.
bool Pend(ColorCache* cache, PendingColours& pending, uint8_t r, uint8_t g, uint8_t b) {
    ColorCacheBlock* block = BlockAt(cache, SlotOf(r, g, b));
    if (block == nullptr) return false;
    const uint32_t e = EntryOf(r, g, b);
    const uint64_t bit = uint64_t{1} << e;
    if ((block->entries[e].load(std::memory_order_acquire) & kColorCacheReady) ||
        (block->claimed.load(std::memory_order_relaxed) & bit) ||
        (block->claimed.fetch_or(bit, std::memory_order_acquire) & bit)) {
        return true;
    }
    uint8_t* colour = pending.colours[pending.count];
    colour[0] = r;
    colour[1] = g;
    colour[2] = b;
    pending.blocks[pending.count] = block;
    pending.entries[pending.count++] = e;
    return true;
}

// Computes the pending colours, in one call of transformMany where the cache has it, and
// stores them into their entries as ready.
void Complete(ColorCache* cache, PendingColours& pending) {
    if (pending.count == 0) return;
    if (cache->transformMany != nullptr) {
        cache->transformMany(pending.colours, pending.count, cache->userData);
    } else {
        for (uint32_t i = 0; i < pending.count; ++i) {
            uint8_t* colour = pending.colours[i];
            cache->transform(&colour[0], &colour[1], &colour[2], cache->userData);
        }
    }
    for (uint32_t i = 0; i < pending.count; ++i) {
        pending.blocks[i]->entries[pending.entries[i]].store(EntryWord(pending.colours[i]),
                                                             std::memory_order_release);
    }
    pending.count = 0;
}

// Makes the entries of count colours (at most kPreparedMost) ready, computing together the
// missing ones that no other thread has taken. Returns how many colours from the first have
// their block: count, unless a block cannot be allocated (the colours taken before it are still
// computed).
uint32_t PrepareColours(ColorCache* cache, const uint8_t (*colours)[3], uint32_t count) {
    PendingColours pending;
    uint32_t allocated = 0;
    while (allocated < count && Pend(cache, pending, colours[allocated][0], colours[allocated][1],
                                     colours[allocated][2])) {
        ++allocated;
    }
    Complete(cache, pending);
    return allocated;
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
// Makes the lattice colours below and above count pixels (at most kPreparedMost / 2) ready.
// Returns how many pixels from the first have theirs: count, unless a block cannot be allocated.
template <typename Sample>
uint32_t PrepareLattice(ColorCache* cache, Sample* const planes[3], size_t stride, uint32_t count,
                        int shift, int64_t step) {
    uint8_t colours[kPreparedMost][3];
    for (uint32_t p = 0; p < count; ++p) {
        for (int c = 0; c < 3; ++c)
            LatticeNeighbours(planes[c][p * stride], shift, step, &colours[2 * p][c],
                              &colours[2 * p + 1][c]);
    }
    return PrepareColours(cache, colours, 2 * count) / 2;
}

// The interpolation of count pixels whose lattice colours have their blocks; 0 only when a block
// cannot be allocated after all.
template <typename Sample, typename Quotient>
int MapPrepared(ColorCache* cache, Sample* const planes[3], size_t stride, uint32_t count,
                int shift, int64_t step, double maxValue) {
    for (uint32_t p = 0; p < count; ++p) {
        Sample* pixel[3];
        uint8_t lo[3];
        uint8_t hi[3];
        for (int c = 0; c < 3; ++c) {
            pixel[c] = planes[c] + p * stride;
            LatticeNeighbours(*pixel[c], shift, step, &lo[c], &hi[c]);
        }
        uint8_t low[3];
        uint8_t high[3];
        if (!FindEntry(cache, lo[0], lo[1], lo[2], low) ||
            !FindEntry(cache, hi[0], hi[1], hi[2], high)) {
            return 0;
        }
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

template <typename Sample, typename Quotient>
int MapInterpolated(ColorCache* cache, Sample* const planes[3], size_t stride, uint32_t count,
                    int shift, int64_t step, double maxValue) {
    if (cache == nullptr) return 0;
    if (cache->transform == nullptr) return 1;
    constexpr uint32_t kRun = kPreparedMost / 2;
    for (uint32_t first = 0; first < count; first += kRun) {
        const uint32_t n = count - first < kRun ? count - first : kRun;
        Sample* const run[3] = {planes[0] + first * stride, planes[1] + first * stride,
                                planes[2] + first * stride};
        const uint32_t ready = PrepareLattice(cache, run, stride, n, shift, step);
        if (!MapPrepared<Sample, Quotient>(cache, run, stride, ready, shift, step, maxValue) ||
            ready < n) {
            return 0;
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
    uint8_t colour[3];
    if (!FindEntry(cache, *r, *g, *b, colour)) return 0;
    *r = colour[0];
    *g = colour[1];
    *b = colour[2];
    return 1;
}

int ColorCache_MapRgb8(ColorCache* cache, uint8_t* pixels, uint32_t count) {
    if (cache == nullptr) return 0;
    if (cache->transform == nullptr) return 1;
    for (uint32_t first = 0; first < count; first += kPreparedMost) {
        const uint32_t n = count - first < kPreparedMost ? count - first : kPreparedMost;
        uint8_t* run = pixels + size_t{first} * 3;
        const uint32_t ready = PrepareColours(cache, reinterpret_cast<uint8_t(*)[3]>(run), n);
        for (uint32_t p = 0; p < ready; ++p) {
            uint8_t* pixel = run + size_t{p} * 3;
            if (!FindEntry(cache, pixel[0], pixel[1], pixel[2], pixel)) return 0;
        }
        if (ready < n) return 0;
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

// The entry words of eight lattice colours, and the lanes (bit n: lane n) whose colour is not
// ready yet, whose words are not to be used. x86 keeps loads in order, so a word read as ready
// holds the colour stored with it.
[[gnu::target("avx2")]] inline int GatherReady(const ColorCache* cache, __m256i r, __m256i g,
                                               __m256i b, __m256i* words) {
    const __m256i slot =
        _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi32(_mm256_srli_epi32(r, 2), 12),
                                        _mm256_slli_epi32(_mm256_srli_epi32(g, 2), 6)),
                        _mm256_srli_epi32(b, 2));
    const __m256i three = _mm256_set1_epi32(3);
    const __m256i entry =
        _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi32(_mm256_and_si256(r, three), 4),
                                        _mm256_slli_epi32(_mm256_and_si256(g, three), 2)),
                        _mm256_and_si256(b, three));
    const __m256i entryBytes = _mm256_slli_epi32(entry, 2);
    const auto* index = reinterpret_cast<const long long*>(cache->index);
    const __m256i none = _mm256_setzero_si256();
    __m128i half[2];
    for (int h = 0; h < 2; ++h) {
        const __m256i blocks = _mm256_i32gather_epi64(index, Half(slot, h), 8);
        const __m256i present =
            _mm256_xor_si256(_mm256_cmpeq_epi64(blocks, none), _mm256_set1_epi64x(-1));
        const __m128i lanes = _mm256_castsi256_si128(
            _mm256_permutevar8x32_epi32(present, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
        half[h] = _mm256_mask_i64gather_epi32(
            _mm_setzero_si128(), nullptr,
            _mm256_add_epi64(blocks, _mm256_cvtepu32_epi64(Half(entryBytes, h))), lanes, 1);
    }
    *words = _mm256_set_m128i(half[1], half[0]);
    const __m256i unready = _mm256_cmpeq_epi32(
        _mm256_and_si256(*words, _mm256_set1_epi32(static_cast<int>(kColorCacheReady))), none);
    return _mm256_movemask_ps(_mm256_castsi256_ps(unready));
}

// Pend for the colours of the lanes in missing (bit n: lane n) of up to sixteen lattice
// colours whose channels are the 32-bit lanes stored in r, g and b.
bool PendLanes(ColorCache* cache, PendingColours& pending, const int32_t r[], const int32_t g[],
               const int32_t b[], uint32_t missing) {
    for (; missing != 0; missing &= missing - 1) {
        const int lane = std::countr_zero(missing);
        if (!Pend(cache, pending, uint8_t(r[lane]), uint8_t(g[lane]), uint8_t(b[lane])))
            return false;
    }
    return true;
}

[[gnu::target("avx2")]] bool PendLanes8(ColorCache* cache, PendingColours& pending,
                                        const __m256i colour[3], int missing) {
    if (missing == 0) return true;
    alignas(32) int32_t channels[3][8];
    for (int c = 0; c < 3; ++c)
        _mm256_store_si256(reinterpret_cast<__m256i*>(channels[c]), colour[c]);
    return PendLanes(cache, pending, channels[0], channels[1], channels[2], uint32_t(missing));
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

// ColorCache_MapRgb16Planes eight pixels at a time, in runs: first the entry words of the run's
// lattice colours are gathered (their memory fetches overlap) and the colours not ready yet are
// claimed; those are computed together; then the words are interpolated, those of a group that
// missed a colour gathered again. A group still missing one (another thread is computing it)
// takes the scalar path.
[[gnu::target("avx2")]] int MapRgb16PlanesAvx2(ColorCache* cache, uint16_t* const planes[3],
                                               uint32_t count) {
    constexpr uint32_t kRun = kPreparedMost / 2;
    __m256i lowWords[kRun / 8];
    __m256i highWords[kRun / 8];
    int missing[kRun / 8];
    PendingColours pending;
    for (uint32_t first = 0; first + 8 <= count; first += kRun) {
        const uint32_t groups = (count - first < kRun ? count - first : kRun) / 8;
        for (uint32_t k = 0; k < groups; ++k) {
            __m256i u[3], lo[3], hi[3];
            LoadLattice(planes, first + 8 * k, u, lo, hi);
            const int low = GatherReady(cache, lo[0], lo[1], lo[2], &lowWords[k]);
            const int high = GatherReady(cache, hi[0], hi[1], hi[2], &highWords[k]);
            missing[k] = low | high;
            if (!PendLanes8(cache, pending, lo, low) || !PendLanes8(cache, pending, hi, high)) {
                Complete(cache, pending);
                return 0;
            }
        }
        Complete(cache, pending);
        for (uint32_t k = 0; k < groups; ++k) {
            const uint32_t i = first + 8 * k;
            __m256i u[3], lo[3], hi[3];
            LoadLattice(planes, i, u, lo, hi);
            if (missing[k] && (GatherReady(cache, lo[0], lo[1], lo[2], &lowWords[k]) |
                               GatherReady(cache, hi[0], hi[1], hi[2], &highWords[k]))) {
                uint16_t* const group[3] = {planes[0] + i, planes[1] + i, planes[2] + i};
                if (!MapPrepared<uint16_t, Quotient16>(cache, group, 1, 8, 8, kStep16, 65535.0))
                    return 0;
                continue;
            }
            for (int c = 0; c < 3; ++c) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(planes[c] + i),
                                 Interpolate16(u[c], lo[c], EntryChannel(lowWords[k], c),
                                               EntryChannel(highWords[k], c)));
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

// The entry words of sixteen lattice colours, and the lanes of active whose colour is not ready
// yet, whose words are not to be used; inactive lanes hold 0.
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] inline __mmask16 GatherReady16(
    const ColorCache* cache, __m512i r, __m512i g, __m512i b, __mmask16 active, __m512i* words) {
    const __m512i slot =
        _mm512_or_si512(_mm512_or_si512(_mm512_slli_epi32(_mm512_srli_epi32(r, 2), 12),
                                        _mm512_slli_epi32(_mm512_srli_epi32(g, 2), 6)),
                        _mm512_srli_epi32(b, 2));
    const __m512i three = _mm512_set1_epi32(3);
    const __m512i entry =
        _mm512_or_si512(_mm512_or_si512(_mm512_slli_epi32(_mm512_and_si512(r, three), 4),
                                        _mm512_slli_epi32(_mm512_and_si512(g, three), 2)),
                        _mm512_and_si512(b, three));
    const __m512i entryBytes = _mm512_slli_epi32(entry, 2);
    const auto* index = reinterpret_cast<const long long*>(cache->index);
    const __m512i none = _mm512_setzero_si512();
    __m256i half[2];
    for (int h = 0; h < 2; ++h) {
        const __mmask8 lanes = static_cast<__mmask8>(active >> (8 * h));
        const __m512i blocks =
            _mm512_mask_i32gather_epi64(none, lanes, HalfLanes(slot, h), index, 8);
        const __mmask8 present = _mm512_mask_cmpneq_epu64_mask(lanes, blocks, none);
        half[h] = _mm512_mask_i64gather_epi32(
            _mm256_setzero_si256(), present,
            _mm512_add_epi64(blocks, _mm512_cvtepu32_epi64(HalfLanes(entryBytes, h))), nullptr, 1);
    }
    *words = Join(half[0], half[1]);
    return _mm512_mask_testn_epi32_mask(active, *words,
                                        _mm512_set1_epi32(static_cast<int>(kColorCacheReady)));
}

[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] bool PendLanes16(ColorCache* cache,
                                                                       PendingColours& pending,
                                                                       const __m512i colour[3],
                                                                       __mmask16 missing) {
    if (missing == 0) return true;
    alignas(64) int32_t channels[3][16];
    for (int c = 0; c < 3; ++c) _mm512_store_si512(channels[c], colour[c]);
    return PendLanes(cache, pending, channels[0], channels[1], channels[2], missing);
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

// ColorCache_MapRgb16Planes sixteen pixels at a time, the last few under a mask, in runs as
// the eight-lane map: the words of the run gathered and its missing colours claimed, computed
// together, then interpolated.
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] int MapRgb16PlanesAvx512(
    ColorCache* cache, uint16_t* const planes[3], uint32_t count) {
    constexpr uint32_t kRun = kPreparedMost / 2;
    __m512i lowWords[kRun / 16];
    __m512i highWords[kRun / 16];
    __mmask16 missing[kRun / 16];
    PendingColours pending;
    for (uint32_t first = 0; first < count; first += kRun) {
        const uint32_t end = std::min(count, first + kRun);
        for (uint32_t i = first, k = 0; i < end; i += 16, ++k) {
            const __mmask16 active = FirstLanes(std::min(end - i, 16u));
            __m512i u[3], lo[3], hi[3];
            LoadLattice16(planes, i, active, u, lo, hi);
            const __mmask16 low = GatherReady16(cache, lo[0], lo[1], lo[2], active, &lowWords[k]);
            const __mmask16 high = GatherReady16(cache, hi[0], hi[1], hi[2], active, &highWords[k]);
            missing[k] = low | high;
            if (!PendLanes16(cache, pending, lo, low) || !PendLanes16(cache, pending, hi, high)) {
                Complete(cache, pending);
                return 0;
            }
        }
        Complete(cache, pending);
        for (uint32_t i = first, k = 0; i < end; i += 16, ++k) {
            const uint32_t n = std::min(end - i, 16u);
            const __mmask16 active = FirstLanes(n);
            __m512i u[3], lo[3], hi[3];
            LoadLattice16(planes, i, active, u, lo, hi);
            if (missing[k] && (GatherReady16(cache, lo[0], lo[1], lo[2], active, &lowWords[k]) |
                               GatherReady16(cache, hi[0], hi[1], hi[2], active, &highWords[k]))) {
                uint16_t* const group[3] = {planes[0] + i, planes[1] + i, planes[2] + i};
                if (!MapPrepared<uint16_t, Quotient16>(cache, group, 1, n, 8, kStep16, 65535.0))
                    return 0;
                continue;
            }
            for (int c = 0; c < 3; ++c)
                Store16(planes[c] + i, active,
                        Interpolate16x16(u[c], lo[c], EntryChannel16(lowWords[k], c),
                                         EntryChannel16(highWords[k], c)));
        }
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
