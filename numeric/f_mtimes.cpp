#include "numeric/f_mtimes.h"

#include "numeric/blas.h"

namespace vandrel {

void f_mtimes(const float* A, std::int32_t A_rows, std::int32_t A_cols, const float* b, float* c) {
  // BLAS rejects the leading dimension 0 that an empty A would give it.
  if (A_rows < 1) return;
  if (A_cols < 1) {
    for (std::int32_t i = 0; i < A_rows; ++i) c[i] = 0.0f;
    return;
  }
  const char no_trans = 'N';
  const char trans = 'T';
  const float one = 1.0f;
  const float zero = 0.0f;
  const blas_int m = A_rows;
  const blas_int n = 1;
  const blas_int k = A_cols;
  sgemm_(&no_trans, &trans, &m, &n, &k, &one, A, &m, b, &n, &zero, c, &m);
}

}  // namespace vandrel
