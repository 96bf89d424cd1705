#pragma once
#include <array>

#include "numeric/products.h"

namespace vandrel {

/// x = A \ b for a 3 x 3 A by Gaussian elimination with partial pivoting (ties keep the
/// earlier row), in a fixed operation order. A singular A gives infinite or NaN entries.
/// Thread-safe.
std::array<float, 3> solve_3x3(const Matrix3& A, const std::array<float, 3>& b);

}  // namespace vandrel
