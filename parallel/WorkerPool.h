// Process-wide, reference-counted pool of worker threads that runs row-range tasks on every
// processor. The caller of Run sleeps until its own slices are done. Runs from several threads
// at once share all workers, which take one slice of each in turn: no caller waits for another's
// whole range, but a short Run still waits behind the long slices of a large one. A Run from
// inside a task runs inline on its worker, since a worker waiting for the others could deadlock
// them; for the same reason a task must not wait for another thread's Run.
#pragma once

#include <cstdint>

// Processes items first .. first + count - 1 of the caller's range; context is passed through.
using RowTask = void (*)(void* context, uint32_t first, uint32_t count);

namespace WorkerPool {

// Adds a reference; the first one builds the pool. Returns 1 when the pool is ready (always 1
// on a one-processor machine, where nothing is built), 0 on failure.
int Acquire();

// Drops a reference; the last one tears the pool down and waits for every thread to exit.
void Release();

// Runs task over items 0 .. count - 1 and returns when all of them are done. count >= 1.
// Always returns 1.
int Run(RowTask task, void* context, unsigned count);

// The processor count N the pool works with, read once from the hardware.
unsigned ProcessorCount();

}  // namespace WorkerPool
