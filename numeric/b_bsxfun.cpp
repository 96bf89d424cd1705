#include "numeric/b_bsxfun.h"

#include "runtime/Vandrel_emxutil.h"

namespace vandrel {

void b_bsxfun(Context& ctx, const emxArray_real32_T* A, const float b_data[3], const std::int32_t b_size[2],
              emxArray_real32_T* C) {
  const std::int32_t rows = A->size[0];
  const std::int32_t a_cols = A->size[1];
  const std::int32_t b_cols = b_size[1];
  // A one-wide operand is reused for every column of the other.
  const std::int32_t cols = b_cols == 1 ? a_cols : (a_cols == 1 ? b_cols : a_cols);
  const std::int32_t a_step = a_cols == 1 ? 0 : rows;
  const std::int32_t b_step = b_cols == 1 ? 0 : 1;
  const std::int32_t old_count = emx_numel(C);
  C->size[0] = rows;
  C->size[1] = cols;
  emxEnsureCapacity_real32_T(ctx, C, old_count);
  for (std::int32_t j = 0; j < cols; ++j) {
    const float b = b_data[b_step * j];
    const float* a_column = A->data + a_step * j;
    for (std::int32_t i = 0; i < rows; ++i) C->data[i + rows * j] = a_column[i] - b;
  }
}

}  // namespace vandrel
