#pragma once
#include <array>
#include <complex>

#include "numeric/products.h"

namespace vandrel {

using Complex = std::complex<float>;

/// Eigenvalues and eigenvectors of a 3 x 3 matrix.
struct EigenDecomposition {
  std::array<Complex, 3> values;
  Matrix3 vectors;  // column k belongs to values[k]; real parts only
};

/// Eigen-decomposition of a 3 x 3 single matrix (column-major). A bit-symmetric matrix
/// takes the real Schur route (real values, orthonormal vectors); any other the general
/// complex one. A non-finite entry makes every value and vector NaN. Thread-safe.
EigenDecomposition eigen_3x3(const Matrix3& a);

/// The 0-based positions of `values` ordered by decreasing magnitude (NaN first; equal
/// magnitudes within rounding by decreasing phase angle). Thread-safe.
std::array<int, 3> order_by_decreasing_magnitude(const std::array<Complex, 3>& values);

}  // namespace vandrel
