#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "vandrel/point.h"
#include "core/point_estimate.h"
#include "numeric/products.h"

namespace vandrel {

/// Per-point sums that fusing the estimates builds, and that the position solve and the
/// noise update read. Entry j belongs to block point j.
struct Accumulators {
  explicit Accumulators(std::size_t n)
      : normal(n, Matrix3{}), target(n, Point{}), weights(n, 0.0f), variances(n, 0.0f), uses(n, 0.0f), fallback(n) {}
  std::vector<Matrix3> normal;     // sum of w n n' over the planes the point took part in
  std::vector<Point> target;       // sum of w n n' p
  std::vector<float> weights;      // sum of w
  std::vector<float> variances;    // sum of the squared deviations of those estimates
  std::vector<float> uses;         // number of those estimates
  std::vector<Point> fallback;     // inverse-variance mean of the point's own four quadrant positions
};

/// Scratch of the fusion, reused for every estimate.
struct FusionScratch {
  std::vector<float> squares;     // squared distances of the support points to the plane
  std::vector<float> sums;        // gathered sums plus the addend
  std::vector<Matrix3> normal_sums;
  std::vector<Point> target_sums;
};

/// Adds point i's accepted estimates to the sums of every point of their supports, in
/// quadrant order, and stores the point's fallback position. Each estimate's weight is the
/// inverse square of its plane's misfit beyond what the support's noise explains. Every sum
/// is gathered over the support, added to and scattered back, so a point listed twice in a
/// support receives an estimate once. Called for the points in ascending order, this fixes
/// every sum's order, whatever the thread count.
///   points, noise  the block's positions and noise levels of this pass
void fuse_estimates(std::span<const Point> points, std::span<const float> noise, std::int32_t i,
                    const PointEstimate& estimate, Accumulators& sums, FusionScratch& scratch);

}  // namespace vandrel
