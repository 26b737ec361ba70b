// For tests of the pool only: entry points the program never calls.
#pragma once

namespace WorkerPool {

// Fixes the processor count N before anything has read it (for example 1, to test the path
// without threads). Returns 0 when N has already been read and so cannot change.
int OverrideProcessorCount(unsigned count);

}  // namespace WorkerPool
