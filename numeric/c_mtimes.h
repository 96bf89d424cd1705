#pragma once
#include "runtime/Vandrel_types.h"
#include "runtime/host.h"

namespace vandrel {

/// The dot product x' y by BLAS sdot (unit strides) on a copy of x, single precision.
///   x, y  in  n = x->size[0] values each (y at least as long as x)
/// n < 1 gives 0 without calling BLAS. The copy is a dynamic array of the calling
/// thread's context ctx. Reentrant; BLAS must be thread-safe.
float c_mtimes(Context& ctx, const emxArray_real32_T* x, const emxArray_real32_T* y);

}  // namespace vandrel
