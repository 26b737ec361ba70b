// For tests and benchmarks only: the vector level capped, to compare the paths.
#pragma once

#include "image/ColorRows.h"

// Use no level above `level` from now on; kAvx512 lifts the cap.
void LimitVectorLevel(VectorLevel level);
