// For tests of the colour cache only: entry points the program never calls.
#pragma once

#include <cstdint>

// The n-th block allocation from now on fails (1: the next one); 0 lets every one through again.
void ColorCache_FailBlockAllocation(uint32_t n);
