#include "image/PixelMemory.h"

#include <cstdlib>
#include <cstring>

#include "image/HugePages.h"
#include "parallel/WorkerPool.h"

namespace {

constexpr uint64_t kGranule = 4096;
constexpr uint64_t kHeaderBytes = 4;
// Byte ranges from this size up are zeroed or copied on the pool; below it a pool run costs
// more than it saves.
constexpr uint64_t kParallelBytes = 786432;

struct CopyBytesContext {
    uint8_t* destination;
    const uint8_t* source;
};

// Items are bytes.
void CopyBytesTask(void* context, uint32_t first, uint32_t count) {
    const auto* copy = static_cast<const CopyBytesContext*>(context);
    std::memcpy(copy->destination + first, copy->source + first, count);
}

struct ZeroBytesContext {
    uint8_t* destination;
};

// Items are bytes.
void ZeroBytesTask(void* context, uint32_t first, uint32_t count) {
    std::memset(static_cast<const ZeroBytesContext*>(context)->destination + first, 0, count);
}

}  // namespace

uint8_t* AllocPixelMemory(uint64_t length) {
    // The block, rounded up to whole granules, has to fit its own 32-bit size header.
    if (length > UINT32_MAX) return nullptr;
    const uint64_t blockSize = (length + kHeaderBytes + kGranule - 1) / kGranule * kGranule;
    if (blockSize > UINT32_MAX) return nullptr;
    // calloc takes large blocks fresh from the system, whose pages are already zero: no pass
    // over a photo-sized block just to clear it before its pixels are written.
    auto* block = static_cast<uint8_t*>(std::calloc(blockSize, 1));
    if (!block) return nullptr;
    AdviseHugePages(block, blockSize);
    const uint32_t header = static_cast<uint32_t>(blockSize);
    std::memcpy(block, &header, sizeof header);
    return block + kHeaderBytes;
}

void FreePixelMemory(uint8_t* memory) {
    if (memory) std::free(memory - kHeaderBytes);
}

void CopyBytes(uint8_t* destination, const uint8_t* source, uint64_t n) {
    if (n == 0) return;
    if (n < kParallelBytes || n > UINT32_MAX) {
        std::memcpy(destination, source, n);
        return;
    }
    CopyBytesContext context{destination, source};
    WorkerPool::Run(CopyBytesTask, &context, static_cast<unsigned>(n));
}

void ZeroBytes(uint8_t* destination, uint64_t n) {
    if (n == 0) return;
    if (n < kParallelBytes || n > UINT32_MAX) {
        std::memset(destination, 0, n);
        return;
    }
    ZeroBytesContext context{destination};
    WorkerPool::Run(ZeroBytesTask, &context, static_cast<unsigned>(n));
}
