#pragma once
#include <cstdint>
#include <span>

#include "core/point.h"

namespace vandrel {

/// A first-order fit w = c0 u + c1 v + c2 to local coordinates centred on the point.
struct PlaneFit {
  float height;  // the fitted w at the point itself (c2)
  Point normal;  // (-c0, -c1, 1), not normalised
};

/// Least-squares plane through n >= 3 points given in local coordinates relative to the
/// first one (`centred`, n x 3 column-major; the first row is 0, 0, 0). Also writes the
/// fit's kernel: the weights of the points' w values in `height` (n entries). Normal
/// equations summed in point order, solved by solve_3x3. A degenerate set (points on a
/// line) gives huge, infinite or NaN kernel weights, which the caller tests. Thread-safe.
PlaneFit fit_plane(std::span<const float> centred, std::int32_t n, std::span<float> kernel);

}  // namespace vandrel
