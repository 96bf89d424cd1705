#pragma once

namespace vandrel {

/// Solves A y = B for one 3 x 3 system by Gaussian elimination with row pivoting,
/// fully unrolled, in single precision.
///   A  in   3 x 3, column-major
///   B  in   3 values
///   Y  out  3 values
/// Ties in pivot magnitude keep the earlier row. There is no singularity test: a zero
/// pivot gives infinite or NaN components, and NaN input propagates.
/// Allocation-free and reentrant; reports nothing.
void b_mldivide(const float A[9], const float B[3], float Y[3]);

}  // namespace vandrel
