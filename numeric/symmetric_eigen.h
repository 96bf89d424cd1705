#pragma once
#include <array>

namespace vandrel {

/// Eigen-decomposition of a symmetric 3 x 3 matrix.
struct SymmetricEigen {
  std::array<float, 3> values;   // ordered by decreasing magnitude |value|
  std::array<float, 9> vectors;  // column-major: column k (vectors[3k..3k+2]) is the unit eigenvector of values[k]
};

/// Eigenvalues and orthonormal eigenvectors of a symmetric 3 x 3 single matrix.
///   a  3 x 3, column-major; only the upper triangle (a[0], a[3], a[4], a[6], a[7], a[8]) is
///      read, the lower one is taken to mirror it
/// Computed by cyclic Jacobi rotations in double precision, in the fixed order (0,1), (0,2),
/// (1,2), on the matrix scaled by a power of two (exact) so that its largest entry lies in
/// [1, 2); the results are rounded to single at the end. Residuals |A v - lambda v| are a few
/// single-precision ulps of max |a(i,j)|, and the vectors are orthonormal to about 1e-7,
/// repeated, tiny and zero eigenvalues included.
/// Conventions:
///   - values by decreasing |value| of the rounded single values; equal magnitudes keep the
///     order of their diagonal position after the rotations (stable);
///   - columns 0 and 1 have their component of largest magnitude positive (the first of
///     equal magnitudes decides); column 2 is their cross product, so the frame is
///     right-handed and column 2's sign follows from the other two;
///   - the zero matrix gives values 0 and the identity as vectors.
/// An eigenvalue beyond the single range becomes +-Inf (its vector stays valid). Any NaN or
/// Inf in the upper triangle makes every value and vector component NaN.
/// Deterministic: same bits for the same input on every x86-64 machine (only +, -, *, / and
/// sqrt, in a fixed order). Allocation-free and thread-safe.
SymmetricEigen symmetric_eigen_3x3(const std::array<float, 9>& a);

}  // namespace vandrel
