#pragma once

namespace vandrel {

/// True exactly when all nine entries of the 3 x 3 matrix A equal 0 (-0 counts as 0,
/// NaN is unequal to everything). Pure; thread-safe.
bool isequal(const float A[9]);

}  // namespace vandrel
