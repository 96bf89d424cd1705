#pragma once
#include <cstdint>

#include "runtime/rtwtypes.h"

namespace vandrel {

/// Sorts x[0..n) in descending complex order (see sortLE: NaN first, then by
/// magnitude, near-equal magnitudes by phase angle), stably, and gives the permutation.
///   x    in/out  n complex singles, reordered in place
///   n    in      0 <= n <= 3; idx has n entries
///   idx  out     1-based: sorted x[k] == original x[idx[k] - 1]; ties keep input order
/// Allocation-free and reentrant; reports nothing.
void sort(creal32_T x[3], std::int32_t n, std::int32_t idx[3]);

}  // namespace vandrel
