#pragma once
#include <cstdint>

#include "runtime/Vandrel_types.h"
#include "runtime/host.h"

namespace vandrel {

/// Solves A X = B for a small square A and any number of right-hand sides: LU
/// factorisation with partial pivoting (LAPACK), then a unit-lower and an upper
/// triangular solve (BLAS), in single precision.
///   A_data  in   n x n, column-major, n <= 3 (fixed storage of 9 values)
///   A_size  in   {n, n}
///   B       in   n x m (2-D)
///   X       out  resized to n x m (2-D); must not be B
/// An A or B with no rows or no columns gives an (columns of A) x m array of zeros.
/// A singular A is not reported: the solves divide by the zero pivot and the result
/// holds infinite or NaN values. A failure status of the factorisation makes X NaN.
/// Reentrant: ctx is the calling thread's context; BLAS and LAPACK must be thread-safe.
void mldivide(Context& ctx, const float A_data[], const std::int32_t A_size[2], const emxArray_real32_T* B,
              emxArray_real32_T* X);

}  // namespace vandrel
