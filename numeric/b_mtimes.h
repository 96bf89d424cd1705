#pragma once
#include <cstdint>

#include "runtime/Vandrel_types.h"
#include "runtime/host.h"

namespace vandrel {

/// y = A x by BLAS sgemm, single precision.
///   A         in   m x k (2-D), column-major
///   x         in   k values; x_length is its length
///   y         out  resized to a column of m values (size[0] = m; size[1] = 1 when 2-D);
///                  must not alias A or x
/// When m, k or x_length is 0, y is m zeros and BLAS is not called. Reentrant; BLAS
/// must be thread-safe.
void b_mtimes(Context& ctx, const emxArray_real32_T* A, const float* x, std::int32_t x_length,
              emxArray_real32_T* y);

}  // namespace vandrel
