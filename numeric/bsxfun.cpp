#include "numeric/bsxfun.h"

#include <cstdint>

#include "runtime/Vandrel_emxutil.h"

namespace vandrel {

void bsxfun(Context& ctx, const emxArray_real32_T* A, const emxArray_real32_T* B, emxArray_real32_T* C) {
  const std::int32_t a_rows = A->size[0];
  const std::int32_t b_rows = B->size[0];
  const std::int32_t rows = a_rows == 1 ? b_rows : a_rows;
  // Row index steps: 0 reuses the single row of a one-row operand.
  const std::int32_t a_step = a_rows == 1 ? 0 : 1;
  const std::int32_t b_step = b_rows == 1 ? 0 : 1;
  const std::int32_t old_count = emx_numel(C);
  C->size[0] = rows;
  C->size[1] = 3;
  emxEnsureCapacity_real32_T(ctx, C, old_count);
  for (std::int32_t j = 0; j < 3; ++j) {
    for (std::int32_t i = 0; i < rows; ++i) {
      C->data[i + rows * j] = A->data[a_step * i + a_rows * j] - B->data[b_step * i + b_rows * j];
    }
  }
}

}  // namespace vandrel
