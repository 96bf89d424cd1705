#pragma once
#include <cstdint>

namespace vandrel {

/// c = A b' by BLAS sgemm, single precision: c(i) = A(i,:) . b.
///   A       in   m x k, column-major; A_rows = m, A_cols = k
///   b       in   1 x k
///   c       out  m values (m x 1)
/// m = 0 writes nothing; k = 0 gives m zeros; neither calls BLAS. Reentrant; BLAS must
/// be thread-safe.
void f_mtimes(const float* A, std::int32_t A_rows, std::int32_t A_cols, const float* b, float* c);

}  // namespace vandrel
