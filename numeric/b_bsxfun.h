#pragma once
#include <cstdint>

#include "runtime/Vandrel_types.h"
#include "runtime/host.h"

namespace vandrel {

/// C(i,j) = A(i,j) - b(j): subtracts a row from every row of A, in single precision.
///   A       in   n x m (2-D); one column is used for every column when b is wider
///   b_data  in   the row, in fixed storage of three values
///   b_size  in   {1, m} with m <= 3, or {1, 1}: then b(1) is used for every column
///   C       out  resized to n x m (2-D); may be A itself when A already has m columns
/// NaN and Inf propagate. Reentrant.
void b_bsxfun(Context& ctx, const emxArray_real32_T* A, const float b_data[3], const std::int32_t b_size[2],
              emxArray_real32_T* C);

}  // namespace vandrel
