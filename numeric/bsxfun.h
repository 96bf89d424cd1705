#pragma once
#include "runtime/Vandrel_types.h"
#include "runtime/host.h"

namespace vandrel {

/// C(i,j) = A(i,j) - B(i,j) for three columns, where an operand of one row is used for
/// every row of the other (singleton expansion), in single precision.
///   A  in   n x 3 or 1 x 3 (2-D)
///   B  in   n x 3 or 1 x 3 (2-D)
///   C  out  resized to n x 3 (2-D); may be A or B when that has n rows
/// A one-row operand against a 0-row one gives a 0 x 3 C. NaN and Inf propagate. Reentrant.
void bsxfun(Context& ctx, const emxArray_real32_T* A, const emxArray_real32_T* B, emxArray_real32_T* C);

}  // namespace vandrel
