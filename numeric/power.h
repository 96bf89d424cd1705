#pragma once

namespace vandrel {

/// y(i) = x(i) to the power -2, by the host's single-precision power, for 4 values.
/// 0 gives +Inf, NaN gives NaN. Pure; thread-safe.
void power(const float x[4], float y[4]);

}  // namespace vandrel
