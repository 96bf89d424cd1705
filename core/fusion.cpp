#include "core/fusion.h"

#include <bit>
#include <cmath>

#include "core/local_frame.h"

namespace vandrel {
namespace {

// The share of the support's noise that a plane's misfit is not charged for.
constexpr float misfit_share = 0.75f;
// sqrt(2) in single: the misfit never drops below sqrt(2 / |S|) times the support's noise.
constexpr float misfit_floor_factor = std::bit_cast<float>(0x3FB504F3u);

// sums[E[k]] += addend for every entry E[k] of the support that is kept (>= 0), as one
// gather, add and scatter.
template <class T, class Add>
void gather_add_scatter(std::vector<T>& sums, std::span<const std::int32_t> entries, std::vector<T>& gathered, Add add) {
  gathered.resize(entries.size());
  for (std::size_t k = 0; k < entries.size(); ++k) {
    if (entries[k] >= 0) gathered[k] = add(sums[static_cast<std::size_t>(entries[k])]);
  }
  for (std::size_t k = 0; k < entries.size(); ++k) {
    if (entries[k] >= 0) sums[static_cast<std::size_t>(entries[k])] = gathered[k];
  }
}

void fuse_estimate(std::span<const Point> points, std::span<const float> noise, const Frame& frame,
                   const QuadrantEstimate& estimate, Accumulators& sums, FusionScratch& s) {
  const std::span<const std::int32_t> support = estimate.support;
  const std::size_t count = support.size();
  const Point& p = estimate.position;

  // The plane's unit normal in the cloud's axes.
  const Point unit = multiply(frame.axes, *estimate.plane);
  const float length = std::sqrt(dot(unit, unit));
  const std::array<float, 3> normal = {unit[0] / length, unit[1] / length, unit[2] / length};

  // Squared distances of the support points to the plane, and their mean squared noise level.
  s.squares.resize(count);
  float noise_sum = 0.0f;
  for (std::size_t k = 0; k < count; ++k) {
    const auto j = static_cast<std::size_t>(support[k]);
    const Point& x = points[j];
    const float distance = ((x[0] - p[0]) * normal[0] + (x[1] - p[1]) * normal[1]) + (x[2] - p[2]) * normal[2];
    s.squares[k] = distance * distance;
    noise_sum += noise[j] * noise[j];
  }
  const float support_noise = noise_sum / static_cast<float>(count);
  const float misfit = std::fmax(mean(s.squares) - support_noise * misfit_share,
                                 (misfit_floor_factor / std::sqrt(static_cast<float>(count))) * support_noise);
  const float w = (1.0f / misfit) * (1.0f / misfit);

  Matrix3 constraint;
  for (std::size_t c = 0; c < 3; ++c) {
    for (std::size_t r = 0; r < 3; ++r) constraint[r + 3 * c] = (normal[r] * normal[c]) * w;
  }
  const Point target = multiply(constraint, p);

  s.entries.resize(count);
  for (std::size_t k = 0; k < count; ++k) s.entries[k] = sums.entry(support[k]);
  const std::span<const std::int32_t> entries = s.entries;
  gather_add_scatter(sums.normal, entries, s.normal_sums, [&](const Matrix3& m) {
    Matrix3 out;
    for (std::size_t e = 0; e < 9; ++e) out[e] = m[e] + constraint[e];
    return out;
  });
  gather_add_scatter(sums.target, entries, s.target_sums, [&](const Point& t) {
    return Point{t[0] + target[0], t[1] + target[1], t[2] + target[2]};
  });
  const float squared_deviation = estimate.deviation * estimate.deviation;
  gather_add_scatter(sums.weights, entries, s.sums, [&](float v) { return v + w; });
  gather_add_scatter(sums.variances, entries, s.sums, [&](float v) { return v + squared_deviation; });
  gather_add_scatter(sums.uses, entries, s.sums, [&](float v) { return v + 1.0f; });
}

// Inverse-variance mean of the four quadrant positions.
Point fallback_position(const PointEstimate& estimate) {
  float g[4];
  for (std::size_t q = 0; q < 4; ++q) {
    const float d = estimate.quadrants[q].deviation;
    g[q] = 1.0f / (d * d);
  }
  const float total = ((g[0] + g[1]) + g[2]) + g[3];
  Point mean{};
  for (std::size_t c = 0; c < 3; ++c) {
    float sum = g[0] * estimate.quadrants[0].position[c];
    for (std::size_t q = 1; q < 4; ++q) sum = sum + g[q] * estimate.quadrants[q].position[c];
    mean[c] = sum / total;
  }
  return mean;
}

}  // namespace

void fuse_estimates(std::span<const Point> points, std::span<const float> noise, std::int32_t i,
                    const PointEstimate& estimate, Accumulators& sums, FusionScratch& scratch) {
  for (const QuadrantEstimate& quadrant : estimate.quadrants) {
    if (quadrant.plane) fuse_estimate(points, noise, estimate.frame, quadrant, sums, scratch);
  }
  const std::int32_t entry = sums.entry(i);
  if (entry >= 0) sums.fallback[static_cast<std::size_t>(entry)] = fallback_position(estimate);
}

}  // namespace vandrel
