#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "vandrel/point.h"
#include "core/point_estimate.h"
#include "numeric/products.h"

namespace vandrel {

/// Per-point sums that fusing the estimates builds, and that the position solve and the
/// noise update read: for every block point, or for the points a caller keeps (a tile's
/// own points), whose sums then take entries in block order.
struct Accumulators {
  /// Sums for all n block points: entry j belongs to block point j.
  explicit Accumulators(std::size_t n) { resize(n); }
  /// Sums for the block points whose `kept` value is nonzero (one value per block point).
  explicit Accumulators(std::span<const std::uint8_t> kept) : slot(kept.size(), -1) {
    std::size_t count = 0;
    for (std::size_t j = 0; j < kept.size(); ++j) {
      if (kept[j] != 0) slot[j] = static_cast<std::int32_t>(count++);
    }
    resize(count);
  }
  /// The entry of block point j, or -1 when its sums are not kept.
  std::int32_t entry(std::int32_t j) const { return slot.empty() ? j : slot[static_cast<std::size_t>(j)]; }

  std::vector<std::int32_t> slot;  // entry of each block point (-1: not kept); empty: entry j is point j
  std::vector<Matrix3> normal;     // sum of w n n' over the planes the point took part in
  std::vector<Point> target;       // sum of w n n' p
  std::vector<float> weights;      // sum of w
  std::vector<float> variances;    // sum of the squared deviations of those estimates
  std::vector<float> uses;         // number of those estimates
  std::vector<Point> fallback;     // inverse-variance mean of the point's own four quadrant positions

 private:
  void resize(std::size_t n) {
    normal.assign(n, Matrix3{});
    target.assign(n, Point{});
    weights.assign(n, 0.0f);
    variances.assign(n, 0.0f);
    uses.assign(n, 0.0f);
    fallback.assign(n, Point{});
  }
};

/// Scratch of the fusion, reused for every estimate.
struct FusionScratch {
  std::vector<float> squares;     // squared distances of the support points to the plane
  std::vector<float> sums;        // gathered sums plus the addend
  std::vector<Matrix3> normal_sums;
  std::vector<Point> target_sums;
  std::vector<std::int32_t> entries;  // the support's entries in the sums (-1: not kept)
};

/// Adds point i's accepted estimates to the sums of every point of their supports whose
/// sums are kept, in quadrant order, and stores the point's fallback position (if kept). Each estimate's weight is the
/// inverse square of its plane's misfit beyond what the support's noise explains. Every sum
/// is gathered over the support, added to and scattered back, so a point listed twice in a
/// support receives an estimate once. Called for the points in ascending order, this fixes
/// every sum's order, whatever the thread count.
///   points, noise  the block's positions and noise levels of this pass
void fuse_estimates(std::span<const Point> points, std::span<const float> noise, std::int32_t i,
                    const PointEstimate& estimate, Accumulators& sums, FusionScratch& scratch);

}  // namespace vandrel
