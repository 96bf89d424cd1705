// How much the sampling density varies over a cloud.
#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "core/finite.h"
#include "host/kd_search.h"
#include "vandrel/estimate.h"

namespace vandrel {
namespace {

constexpr std::int32_t density_neighbours = 16;
constexpr std::int64_t max_samples = 1024;

// The value below which `share` of the sorted `values` lie (nearest rank).
double percentile(const std::vector<double>& sorted, double share) {
  const auto last = static_cast<double>(sorted.size() - 1);
  return sorted[static_cast<std::size_t>(std::lround(share * last))];
}

}  // namespace

DensitySpread density_spread(std::span<const Point> points) {
  std::vector<std::int32_t> finite_rows;
  for (std::size_t i = 0; i < points.size(); ++i)
    if (finite(points[i])) finite_rows.push_back(static_cast<std::int32_t>(i));
  const auto count = static_cast<std::int64_t>(finite_rows.size());
  DensitySpread spread;
  if (count <= density_neighbours) return spread;
  const KdSearch tree(points);
  const std::int64_t samples = std::min(count, max_samples);
  std::vector<double> densities;
  for (std::int64_t j = 0; j < samples; ++j) {
    const auto row = static_cast<std::size_t>(finite_rows[static_cast<std::size_t>(j * count / samples)]);
    const auto far = static_cast<std::size_t>(tree.nearest(points[row].data(), density_neighbours + 1).back());
    double d2 = 0.0;
    for (std::size_t axis = 0; axis < 3; ++axis) {
      const double d = static_cast<double>(points[far][axis]) - static_cast<double>(points[row][axis]);
      d2 += d * d;
    }
    if (d2 > 0.0) densities.push_back(density_neighbours / (std::numbers::pi * d2));
  }
  spread.samples = static_cast<std::int64_t>(densities.size());
  if (densities.empty()) return spread;
  std::sort(densities.begin(), densities.end());
  spread.low = percentile(densities, 0.1);
  spread.high = percentile(densities, 0.9);
  return spread;
}

}  // namespace vandrel
