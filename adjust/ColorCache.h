// Lazily filled table of a per-colour function over 8-bit RGB, shared by the pool's workers.
// Each colour is computed on first use, together with the other colours missing from the same
// stretch of pixels, and kept in a block of 4 x 4 x 4 neighbours: a photo uses about a fifth of
// the colours of the blocks it touches. 16- and 32-bit pixels are mapped by interpolating between
// two cached lattice colours.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "image/ImgBuff.h"

// Replaces the colour at r, g, b by its transform, in place. The result is ignored.
using ColorTransformFn = int (*)(uint8_t* r, uint8_t* g, uint8_t* b, void* userData);
// Replaces each of count colours by its transform, byte for byte as ColorTransformFn does.
using ColorTransformManyFn = void (*)(uint8_t (*colours)[3], uint32_t count, void* userData);

// The top byte of a ready entry word: an entry whose top byte is 0 is not computed yet.
inline constexpr uint32_t kColorCacheReady = 0xFF000000u;

struct ColorCacheBlock {
    // Entry (R & 3) * 16 + (G & 3) * 4 + (B & 3): the transformed colour as the word
    // R | G << 8 | B << 16 | kColorCacheReady, stored with release once computed; 0 before.
    std::atomic<uint32_t> entries[64];
    // Bit e: a thread has taken entries[e] to compute; others compute the colour for themselves
    // until it is ready rather than wait.
    std::atomic<uint64_t> claimed;
    ColorCacheBlock* next;
};

// Memory that blocks are carved from, many at a time (defined in ColorCache.cpp).
struct ColorCacheSlab;

// Number of index slots: one per block, slot (R >> 2) * 4096 + (G >> 2) * 64 + (B >> 2).
constexpr uint32_t kColorCacheSlots = 262144;

struct ColorCache {
    // Null: no colour of the block asked for yet; else the block.
    std::atomic<ColorCacheBlock*>* index = nullptr;
    // Unique among the caches of the process, never reused: what results made with it are kept
    // under.
    uint64_t serial = 0;
    ColorTransformFn transform = nullptr;  // null: the cache maps nothing
    // Optional: the transform of many colours at once, cheaper than as many calls of transform.
    ColorTransformManyFn transformMany = nullptr;
    // Owned: allocated with std::malloc or std::calloc, released with std::free.
    void* userData = nullptr;
    // Guards claiming a slot, carving a block and appending it to the list. It and the fields
    // written under it get a cache line of their own, away from the ones every lookup reads.
    alignas(64) std::mutex lock;
    ColorCacheBlock* firstBlock = nullptr;  // every block allocated, in order of creation
    ColorCacheBlock* lastBlock = nullptr;
    ColorCacheSlab* slabs = nullptr;  // owned: every slab, the newest first; holds every block
    uint32_t slabBlocksTaken = 0;     // blocks carved from the newest slab
};

// An empty cache with a null transform, or null when memory is short.
ColorCache* ColorCache_Create();
// Frees every block and resets every slot. 1, or 0 for a null cache. Not while a map runs.
int ColorCache_Clear(ColorCache* cache);
// Clears, frees userData and the cache itself. 1, or 0 for a null cache.
int ColorCache_Destroy(ColorCache* cache);

// Replaces the colour by its cached transform. 1 on success (a null transform leaves the colour
// as it is), 0 for a null cache or when a block cannot be allocated (colour unchanged).
int ColorCache_Lookup(ColorCache* cache, uint8_t* r, uint8_t* g, uint8_t* b);

// Map count packed R, G, B pixels in place. 1 when every pixel is mapped (or the transform is
// null), 0 for a null cache or when a block cannot be allocated: the map stops at that pixel and
// leaves it and the rest unchanged. The 16- and 32-bit maps interpolate between the lattice
// colours below and above.
int ColorCache_MapRgb8(ColorCache* cache, uint8_t* pixels, uint32_t count);
int ColorCache_MapRgb16(ColorCache* cache, uint16_t* pixels, uint32_t count);
int ColorCache_MapRgb32(ColorCache* cache, uint32_t* pixels, uint32_t count);
// ColorCache_MapRgb16 for channels held in three separate arrays.
int ColorCache_MapRgb16Planes(ColorCache* cache, uint16_t* r, uint16_t* g, uint16_t* b,
                              uint32_t count);

// Maps the whole image in place through the RGB type of its sample width. 1 on success (also
// when the transform is null), 0 for a null cache or image, an empty image, when the temporary
// RGB copy cannot be made (the image is then unchanged) or when a block cannot be allocated (an
// RGB image may then be partly mapped: the caller discards it).
int ApplyColorCache(ColorCache* cache, CImgBuff* image);
