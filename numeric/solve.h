#pragma once
#include <array>
#include <cstdint>
#include <span>

#include "numeric/products.h"

namespace vandrel {

/// x = A \ b for a 3 x 3 A by Gaussian elimination with partial pivoting (ties keep the
/// earlier row), in a fixed operation order. A singular A gives infinite or NaN entries.
/// Thread-safe.
std::array<float, 3> solve_3x3(const Matrix3& A, const std::array<float, 3>& b);

/// x = a \ b for n right-hand sides: b and x are 3 x n, column-major. LU factorisation
/// with partial pivoting, then two triangular solves. Thread-safe.
void solve_3x3_columns(const Matrix3& a, std::span<const float> b, std::int32_t n, std::span<float> x);

}  // namespace vandrel
