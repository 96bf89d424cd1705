#include "numeric/b_mldivide.h"

#include <cstdint>

#include "runtime/rt_math.h"

namespace vandrel {

void b_mldivide(const float A[9], const float B[3], float Y[3]) {
  // W(r, c) is W[r + 3 * c]. r1, r2, r3 are the 0-based rows in pivot order; the
  // multipliers overwrite the eliminated entries of W.
  float W[9];
  for (std::int32_t k = 0; k < 9; ++k) W[k] = A[k];

  std::int32_t r1 = 0;
  std::int32_t r2 = 1;
  std::int32_t r3 = 2;
  float largest = rt_absf(A[0]);
  const float a21 = rt_absf(A[1]);
  if (a21 > largest) {
    largest = a21;
    r1 = 1;
    r2 = 0;
  }
  // Strict comparisons: on a tie the earlier row stays the pivot.
  if (rt_absf(A[2]) > largest) {
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

  if (rt_absf(W[r3 + 3]) > rt_absf(W[r2 + 3])) {
    const std::int32_t swap = r2;
    r2 = r3;
    r3 = swap;
  }

  W[r3 + 3] /= W[r2 + 3];
  W[r3 + 6] -= W[r3 + 3] * W[r2 + 6];

  Y[1] = B[r2] - B[r1] * W[r2];
  Y[2] = (B[r3] - B[r1] * W[r3] - Y[1] * W[r3 + 3]) / W[r3 + 6];
  Y[1] = (Y[1] - Y[2] * W[r2 + 6]) / W[r2 + 3];
  Y[0] = (B[r1] - Y[2] * W[r1 + 6] - Y[1] * W[r1 + 3]) / W[r1];
}

}  // namespace vandrel
