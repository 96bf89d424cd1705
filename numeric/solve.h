#pragma once
#include <array>
#include <optional>

#include "numeric/products.h"

namespace vandrel {

/// x = A \ b for a 3 x 3 A by Gaussian elimination with partial pivoting (ties keep the
/// earlier row), in a fixed operation order. A singular A gives infinite or NaN entries.
/// Thread-safe.
std::array<float, 3> solve_3x3(const Matrix3& A, const std::array<float, 3>& b);

/// x = A \ b for a symmetric positive definite 6 x 6 A by Cholesky factorisation, in a fixed
/// operation order. A is given by its lower triangle, row by row (A(0,0), A(1,0), A(1,1),
/// A(2,0), ... A(5,5): 21 entries). Returns nothing when a pivot is not positive (A singular
/// or indefinite in single precision). Thread-safe.
std::optional<std::array<float, 6>> solve_spd_6x6(const std::array<float, 21>& A, const std::array<float, 6>& b);

}  // namespace vandrel
