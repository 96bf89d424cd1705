#pragma once
#include "runtime/Vandrel_types.h"
#include "runtime/host.h"

namespace vandrel {

/// C(:,1,k) = A(:,1,k) + p for every slice k, in single precision.
///   A  in   3 x 1 x K (dimCount 3)
///   p  in   3 values
///   C  out  resized to 3 x 1 x K (dimCount 3); may be A itself
/// K = 0 gives an empty C. NaN and Inf propagate. Reentrant.
void d_bsxfun(Context& ctx, const emxArray_real32_T* A, const float p[3], emxArray_real32_T* C);

}  // namespace vandrel
