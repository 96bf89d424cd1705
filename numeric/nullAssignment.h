#pragma once
#include <cstdint>

#include "runtime/Vandrel_types.h"

namespace vandrel {

/// Deletes, in place, the rows of a rows x 6 single matrix whose mask entry is true;
/// the other rows keep their order and the matrix ends with (rows - deleted) x 6.
///   x     in/out  2-D, six columns, column-major
///   mask  in      one entry per row of x
///   n     in      the mask's length (= rows of x)
/// Storage is reused (never reallocated).
void nullAssignment(emxArray_real32_T* x, const boolean_T* mask, std::int32_t n);

}  // namespace vandrel
