#pragma once

namespace vandrel {

/// The 4 x 3 matrix whose three columns all equal v, column-major (v, v, v).
/// Pure; thread-safe.
void repmat(const float v[4], float out[12]);

}  // namespace vandrel
