#include "core/point_estimate.h"

#include <algorithm>
#include <cmath>

#include "core/quadrant_box.h"
#include "numeric/products.h"

namespace vandrel {
namespace {

// The half-widths of the five scales: 3 sqrt(2)^m for m = 0..4, each rounded once to
// single from 3 times the m-th power of sqrt(2) rounded to single.
constexpr std::array<float, 5> scales = {0x1.8p+1f, 0x1.0f876cp+2f, 0x1.7ffffep+2f, 0x1.0f876cp+3f, 0x1.7ffffep+3f};
// The band across the surface is never thinner than this many noise deviations.
constexpr float band_factor = 3.0f;

// to(k, :) = from(rows[k], :) for n x 3 column-major matrices.
void gather_rows(std::span<const float> from, std::size_t from_rows, std::span<const std::int32_t> rows,
                 std::vector<float>& to) {
  const std::size_t count = rows.size();
  to.resize(3 * count);
  for (std::size_t c = 0; c < 3; ++c) {
    for (std::size_t k = 0; k < count; ++k) to[k + count * c] = from[static_cast<std::size_t>(rows[k]) + from_rows * c];
  }
}

}  // namespace

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

  // Local coordinates of the radius neighbours, and the point's own place among them.
  const auto n = static_cast<std::int32_t>(neighbours.size());
  const auto count = static_cast<std::size_t>(n);
  const auto self = static_cast<std::int32_t>(std::find(neighbours.begin(), neighbours.end(), i) - neighbours.begin());
  s.local.resize(3 * count);
  for (std::size_t k = 0; k < count; ++k) {
    const Point local = to_local(frame, in.points[static_cast<std::size_t>(neighbours[k])]);
    for (std::size_t c = 0; c < 3; ++c) s.local[k + count * c] = local[c];
  }
  const auto at_self = static_cast<std::size_t>(self);
  const Point centre = {s.local[at_self], s.local[at_self + count], s.local[at_self + 2 * count]};

  const float upper_at_zero = in.threshold * noise;
  const float lower_at_zero = 0.0f - in.threshold * noise;
  const float band = band_factor * noise;

  for (int quadrant = 1; quadrant <= 4; ++quadrant) {
    select_in_quadrant_box(centre, s.local, n, in.max_half_width, in.max_half_width, quadrant, s.candidates);
    s.selection.assign(1, self);
    s.selection.insert(s.selection.end(), s.candidates.begin(), s.candidates.end());
    gather_rows(s.local, count, s.selection, s.selected);
    const auto selected_count = static_cast<std::int32_t>(s.selection.size());

    QuadrantEstimate& accepted = estimate.quadrants[static_cast<std::size_t>(quadrant - 1)];
    float upper = upper_at_zero;
    float lower = lower_at_zero;
    for (const float half_width : scales) {
      const float thickness = band > half_width ? band : half_width;
      select_in_quadrant_box(centre, s.selected, selected_count, half_width, thickness, quadrant, s.in_box);

      // Support: the point itself first, then the selected candidates in list order.
      s.support.assign(1, s.selection[0]);
      for (std::int32_t k : s.in_box) s.support.push_back(s.selection[static_cast<std::size_t>(k)]);
      const auto support_count = static_cast<std::int32_t>(s.support.size());
      // A plane needs the point and at least two neighbours.
      if (support_count <= 2) break;

      gather_rows(s.local, count, s.support, s.centred);
      const auto m_count = static_cast<std::size_t>(support_count);
      for (std::size_t c = 0; c < 3; ++c) {
        for (std::size_t k = 0; k < m_count; ++k) s.centred[k + m_count * c] = s.centred[k + m_count * c] - centre[c];
      }
      s.kernel.resize(m_count);
      const PlaneFit fit = fit_plane(s.centred, support_count, s.kernel);
      if (std::any_of(s.kernel.begin(), s.kernel.end(), [](float g) { return std::isnan(g); })) break;

      s.spread.resize(m_count);
      for (std::size_t k = 0; k < m_count; ++k) {
        const std::int32_t row = neighbours[static_cast<std::size_t>(s.support[k])];
        s.spread[k] = in.noise[static_cast<std::size_t>(row)] * s.kernel[k];
      }
      const float deviation = std::sqrt(dot(s.spread, s.spread));
      upper = std::fmin(upper, fit.height + in.threshold * deviation);
      lower = std::fmax(lower, fit.height - in.threshold * deviation);
      if (!(upper > lower)) break;

      // Accepted: the point moves along its normal axis by the fitted height.
      for (std::size_t c = 0; c < 3; ++c) accepted.position[c] = point[c] + frame.axes[6 + c] * fit.height;
      accepted.deviation = deviation;
      accepted.support.resize(m_count);
      for (std::size_t k = 0; k < m_count; ++k) accepted.support[k] = neighbours[static_cast<std::size_t>(s.support[k])];
      accepted.plane = fit.normal;
    }
  }
}

}  // namespace vandrel
