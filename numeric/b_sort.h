#pragma once
#include <cstdint>

namespace vandrel {

/// Sorts x[0..n) ascending, stably, and gives the 1-based permutation.
///   x    in/out  n doubles, whole numbers only (there is no NaN rule)
///   n    in      0 <= n <= 3
///   idx  out     1-based: sorted x[k] == original x[idx[k] - 1]; ties keep input order
/// Allocation-free and reentrant; reports nothing.
void b_sort(double x[3], std::int32_t n, std::int32_t idx[3]);

}  // namespace vandrel
