#include "image/HugePages.h"

#include <sys/mman.h>

void AdviseHugePages(void* block, uint64_t size) {
    constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
    if (size < 4 * kHugePage) return;
    const uintptr_t first = (reinterpret_cast<uintptr_t>(block) + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(kHugePage - 1);
    // Advice only: where the system cannot, the block simply keeps small pages.
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}
