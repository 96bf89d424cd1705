#pragma once
#include "runtime/Vandrel_types.h"

namespace vandrel {

/// Mean of the n = x->size[0] single values of x, in single precision. The sum runs in
/// blocks of 1024: each block left to right from its first element, and the block sums
/// added in order to the first block's sum; then it is divided by single(n).
/// n is expected to be at least 1; an empty x gives NaN. Pure; thread-safe.
float mean(const emxArray_real32_T* x);

}  // namespace vandrel
