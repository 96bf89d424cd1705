#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/local_frame.h"
#include "core/neighbours.h"
#include "vandrel/point.h"

namespace vandrel {

/// One quadrant's estimate of a point. Without an accepted scale it is the zero-scale
/// estimate: the point itself, supported by itself, with the point's noise level.
struct QuadrantEstimate {
  Point position;                      // the point moved along its normal by the fitted height
  float deviation;                     // standard deviation of the fitted height
  std::vector<std::int32_t> support;   // block rows the plane was fitted to, the point first
  std::optional<Point> plane;          // the accepted plane's normal (-c0, -c1, 1), in local coordinates
};

/// A point's frame and its four quadrant estimates (quadrant q at index q - 1,
/// counter-clockwise from (+u, +v)).
struct PointEstimate {
  Frame frame;
  std::array<QuadrantEstimate, 4> quadrants;
};

/// What every estimate of one pass over a block reads.
struct PassInputs {
  std::span<const Point> points;  // the block's points, this pass's positions
  std::span<const float> noise;   // their noise levels
  float threshold;                // the ICI threshold of the pass
  float max_half_width;           // r0: no support point lies further than this along u, v or w
};

/// The region around point i that holds exactly the points its estimates can use: those in
/// the largest box of some quadrant.
EstimateRegion estimate_region(const PassInputs& in, std::int32_t i, const Frame& frame);

/// The in-plane radius that holds every estimate region: the corner of the largest box.
float estimate_region_radius();

inline constexpr int scale_count = 5;
/// Buckets of neighbours: one per quadrant and scale.
inline constexpr std::size_t bucket_count = 4 * scale_count;

/// Working arrays of one thread, reused for all of its points.
struct EstimateScratch {
  std::vector<Point> local;                           // local coordinates, when the list came without them
  std::vector<std::uint8_t> bucket_of;                // per neighbour: its bucket, or bucket_count for none
  std::array<std::int32_t, bucket_count + 1> start;   // bucket b: sorted[start[b] .. start[b + 1])
  std::vector<std::int32_t> sorted;                   // the neighbours' rows, bucket by bucket, in list order
  std::vector<std::array<float, 4>> placed;           // their local coordinates and noise levels, as sorted
};

/// Estimates point i of the block in its four quadrants: plane fits at five growing
/// scales, each quadrant keeping the largest scale whose confidence interval still
/// intersects those of all smaller scales and of the zero scale (the intersection of
/// confidence intervals rule).
///   frame       the point's local frame
///   neighbours  block rows in estimate_region of the point, ascending
///   locals      their local coordinates (EstimateRegion::local), or empty to compute them
///   boxes       each one's box (EstimateBoxes, from a search in a region that told its boxes),
///               or empty to sort them into boxes here
/// A quadrant box is open and starts at the point's own u and v; a support is the point,
/// then the points that enter at the smallest scale, then those that enter at the next,
/// each group in list order. Thread-safe with one scratch per thread.
void estimate_point(const PassInputs& in, std::int32_t i, const Frame& frame,
                    std::span<const std::int32_t> neighbours, EstimateScratch& scratch, PointEstimate& estimate,
                    std::span<const Point> locals = {}, std::span<const std::uint8_t> boxes = {});

}  // namespace vandrel
