#include "numeric/b_mtimes.h"

#include "numeric/blas.h"
#include "runtime/Vandrel_emxutil.h"

namespace vandrel {

void b_mtimes(Context& ctx, const emxArray_real32_T* A, const float* x, std::int32_t x_length,
              emxArray_real32_T* y) {
  const std::int32_t rows = A->size[0];
  const std::int32_t inner = A->size[1];
  const std::int32_t old_count = emx_numel(y);
  y->size[0] = rows;
  if (y->dimCount == 2) y->size[1] = 1;
  emxEnsureCapacity_real32_T(ctx, y, old_count);
  if (rows == 0 || inner == 0 || x_length == 0) {
    for (std::int32_t i = 0; i < rows; ++i) y->data[i] = 0.0f;
    return;
  }
  const char no_trans = 'N';
  const float one = 1.0f;
  const float zero = 0.0f;
  const blas_int m = rows;
  const blas_int n = 1;
  const blas_int k = inner;
  const blas_int ldb = x_length;
  sgemm_(&no_trans, &no_trans, &m, &n, &k, &one, A->data, &m, x, &ldb, &zero, y->data, &m);
}

}  // namespace vandrel
