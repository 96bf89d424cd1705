#pragma once
#include <cstdint>

#include "runtime/Vandrel_emxutil.h"

namespace vandrel {

/// C(i,j) = op(A(i,j), w(i)) over an n x 3 result in one column-major pass, where an A
/// of one row and a w of one element are reused for every row.
template <class Op>
void broadcast_rows(Context& ctx, const emxArray_real32_T* A, const emxArray_real32_T* w, emxArray_real32_T* C,
                    Op op) {
  const std::int32_t a_rows = A->size[0];
  const std::int32_t w_rows = w->size[0];
  const std::int32_t n = w_rows == 1 ? a_rows : w_rows;
  const std::int32_t old_count = emx_numel(C);
  C->size[0] = n;
  C->size[1] = 3;
  emxEnsureCapacity_real32_T(ctx, C, old_count);
  for (std::int32_t j = 0; j < 3; ++j) {
    for (std::int32_t i = 0; i < n; ++i) {
      const float a = A->data[(a_rows == 1 ? 0 : i) + a_rows * j];
      C->data[i + n * j] = op(a, w->data[w_rows == 1 ? 0 : i]);
    }
  }
}

}  // namespace vandrel
