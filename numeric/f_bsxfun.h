#pragma once
#include "runtime/Vandrel_types.h"
#include "runtime/host.h"

namespace vandrel {

/// C(i,j) = A(i,j) / w(i) for an n x 3 A (or one row, used for every row) and an n x 1
/// w (or one element, used for every row). C is resized to n x 3. Plain single
/// arithmetic: 0 / 0 gives NaN, x / 0 gives an infinity.
void f_bsxfun(Context& ctx, const emxArray_real32_T* A, const emxArray_real32_T* w, emxArray_real32_T* C);

}  // namespace vandrel
