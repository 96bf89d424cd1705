#pragma once

namespace vandrel {

/// True exactly when all three values of x equal 0 (-0 counts as 0, NaN is unequal to
/// everything). Pure; thread-safe.
bool b_isequal(const float x[3]);

}  // namespace vandrel
