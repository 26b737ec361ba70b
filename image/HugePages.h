// Memory advice for photo-sized blocks.
#pragma once

#include <cstddef>
#include <cstdint>

// The size of a huge page on x86-64.
inline constexpr size_t kHugePageBytes = size_t{2} << 20;

// Asks the system to back the whole 2 MB pages inside a large block with huge pages; called
// before the block is first written. A photo-sized block is first touched page by page as its
// pixels are written, and on some systems (virtual machines above all) each 4 KB page fault
// costs more than writing the page; 2 MB pages cut the faults 512-fold. Advice only: where the
// system cannot, the block keeps small pages. Blocks under 8 MB are left alone.
void AdviseHugePages(void* block, uint64_t size);
