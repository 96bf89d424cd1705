#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "core/point.h"

namespace vandrel {

/// Scratch of `fit_plane`, reused across calls by one thread.
struct PlaneFitScratch {
  std::vector<float> design;      // n x 3: u, v, 1
  std::vector<float> transposed;  // 3 x n
  std::vector<float> solution;    // 3 x n
};

/// A first-order fit w = c0 u + c1 v + c2 to local coordinates centred on the point.
struct PlaneFit {
  float height;  // the fitted w at the first point (the point itself)
  Point normal;  // (-c0, -c1, 1), not normalised
};

/// Least-squares plane through n >= 3 points given in local coordinates relative to the
/// first one (`centred`, n x 3 column-major). Also writes the fit's kernel: the weights of
/// the points' w values in `height` (n entries; `kernel` must hold n). A degenerate set
/// (points on a line) gives infinite or NaN kernel weights, which the caller tests.
/// Thread-safe with one scratch per thread.
PlaneFit fit_plane(std::span<const float> centred, std::int32_t n, std::span<float> kernel, PlaneFitScratch& scratch);

}  // namespace vandrel
