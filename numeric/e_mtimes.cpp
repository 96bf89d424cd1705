#include "numeric/e_mtimes.h"

#include "numeric/blas.h"

namespace vandrel {

void e_mtimes(const float* a, std::int32_t k, const float* B, std::int32_t B_rows, float* c) {
  // BLAS rejects the leading dimension 0 that an empty B would give it.
  if (B_rows < 1) return;
  if (k < 1) {
    for (std::int32_t j = 0; j < B_rows; ++j) c[j] = 0.0f;
    return;
  }
  const char no_trans = 'N';
  const char trans = 'T';
  const float one = 1.0f;
  const float zero = 0.0f;
  const blas_int m = 1;
  const blas_int n = B_rows;
  const blas_int inner = k;
  sgemm_(&no_trans, &trans, &m, &n, &inner, &one, a, &m, B, &n, &zero, c, &m);
}

}  // namespace vandrel
