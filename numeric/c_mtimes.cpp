#include "numeric/c_mtimes.h"

#include <cstdint>

#include "numeric/blas.h"
#include "runtime/Vandrel_emxutil.h"

namespace vandrel {

float c_mtimes(Context& ctx, const emxArray_real32_T* x, const emxArray_real32_T* y) {
  const std::int32_t n = x->size[0];
  if (n < 1) return 0.0f;
  CleanupScope scope(ctx);
  emxArray_real32_T* x_copy = nullptr;
  emxInit_real32_T(ctx, &x_copy, 1, true);
  x_copy->size[0] = n;
  emxEnsureCapacity_real32_T(ctx, x_copy, 0);
  for (std::int32_t i = 0; i < n; ++i) x_copy->data[i] = x->data[i];
  const blas_int count = n;
  const blas_int stride = 1;
  const float result = sdot_(&count, x_copy->data, &stride, y->data, &stride);
  emxFree_real32_T(ctx, &x_copy);
  return result;
}

}  // namespace vandrel
