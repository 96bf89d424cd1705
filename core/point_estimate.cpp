#include "core/point_estimate.h"

#include <algorithm>
#include <cmath>

#include "core/quadrant_box.h"
#include "core/plane_fit.h"

namespace vandrel {
namespace {

constexpr int scale_count = 5;

// The smaller and the larger of two values, disregarding a NaN operand.
float min_ignoring_nan(float a, float b) { return std::isnan(b) || a < b ? a : b; }
float max_ignoring_nan(float a, float b) { return std::isnan(b) || a > b ? a : b; }

}  // namespace

namespace {

// Local coordinates are rotations of single-precision differences: a relative margin covers
// their rounding.
float widened(double length) { return static_cast<float>(length * 1.0001 + 1e-6); }

}  // namespace

float estimate_region_radius() {
  const double side = quadrant_boxes(0.0f, 1.0f).half_width.back();
  return widened(std::sqrt(2.0 * side * side));
}

Cylinder estimate_region(const PassInputs& in, std::int32_t i, const Frame& frame) {
  const QuadrantBoxes boxes = quadrant_boxes(in.noise[static_cast<std::size_t>(i)], in.max_half_width);
  const double across = std::min(boxes.thickness.back(), in.max_half_width);
  return {in.points[static_cast<std::size_t>(i)], {frame.axes[6], frame.axes[7], frame.axes[8]}, estimate_region_radius(),
          widened(across)};
}

void estimate_point(const PassInputs& in, std::int32_t i, const Frame& frame,
                    std::span<const std::int32_t> neighbours, EstimateScratch& s, PointEstimate& estimate) {
  const Point& point = in.points[static_cast<std::size_t>(i)];
  const float noise = in.noise[static_cast<std::size_t>(i)];
  estimate.frame = frame;
  for (QuadrantEstimate& q : estimate.quadrants) {
    q.position = point;
    q.deviation = noise;
    q.support.assign(1, i);
    q.plane.reset();
  }

  // Every neighbour goes to the bucket of its quadrant and of the smallest scale whose box
  // holds it; one outside every box, or beyond r0 across the surface, goes nowhere.
  const QuadrantBoxes boxes = quadrant_boxes(noise, in.max_half_width);
  for (std::vector<std::int32_t>& bucket : s.buckets) bucket.clear();
  const std::size_t n = neighbours.size();
  s.u.resize(n);
  s.v.resize(n);
  s.w.resize(n);
  s.noise.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    const auto row = static_cast<std::size_t>(neighbours[k]);
    const Point& p = in.points[row];
    const Point local = to_local(frame, {p[0] - point[0], p[1] - point[1], p[2] - point[2]});
    s.u[k] = local[0];
    s.v[k] = local[1];
    s.w[k] = local[2];
    s.noise[k] = in.noise[row];
    const QuadrantBoxes::Entry entry = boxes.smallest_box(local);
    if (entry.quadrant != 0) {
      s.buckets[static_cast<std::size_t>(scale_count * (entry.quadrant - 1) + entry.scale)].push_back(static_cast<std::int32_t>(k));
    }
  }

  const float upper_at_zero = in.threshold * noise;
  const float lower_at_zero = 0.0f - in.threshold * noise;
  for (int quadrant = 1; quadrant <= 4; ++quadrant) {
    const auto first_bucket = static_cast<std::size_t>(scale_count * (quadrant - 1));
    QuadrantEstimate& accepted = estimate.quadrants[static_cast<std::size_t>(quadrant - 1)];
    float upper = upper_at_zero;
    float lower = lower_at_zero;
    int accepted_scale = -1;
    PlaneFit fit;
    fit.add(0.0f, 0.0f, 0.0f);  // the point itself
    for (int m = 0; m < scale_count; ++m) {
      for (const std::int32_t k : s.buckets[first_bucket + static_cast<std::size_t>(m)]) {
        const auto at = static_cast<std::size_t>(k);
        fit.add(s.u[at], s.v[at], s.w[at]);
      }
      // A plane needs the point and at least two neighbours.
      if (!(fit.count() > 2.0f)) break;

      // The deviation of the fitted height from the noise of the support, through the
      // fit's kernel; a kernel with NaN (a singular fit) ends the quadrant.
      const PlaneFit::Plane plane = fit.solve();
      const std::array<float, 3>& z = plane.kernel;
      if (PlaneFit::kernel_has_nan(z)) break;
      float variance = (noise * z[2]) * (noise * z[2]);
      for (int level = 0; level <= m; ++level) {
        for (const std::int32_t k : s.buckets[first_bucket + static_cast<std::size_t>(level)]) {
          const auto at = static_cast<std::size_t>(k);
          const float spread = s.noise[at] * ((s.u[at] * z[0] + s.v[at] * z[1]) + z[2]);
          variance += spread * spread;
        }
      }
      const float height = plane.height;
      const float deviation = std::sqrt(variance);
      upper = min_ignoring_nan(upper, height + in.threshold * deviation);
      lower = max_ignoring_nan(lower, height - in.threshold * deviation);
      if (!(upper > lower)) break;

      // Accepted: the point moves along its normal axis by the fitted height.
      for (std::size_t c_axis = 0; c_axis < 3; ++c_axis) accepted.position[c_axis] = point[c_axis] + frame.axes[6 + c_axis] * height;
      accepted.deviation = deviation;
      accepted.plane = plane.normal;
      accepted_scale = m;
    }
    for (int level = 0; level <= accepted_scale; ++level) {
      for (const std::int32_t k : s.buckets[first_bucket + static_cast<std::size_t>(level)]) {
        accepted.support.push_back(neighbours[static_cast<std::size_t>(k)]);
      }
    }
  }
}

}  // namespace vandrel
