#include "image/HugePages.h"

#include <sys/mman.h>

void AdviseHugePages(void* block, uint64_t size) {
    if (size < 4 * kHugePageBytes) return;
    const uintptr_t first =
        (reinterpret_cast<uintptr_t>(block) + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(kHugePageBytes - 1);
    // Advice only: where the system cannot, the block simply keeps small pages.
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}
