#pragma once
#include <cstdint>

#include "runtime/Vandrel_types.h"
#include "runtime/host.h"

namespace vandrel {

/// C = A B by BLAS sgemm, single precision.
///   A       in   m x k (2-D), column-major
///   B_data  in   k x n, column-major, in fixed storage
///   B_size  in   {k, n}
///   C       out  resized to m x n (2-D); must not alias A
/// m = 0 gives a 0 x n C and k = 0 an m x n C of zeros, without calling BLAS.
/// Reentrant; BLAS must be thread-safe.
void mtimes(Context& ctx, const emxArray_real32_T* A, const float* B_data, const std::int32_t B_size[2],
            emxArray_real32_T* C);

}  // namespace vandrel
