#pragma once
#include <cstdint>

namespace vandrel {

/// c = a B' by BLAS sgemm, single precision: c(j) = a . B(j,:).
///   a       in   1 x k; k is its length
///   B       in   n x k, column-major; B_rows = n
///   c       out  n values (1 x n)
/// n = 0 writes nothing; k = 0 gives n zeros; neither calls BLAS. Reentrant; BLAS must
/// be thread-safe.
void e_mtimes(const float* a, std::int32_t k, const float* B, std::int32_t B_rows, float* c);

}  // namespace vandrel
