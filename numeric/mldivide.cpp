#include "numeric/mldivide.h"

#include <lapacke.h>

#include "numeric/blas.h"
#include "runtime/Vandrel_emxutil.h"
#include "runtime/rt_nonfinite.h"

namespace vandrel {

void mldivide(Context& ctx, const float A_data[], const std::int32_t A_size[2], const emxArray_real32_T* B,
              emxArray_real32_T* X) {
  const std::int32_t n = A_size[1];
  const std::int32_t m = B->size[1];
  const std::int32_t old_count = emx_numel(X);
  X->size[0] = n;
  X->size[1] = m;
  emxEnsureCapacity_real32_T(ctx, X, old_count);
  if (A_size[0] == 0 || n == 0 || B->size[0] == 0 || m == 0) {
    for (std::int32_t k = 0; k < n * m; ++k) X->data[k] = 0.0f;
    return;
  }

  float LU[9];
  lapack_int ipiv_wide[3];
  for (std::int32_t k = 0; k < n * n; ++k) LU[k] = A_data[k];
  const lapack_int info = LAPACKE_sgetrf_work(LAPACK_COL_MAJOR, n, n, LU, n, ipiv_wide);
  std::int32_t ipiv[3];
  if (info < 0) {
    // An argument error leaves the factors undefined: poison them so the result is NaN.
    for (std::int32_t k = 0; k < n * n; ++k) LU[k] = rtNaNF;
    for (std::int32_t k = 0; k < n; ++k) ipiv[k] = k + 1;
  } else {
    // A positive status (exactly zero pivot) is left to the solves, which divide by it.
    for (std::int32_t k = 0; k < n; ++k) ipiv[k] = static_cast<std::int32_t>(ipiv_wide[k]);
  }

  for (std::int32_t k = 0; k < n * m; ++k) X->data[k] = B->data[k];

  // ipiv is 1-based: row i was exchanged with row ipiv(i). The last entry always names
  // its own row and is not consulted.
  for (std::int32_t i = 0; i < n - 1; ++i) {
    const std::int32_t p = ipiv[i] - 1;
    if (p != i) {
      for (std::int32_t j = 0; j < m; ++j) {
        const float swap = X->data[i + n * j];
        X->data[i + n * j] = X->data[p + n * j];
        X->data[p + n * j] = swap;
      }
    }
  }

  const char side = 'L';
  const char lower = 'L';
  const char upper = 'U';
  const char no_trans = 'N';
  const char unit = 'U';
  const char non_unit = 'N';
  const float one = 1.0f;
  const blas_int bn = n;
  const blas_int bm = m;
  strsm_(&side, &lower, &no_trans, &unit, &bn, &bm, &one, LU, &bn, X->data, &bn);
  strsm_(&side, &upper, &no_trans, &non_unit, &bn, &bm, &one, LU, &bn, X->data, &bn);
}

}  // namespace vandrel
