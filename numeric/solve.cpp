#include "numeric/solve.h"

#include <cmath>
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

}  // namespace vandrel
