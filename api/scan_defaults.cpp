// What runs with estimated parameters filter by default, by the kind of scan.
#include "vandrel/scan_defaults.h"

#include <algorithm>
#include <string>
#include <utility>

#include "core/finite.h"
#include "vandrel/error.h"
#include "vandrel/estimate.h"
#include "vandrel/noise_model.h"
#include "vandrel/run_plan.h"
#include "vandrel/vandrel.h"

namespace vandrel {
namespace {

constexpr std::uint8_t ground_class = 2;

// Classes whose points are not surfaces of the scanner's noise: vegetation (low, medium,
// high), noise (low and high), wires, their guards and connectors, towers.
bool other_than_surface(std::uint8_t c) {
  return c == 3 || c == 4 || c == 5 || c == 7 || c == 18 || (c >= 13 && c <= 16);
}

void check_per_point(std::size_t values, std::size_t points, const char* what) {
  if (values != points)
    throw Error("Vandrel:invalidArgument", std::to_string(values) + " " + what + " for " + std::to_string(points) +
                                               " points: give one per point");
}

}  // namespace

LidarGroups lidar_groups(std::span<const Point> points, std::span<const std::uint8_t> classes,
                         std::span<const std::uint8_t> last_return) {
  check_per_point(classes.size(), points.size(), "classes");
  check_per_point(last_return.size(), points.size(), "last-return flags");
  LidarGroups groups;
  groups.ground.assign(points.size(), 0);
  groups.surfaces.assign(points.size(), 0);
  std::int64_t finite_ground = 0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (classes[i] == ground_class && finite(points[i])) ++finite_ground;
  }
  const bool classified = finite_ground >= min_class_points;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (classified && classes[i] == ground_class) {
      groups.ground[i] = 1;
      ++groups.ground_points;
    } else if (last_return[i] != 0 && !other_than_surface(classes[i])) {
      groups.surfaces[i] = 1;
      ++groups.surface_points;
    }
  }
  return groups;
}

std::vector<Point> denoise_groups(std::span<const Point> points, std::span<const std::vector<std::uint8_t>> groups,
                                  float sigma, float density, const DenoiseOptions& options) {
  std::vector<std::uint8_t> taken(points.size(), 0);
  for (const std::vector<std::uint8_t>& group : groups) {
    check_per_point(group.size(), points.size(), "selection flags");
    for (std::size_t i = 0; i < group.size(); ++i) {
      if (group[i] == 0) continue;
      if (taken[i] != 0)
        throw Error("Vandrel:invalidArgument",
                    "point " + std::to_string(i + 1) + " is in two of the parts to filter alone: the parts must not overlap");
      taken[i] = 1;
    }
  }
  std::vector<Point> result(points.begin(), points.end());
  for (const std::vector<std::uint8_t>& group : groups) {
    if (std::find(group.begin(), group.end(), std::uint8_t{1}) == group.end()) continue;
    DenoiseOptions part = options;
    part.selection = group;
    // The rows this part leaves out come back as they were, so the parts filtered before it
    // keep their results and are not its points' neighbours.
    result = denoise(result, sigma, density, part);
  }
  return result;
}

bool range_noise_by_default(std::int64_t height, std::int64_t finite_points) {
  return height > 1 && finite_points >= min_band_points;
}

double noise_growth(const RangeNoise& model) {
  if (model.bands.size() < 2) return 1.0;
  const double nearest = model.at(model.bands.front().range);
  return nearest > 0.0 ? model.at(model.bands.back().range) / nearest : 1.0;
}

bool noise_grows_with_range(const RangeNoise& model) { return noise_growth(model) >= range_growth; }

float estimate_sigma_by_line(std::span<const Point> points, std::span<const std::uint16_t> lines) {
  check_per_point(lines.size(), points.size(), "flight lines");
  std::vector<std::pair<std::uint16_t, std::int32_t>> rows;  // (line, row) of the finite points
  for (std::size_t i = 0; i < points.size(); ++i)
    if (finite(points[i])) rows.push_back({lines[i], static_cast<std::int32_t>(i)});
  std::sort(rows.begin(), rows.end());
  std::vector<std::pair<float, std::int64_t>> estimates;  // (sigma, points) of each line measured
  std::vector<Point> line;
  for (std::size_t begin = 0; begin < rows.size();) {
    std::size_t end = begin;
    while (end < rows.size() && rows[end].first == rows[begin].first) ++end;
    if (static_cast<std::int64_t>(end - begin) >= min_line_points) {
      line.clear();
      for (std::size_t k = begin; k < end; ++k) line.push_back(points[static_cast<std::size_t>(rows[k].second)]);
      estimates.push_back({estimate_sigma(line), static_cast<std::int64_t>(end - begin)});
    }
    begin = end;
  }
  if (estimates.size() < 2) return estimate_sigma(points);
  // The median weighted by points: the sigma below which half the measured points' lines lie.
  std::sort(estimates.begin(), estimates.end());
  std::int64_t total = 0;
  for (const auto& e : estimates) total += e.second;
  std::int64_t below = 0;
  for (std::size_t k = 0; k < estimates.size(); ++k) {
    below += estimates[k].second;
    if (2 * below == total) return estimates[k].first / 2 + estimates[k + 1].first / 2;
    if (2 * below > total) return estimates[k].first;
  }
  return estimates.back().first;
}

}  // namespace vandrel
