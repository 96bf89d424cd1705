#include "numeric/d_mtimes.h"

#include "numeric/blas.h"

namespace vandrel {

void d_mtimes(const float a[3], const float* B, std::int32_t B_rows, float* c) {
  // BLAS rejects the leading dimension 0 that an empty B would give it.
  if (B_rows < 1) return;
  const char no_trans = 'N';
  const char trans = 'T';
  const float one = 1.0f;
  const float zero = 0.0f;
  const blas_int m = 1;
  const blas_int n = B_rows;
  const blas_int k = 3;
  sgemm_(&no_trans, &trans, &m, &n, &k, &one, a, &m, B, &n, &zero, c, &m);
}

}  // namespace vandrel
