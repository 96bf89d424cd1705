#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/local_frame.h"
#include "core/plane_fit.h"
#include "core/point.h"

namespace vandrel {

/// One quadrant's estimate of a point. Without an accepted scale it is the zero-scale
/// estimate: the point itself, supported by itself, with the point's noise level.
struct QuadrantEstimate {
  Point position;                      // the point moved along its normal by the fitted height
  float deviation;                     // standard deviation of the fitted height
  std::vector<std::int32_t> support;   // 0-based block rows the plane was fitted to, the point first
  std::optional<Point> plane;          // the accepted plane's normal (-c0, -c1, 1), in local coordinates
};

/// A point's frame and its four quadrant estimates (quadrant q at index q - 1).
struct PointEstimate {
  Frame frame;
  std::array<QuadrantEstimate, 4> quadrants;
};

/// What every estimate of one pass over a block reads.
struct PassInputs {
  std::span<const Point> points;  // the block's points, this pass's positions
  std::span<const float> noise;   // their noise levels
  float threshold;                // the ICI threshold of the pass
  float max_half_width;           // r0: the largest quadrant box
};

/// Working arrays of one thread, reused for all of its points.
struct EstimateScratch {
  std::vector<float> local;               // local coordinates (u, v, w) of the radius neighbours, n x 3
  std::vector<std::int32_t> candidates;   // positions in the list inside the quadrant's r0 box
  std::vector<std::int32_t> selection;    // the point's own position, then the candidates
  std::vector<float> selected;            // local coordinates of the selection
  std::vector<std::int32_t> in_box;       // positions in the selection inside the scale's box
  std::vector<std::int32_t> support;      // positions in the list, the point first
  std::vector<float> centred;             // the support's local coordinates minus the point's
  std::vector<float> kernel;              // the plane fit's kernel
  std::vector<float> spread;              // noise level times kernel weight, per support point
};

/// Estimates point i of the block in its four quadrants: plane fits at five growing
/// scales, each quadrant keeping the largest scale whose confidence interval still
/// intersects those of all smaller scales (the intersection of confidence intervals).
///   frame       the point's local frame
///   neighbours  0-based block rows within the search radius of the point, itself included
/// Thread-safe with one scratch per thread.
void estimate_point(const PassInputs& in, std::int32_t i, const Frame& frame,
                    std::span<const std::int32_t> neighbours, EstimateScratch& scratch, PointEstimate& estimate);

}  // namespace vandrel
