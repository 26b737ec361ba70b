// A loop body over item ranges on the worker pool, for loops that need no named task: the body
// is called as body(first, count) for slices of items 0 .. count - 1, from several threads at
// once, and ParallelFor returns when all of them are done. Like WorkerPool::Run, it shares the
// workers with concurrent callers, and runs the whole range on its caller when no pool reference
// is held or when called from inside a task.
#pragma once

#include <cstdint>
#include <type_traits>

#include "parallel/WorkerPool.h"

template <typename Body>
void ParallelFor(uint32_t count, const Body& body) {
    static_assert(std::is_invocable_v<const Body&, uint32_t, uint32_t>,
                  "the body takes (first, count)");
    if (count == 0) return;
    WorkerPool::Run([](void* context, uint32_t first,
                       uint32_t slice) { (*static_cast<const Body*>(context))(first, slice); },
                    const_cast<Body*>(&body), count);
}
