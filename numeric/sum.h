#pragma once

namespace vandrel {

/// Column sums of a 4 x 3 column-major matrix, each added top to bottom:
/// s(j) = ((M(1,j) + M(2,j)) + M(3,j)) + M(4,j), single precision. Pure; thread-safe.
void sum(const float M[12], float s[3]);

}  // namespace vandrel
