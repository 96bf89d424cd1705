#pragma once
#include "runtime/rtwtypes.h"

namespace vandrel {

/// Row test of the 20000 x 6 working box table (column-major): flag r is true exactly
/// when row r holds at least one entry that is nonzero and not NaN.
void any(const real32_T table[120000], boolean_T flags[20000]);

}  // namespace vandrel
