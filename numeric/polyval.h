#pragma once
#include "runtime/Vandrel_types.h"
#include "runtime/host.h"

namespace vandrel {

/// Evaluates the first-degree polynomial 1.0805545 x + p(2) in Horner form:
/// y(i) = x(i) * 1.0805545f + p(2), one rounding per operation.
///   p  in   2 singles; p[0] is the leading coefficient, which is fixed at 1.0805545f
///           (bits 0x3F8A4F9C) and is not read
///   x  in   a column of n singles (1-D, or 2-D n x 1)
///   y  out  resized to x's shape; must not be x
/// An empty x gives an empty y. NaN and Inf propagate. Reentrant.
void polyval(Context& ctx, const float p[2], const emxArray_real32_T* x, emxArray_real32_T* y);

}  // namespace vandrel
