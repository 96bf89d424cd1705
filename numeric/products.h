#pragma once
#include <array>
#include <cstdint>
#include <span>

namespace vandrel {

// Small matrix products in single precision, each with one fixed operation order so that
// the bits of a result are the same on every machine. Matrices are column-major.
// Thread-safe; no allocation.

using Matrix3 = std::array<float, 9>;  // 3 x 3, column-major

/// y = m x, each entry ((m(r,0) x0 + m(r,1) x1) + m(r,2) x2).
std::array<float, 3> multiply(const Matrix3& m, const std::array<float, 3>& x);

/// x' y summed left to right (0 for empty vectors).
float dot(std::span<const float> x, std::span<const float> y);

/// Arithmetic mean, summed left to right in blocks of 1024 whose sums are then added left
/// to right. NaN for an empty span.
float mean(std::span<const float> x);

}  // namespace vandrel
