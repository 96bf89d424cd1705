#pragma once
#include "runtime/Vandrel_types.h"
#include "runtime/host.h"

namespace vandrel {

/// The 1-based positions of the true entries of a logical vector, increasing.
///   x  in   logical vector (1-D, or 2-D with one column or one row)
///   i  out  resized to a column (1-D) of as many int32 values as x has true entries
void eml_find(Context& ctx, const emxArray_boolean_T* x, emxArray_int32_T* i);

}  // namespace vandrel
