#pragma once
#include <array>
#include <cstdint>
#include <span>

namespace vandrel {

// Small matrix products in single precision. Matrices are column-major; `n x 3` arguments
// hold n rows (all first-column values, then the second's, then the third's).
// Thread-safe; no allocation.

using Matrix3 = std::array<float, 9>;  // 3 x 3, column-major

/// a' a for an n x 3 matrix a (n >= 1): the 3 x 3 Gram (scatter) matrix.
Matrix3 gram(std::span<const float> a, std::int32_t n);

/// c = a m: an n x 3 matrix times a 3 x 3 one, c n x 3.
void multiply(std::span<const float> a, std::int32_t n, const Matrix3& m, std::span<float> c);

/// y = a x: an n x 3 matrix times a 3-vector, y of length n.
void multiply(std::span<const float> a, std::int32_t n, const std::array<float, 3>& x, std::span<float> y);

/// y = m x for a 3 x 3 matrix m.
std::array<float, 3> multiply(const Matrix3& m, const std::array<float, 3>& x);

/// The same product formed as the row x' times m' (a different BLAS shape, so other
/// rounding): y' = x' m'.
std::array<float, 3> multiply_as_row(const Matrix3& m, const std::array<float, 3>& x);

/// x' y for vectors of equal length (0 for empty ones).
float dot(std::span<const float> x, std::span<const float> y);

/// Arithmetic mean, summed left to right in blocks of 1024 whose sums are then added left
/// to right. NaN for an empty span.
float mean(std::span<const float> x);

/// The kernel and coefficients of a least-squares fit against a 3 x n matrix phi:
/// kernel = row phi (1 x n) and coefficients = phi w (3-vector).
void combine_rows(const std::array<float, 3>& row, std::span<const float> phi, std::int32_t n, std::span<float> kernel);
std::array<float, 3> combine_columns(std::span<const float> phi, std::int32_t n, std::span<const float> w);

}  // namespace vandrel
