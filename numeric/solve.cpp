#include "numeric/solve.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include <lapacke.h>

#include "numeric/blas.h"

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

void solve_3x3_columns(const Matrix3& a, std::span<const float> b, std::int32_t n, std::span<float> x) {
  float lu[9];
  lapack_int pivots_wide[3];
  for (int k = 0; k < 9; ++k) lu[k] = a[static_cast<std::size_t>(k)];
  const lapack_int info = LAPACKE_sgetrf_work(LAPACK_COL_MAJOR, 3, 3, lu, 3, pivots_wide);
  std::int32_t pivots[3];
  if (info < 0) {
    // An argument error leaves the factors undefined: poison them so the result is NaN.
    for (float& v : lu) v = std::numeric_limits<float>::quiet_NaN();
    for (std::int32_t k = 0; k < 3; ++k) pivots[k] = k + 1;
  } else {
    // A positive status (an exactly zero pivot) is left to the solves, which divide by it.
    for (std::int32_t k = 0; k < 3; ++k) pivots[k] = static_cast<std::int32_t>(pivots_wide[k]);
  }
  if (n == 0) return;
  for (std::size_t k = 0; k < 3 * static_cast<std::size_t>(n); ++k) x[k] = b[k];
  // Pivots are 1-based: row i was exchanged with row pivots[i]. The last always names its
  // own row.
  for (std::int32_t i = 0; i < 2; ++i) {
    const std::int32_t p = pivots[i] - 1;
    if (p == i) continue;
    for (std::int32_t j = 0; j < n; ++j) std::swap(x[static_cast<std::size_t>(i + 3 * j)], x[static_cast<std::size_t>(p + 3 * j)]);
  }
  const char side = 'L';
  const char lower = 'L';
  const char upper = 'U';
  const char no_trans = 'N';
  const char unit = 'U';
  const char non_unit = 'N';
  const float one = 1.0f;
  const blas_int three = 3;
  const blas_int columns = n;
  strsm_(&side, &lower, &no_trans, &unit, &three, &columns, &one, lu, &three, x.data(), &three);
  strsm_(&side, &upper, &no_trans, &non_unit, &three, &columns, &one, lu, &three, x.data(), &three);
}

}  // namespace vandrel
