#pragma once
#include "runtime/Vandrel_types.h"
#include "runtime/host.h"

namespace vandrel {

/// C(:,:,k) = A(:,:,k) + B for every slice k, in single precision.
///   A  in   3 x 3 x K (dimCount 3), column-major slices
///   B  in   3 x 3, column-major
///   C  out  resized to 3 x 3 x K (dimCount 3); may be A itself
/// K = 0 gives an empty C. NaN and Inf propagate. Reentrant.
void c_bsxfun(Context& ctx, const emxArray_real32_T* A, const float B[9], emxArray_real32_T* C);

}  // namespace vandrel
