#pragma once
#include <cstdint>

namespace vandrel {

/// c = a B' by BLAS sgemm, single precision: c(j) = a . B(j,:).
///   a       in   1 x 3
///   B       in   n x 3, column-major; B_rows = n
///   c       out  n values (1 x n)
/// n = 0 writes nothing and calls nothing. Reentrant; BLAS must be thread-safe.
void d_mtimes(const float a[3], const float* B, std::int32_t B_rows, float* c);

}  // namespace vandrel
