#include "numeric/solve.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace vandrel {

std::array<float, 3> solve_3x3(const Matrix3& A, const std::array<float, 3>& b) {
  std::array<float, 3> y{};
  // W(r, c) is W[r + 3 * c]. r1, r2, r3 are the 0-based rows in pivot order; the
  // multipliers overwrite the eliminated entries of W.
  Matrix3 W = A;

  std::int32_t r1 = 0;
  std::int32_t r2 = 1;
  std::int32_t r3 = 2;
  float largest = std::fabs(A[0]);
  const float a21 = std::fabs(A[1]);
  if (a21 > largest) {
    largest = a21;
    r1 = 1;
    r2 = 0;
  }
  // Strict comparisons: on a tie the earlier row stays the pivot.
  if (std::fabs(A[2]) > largest) {
    r1 = 2;
    r2 = 1;
    r3 = 0;
  }

  W[r2] = A[r2] / A[r1];
  W[r3] /= W[r1];
  W[r2 + 3] -= W[r2] * W[r1 + 3];
  W[r3 + 3] -= W[r3] * W[r1 + 3];
  W[r2 + 6] -= W[r2] * W[r1 + 6];
  W[r3 + 6] -= W[r3] * W[r1 + 6];

  if (std::fabs(W[r3 + 3]) > std::fabs(W[r2 + 3])) {
    const std::int32_t swap = r2;
    r2 = r3;
    r3 = swap;
  }

  W[r3 + 3] /= W[r2 + 3];
  W[r3 + 6] -= W[r3 + 3] * W[r2 + 6];

  y[1] = b[r2] - b[r1] * W[r2];
  y[2] = (b[r3] - b[r1] * W[r3] - y[1] * W[r3 + 3]) / W[r3 + 6];
  y[1] = (y[1] - y[2] * W[r2 + 6]) / W[r2 + 3];
  y[0] = (b[r1] - y[2] * W[r1 + 6] - y[1] * W[r1 + 3]) / W[r1];
  return y;
}

std::optional<std::array<float, 6>> solve_spd_6x6(const std::array<float, 21>& A, const std::array<float, 6>& b) {
  // L(r, c), c <= r, is L[r * (r + 1) / 2 + c], the layout of A.
  std::array<float, 21> L{};
  for (std::size_t r = 0; r < 6; ++r) {
    const std::size_t row = r * (r + 1) / 2;
    for (std::size_t c = 0; c <= r; ++c) {
      const std::size_t col = c * (c + 1) / 2;
      float sum = A[row + c];
      for (std::size_t j = 0; j < c; ++j) sum -= L[row + j] * L[col + j];
      if (c < r) {
        L[row + c] = sum / L[col + c];
      } else {
        if (!(sum > 0.0f)) return std::nullopt;
        L[row + r] = std::sqrt(sum);
      }
    }
  }
  std::array<float, 6> x{};
  for (std::size_t r = 0; r < 6; ++r) {
    const std::size_t row = r * (r + 1) / 2;
    float sum = b[r];
    for (std::size_t j = 0; j < r; ++j) sum -= L[row + j] * x[j];
    x[r] = sum / L[row + r];
  }
  for (std::size_t r = 6; r-- > 0;) {
    float sum = x[r];
    for (std::size_t j = r + 1; j < 6; ++j) sum -= L[j * (j + 1) / 2 + r] * x[j];
    x[r] = sum / L[r * (r + 1) / 2 + r];
  }
  return x;
}

}  // namespace vandrel
