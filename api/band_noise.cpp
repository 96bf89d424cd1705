// The noise of one depth band, quantised depths included.
#include "api/band_noise.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

#include "core/finite.h"
#include "vandrel/estimate.h"

namespace vandrel {
namespace {

// Points per distinct value, on average, from which an axis counts as quantised: a
// coordinate that varies continuously has about one.
constexpr std::size_t points_per_level = 8;
// Patch radius, in depth steps, that crosses enough terraces for a plane fitted to it to
// see the whole quantisation error.
constexpr double patch_radius_in_steps = 5.0;
// The points of estimate_sigma's smallest patch, which set its radius from the density.
constexpr double patch_points = 24.0;
// The fewest points a thinned band keeps, and how many interleaved thinnings are measured.
constexpr std::size_t min_thinned_points = 500;
constexpr std::size_t thinnings = 4;

struct AxisLattice {
  std::size_t levels = 0;  // distinct values
  double step = 0.0;
};

AxisLattice lattice_of(std::vector<float> values) {
  std::sort(values.begin(), values.end());
  // (value, points) of each distinct value, in increasing order.
  std::vector<std::pair<float, std::size_t>> levels;
  for (const float v : values) {
    if (levels.empty() || levels.back().first != v) levels.push_back({v, 0});
    ++levels.back().second;
  }
  AxisLattice lattice;
  lattice.levels = levels.size();
  if (levels.size() < 3 || values.size() < points_per_level * levels.size()) return lattice;
  // (step, points) of each level: the gap to the nearer neighbouring value.
  std::vector<std::pair<double, std::size_t>> steps;
  for (std::size_t k = 0; k < levels.size(); ++k) {
    double step = std::numeric_limits<double>::infinity();
    if (k > 0) step = static_cast<double>(levels[k].first) - static_cast<double>(levels[k - 1].first);
    if (k + 1 < levels.size())
      step = std::min(step, static_cast<double>(levels[k + 1].first) - static_cast<double>(levels[k].first));
    steps.push_back({step, levels[k].second});
  }
  std::sort(steps.begin(), steps.end());
  // The median over the points: the step below which half the points' levels lie.
  std::size_t below = 0;
  for (const auto& [step, points] : steps) {
    below += points;
    if (2 * below >= values.size()) {
      lattice.step = step;
      break;
    }
  }
  return lattice;
}

}  // namespace

double depth_step(std::span<const Point> points) {
  AxisLattice depth;
  for (std::size_t axis = 0; axis < 3; ++axis) {
    std::vector<float> values;
    for (const Point& p : points)
      if (finite(p)) values.push_back(p[axis]);
    const AxisLattice lattice = lattice_of(std::move(values));
    if (lattice.step > 0.0 && (depth.step == 0.0 || lattice.levels < depth.levels)) depth = lattice;
  }
  return depth.step;
}

BandNoise estimate_band_noise(std::span<const Point> points) {
  const double step = depth_step(points);
  if (step == 0.0) return {estimate_sigma(points), 0.0};
  std::vector<Point> band;
  for (const Point& p : points)
    if (finite(p)) band.push_back(p);
  // The radius of estimate_sigma's smallest patches at the band's density.
  const double patch_radius = std::sqrt(patch_points / (std::numbers::pi * static_cast<double>(estimate_density(band))));
  const double widening = patch_radius_in_steps * step / patch_radius;
  const auto most = static_cast<double>(band.size() / min_thinned_points);
  const double every = std::min(std::ceil(widening * widening), most);
  if (!(every > 1.0)) return {estimate_sigma(band), step};
  const auto k = static_cast<std::size_t>(every);
  // Thinnings that start at offsets spread over 0 to k - 1, each every k-th point; their
  // variances are averaged in offset order.
  std::vector<std::size_t> offsets;
  for (std::size_t j = 0; j < thinnings; ++j) {
    const std::size_t offset = j * k / thinnings;
    if (offsets.empty() || offsets.back() != offset) offsets.push_back(offset);
  }
  double variance = 0.0;
  std::vector<Point> thinned;
  for (const std::size_t offset : offsets) {
    thinned.clear();
    for (std::size_t i = offset; i < band.size(); i += k) thinned.push_back(band[i]);
    const auto sigma = static_cast<double>(estimate_sigma(thinned));
    variance += sigma * sigma;
  }
  return {static_cast<float>(std::sqrt(variance / static_cast<double>(offsets.size()))), step};
}

}  // namespace vandrel
