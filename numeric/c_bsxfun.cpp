#include "numeric/c_bsxfun.h"

#include <cstdint>

#include "runtime/Vandrel_emxutil.h"

namespace vandrel {

void c_bsxfun(Context& ctx, const emxArray_real32_T* A, const float B[9], emxArray_real32_T* C) {
  const std::int32_t slices = A->size[2];
  const std::int32_t old_count = emx_numel(C);
  C->size[0] = 3;
  C->size[1] = 3;
  C->size[2] = slices;
  emxEnsureCapacity_real32_T(ctx, C, old_count);
  for (std::int32_t k = 0; k < slices; ++k) {
    for (std::int32_t e = 0; e < 9; ++e) C->data[e + 9 * k] = A->data[e + 9 * k] + B[e];
  }
}

}  // namespace vandrel
