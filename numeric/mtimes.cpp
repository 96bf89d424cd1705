#include "numeric/mtimes.h"

#include "numeric/blas.h"
#include "runtime/Vandrel_emxutil.h"

namespace vandrel {

void mtimes(Context& ctx, const emxArray_real32_T* A, const float* B_data, const std::int32_t B_size[2],
            emxArray_real32_T* C) {
  const std::int32_t rows = A->size[0];
  const std::int32_t inner = A->size[1];
  const std::int32_t cols = B_size[1];
  const std::int32_t old_count = emx_numel(C);
  C->size[0] = rows;
  C->size[1] = cols;
  emxEnsureCapacity_real32_T(ctx, C, old_count);
  if (rows == 0 || cols == 0) return;
  if (inner == 0 || B_size[0] == 0) {
    // An empty inner dimension: the sum over nothing. BLAS would reject ldb = 0.
    for (std::int32_t k = 0; k < rows * cols; ++k) C->data[k] = 0.0f;
    return;
  }
  const char no_trans = 'N';
  const float one = 1.0f;
  const float zero = 0.0f;
  const blas_int m = rows;
  const blas_int n = cols;
  const blas_int k = inner;
  const blas_int ldb = B_size[0];
  sgemm_(&no_trans, &no_trans, &m, &n, &k, &one, A->data, &m, B_data, &ldb, &zero, C->data, &m);
}

}  // namespace vandrel
