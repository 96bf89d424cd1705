#include "vandrel/run_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/finite.h"
#include "core/parameters.h"
#include "core/pipeline.h"
#include "vandrel/error.h"
#include "vandrel/estimate.h"
#include "vandrel/scan_defaults.h"

namespace vandrel {
namespace {

// What the in-memory run holds per row beside the file's bytes: coordinates read, the
// points, the filter's result, its copy and the column-major output.
constexpr double held_bytes_per_row = 60.0;
// The fewest bytes a row takes in a file filtered out of core: three float32 coordinates.
constexpr double densest_row_bytes = 12.0;

constexpr std::int64_t max_region_points = 1'000'000;

// The widest noise the estimators hold for, in point spacings (1 / sqrt(density)).
constexpr double max_sigma_in_spacings = 2.0;
// The share of surface_spread's neighbourhoods off their plane from which a cloud has
// measurable spread.
constexpr double spread_share = 0.1;
// How far apart, as a ratio, the 10th and 90th percentiles of a cloud's local densities may
// lie for one density to describe it: a depth camera's falloff with range, oblique surfaces and
// overlapping strips stay well within two orders of magnitude.
constexpr double max_density_spread = 100.0;
// LAS classes whose points, in this order of preference, the estimators take alone.
constexpr std::uint8_t estimation_classes[] = {2, 6};

std::string number_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

// Refuses estimates the estimators do not hold for (see resolve_parameters).
void check_estimates(const Parameters& p, std::span<const Point> points, const ParameterNames& names) {
  if (!p.sigma_estimated) return;
  const std::string source = p.estimated_from.empty() ? "" : " (from " + p.estimated_from + ")";
  const double spacings = static_cast<double>(p.sigma) * std::sqrt(static_cast<double>(p.density));
  if (spacings > max_sigma_in_spacings) {
    throw Error("Vandrel:untrustedEstimate",
                "The estimated sigma " + number_text(p.sigma) + source + " is " + number_text(spacings) +
                    " point spacings (1 / sqrt(density), density " + number_text(p.density) +
                    (p.density_estimated ? " estimated" : " given") + "), more than the " +
                    number_text(max_sigma_in_spacings) +
                    " the estimators hold for: the points are likely not one noisy surface (vegetation, "
                    "several layers). Pass " + std::string(names.sigma) +
                    (p.density_estimated ? " and " + std::string(names.density) : std::string()) +
                    " with the values of the surface to filter.");
  }
  if (p.sigma == 0.0f) {
    const SurfaceSpread spread = surface_spread(points);
    if (spread.neighbourhoods > 0 &&
        static_cast<double>(spread.off_plane) >= spread_share * static_cast<double>(spread.neighbourhoods)) {
      throw Error("Vandrel:untrustedEstimate",
                  "The estimated sigma is 0" + source + ": most small patches of the cloud are exactly flat, yet " +
                      std::to_string(spread.off_plane) + " of " + std::to_string(spread.neighbourhoods) +
                      " wider neighbourhoods lie off their plane, by up to " + number_text(spread.largest) +
                      " RMS (coordinates quantised in steps wider than the noise?). Pass " +
                      std::string(names.sigma) + " with the noise to remove (" + std::string(names.sigma) +
                      " 0 leaves the points as they are).");
    }
  }
}

// Refuses an estimated density that cannot describe the cloud (see resolve_parameters).
void check_density(const Parameters& p, std::span<const Point> points, const ParameterNames& names) {
  if (!p.density_estimated) return;
  const DensitySpread spread = density_spread(points);
  if (spread.samples == 0 || !(spread.high > max_density_spread * spread.low)) return;
  const std::string source = p.estimated_from.empty() ? "" : " (from " + p.estimated_from + ")";
  throw Error("Vandrel:untrustedEstimate",
              "The estimated density " + number_text(p.density) + source +
                  " cannot describe the cloud: the local densities of " + std::to_string(spread.samples) +
                  " points spread over it range from " + number_text(spread.low) + " (10th percentile) to " +
                  number_text(spread.high) + " (90th), " + number_text(spread.high / spread.low) +
                  " times, more than the " + number_text(max_density_spread) +
                  " within which one density holds (scans of several resolutions merged, or parts far nearer the "
                  "scanner than others?). Pass " + std::string(names.density) +
                  " with the density of the part to filter, or filter the parts apart.");
}

// `lines`: the flight line of each point of `estimated_on`, or empty.
Parameters resolve(std::span<const Point> estimated_on, std::string estimated_from, std::optional<float> sigma,
                   std::optional<float> density, const ParameterNames& names,
                   std::span<const std::uint16_t> lines = {}) {
  Parameters resolved;
  resolved.density_estimated = !density.has_value();
  resolved.density = density ? *density : estimate_density(estimated_on);
  resolved.sigma_estimated = !sigma.has_value();
  resolved.sigma = sigma ? *sigma : lines.empty() ? estimate_sigma(estimated_on) : estimate_sigma_by_line(estimated_on, lines);
  if (resolved.sigma_estimated || resolved.density_estimated) resolved.estimated_from = std::move(estimated_from);
  check_parameters(resolved.sigma, resolved.density, names);
  check_estimates(resolved, estimated_on, names);
  check_density(resolved, estimated_on, names);
  return resolved;
}

}  // namespace

std::int64_t estimation_region_points(std::int64_t tile_points) {
  return std::max<std::int64_t>(1, std::min(max_region_points, tile_points / 4));
}

Parameters resolve_parameters(std::span<const Point> points, std::optional<float> sigma, std::optional<float> density,
                              const ParameterNames& names) {
  return resolve(points, {}, sigma, density, names);
}

Parameters resolve_parameters(std::span<const Point> points, std::span<const std::uint8_t> classes,
                              std::optional<float> sigma, std::optional<float> density, const ParameterNames& names) {
  return resolve_parameters(points, classes, {}, sigma, density, names);
}

Parameters resolve_parameters(std::span<const Point> points, std::span<const std::uint8_t> classes,
                              std::span<const std::uint16_t> lines, std::optional<float> sigma,
                              std::optional<float> density, const ParameterNames& names) {
  if (!classes.empty() && classes.size() != points.size())
    throw Error("Vandrel:invalidArgument", std::to_string(classes.size()) + " classes for " +
                                               std::to_string(points.size()) + " points: give one class per point");
  if (!lines.empty() && lines.size() != points.size())
    throw Error("Vandrel:invalidArgument", std::to_string(lines.size()) + " flight lines for " +
                                               std::to_string(points.size()) + " points: give one per point");
  if (sigma && density) return resolve(points, {}, sigma, density, names);
  for (const std::uint8_t wanted : estimation_classes) {
    if (classes.empty()) break;
    std::vector<Point> chosen;
    std::vector<std::uint16_t> chosen_lines;
    for (std::size_t i = 0; i < points.size(); ++i) {
      if (classes[i] != wanted || !finite(points[i])) continue;
      chosen.push_back(points[i]);
      if (!lines.empty()) chosen_lines.push_back(lines[i]);
    }
    if (static_cast<std::int64_t>(chosen.size()) >= min_class_points)
      return resolve(chosen, "the " + std::to_string(chosen.size()) + " points of class " + std::to_string(wanted),
                     sigma, density, names, chosen_lines);
  }
  return resolve(points, {}, sigma, density, names, lines);
}

std::int64_t points_moved(std::span<const Point> before, std::span<const Point> after) {
  std::int64_t moved = 0;
  const std::size_t n = std::min(before.size(), after.size());
  for (std::size_t i = 0; i < n; ++i)
    if (std::memcmp(&before[i], &after[i], sizeof(Point)) != 0 && finite(before[i])) ++moved;
  return moved;
}

std::string why_nothing_moved(std::span<const Point> points, float sigma) {
  const auto finite_points =
      static_cast<std::size_t>(std::count_if(points.begin(), points.end(), [](const Point& p) { return finite(p); }));
  if (finite_points == 0) return "no point has finite coordinates";
  if (finite_points < min_filtered_block)
    return "only " + std::to_string(finite_points) + (finite_points == 1 ? " point has" : " points have") +
           " finite coordinates; the filter needs " + std::to_string(min_filtered_block) + " or more";
  if (one_place(points)) return "all points with finite coordinates lie in one place";
  if (sigma == 0.0f) return "sigma is 0: no noise to remove";
  return {};
}

bool too_large_to_hold(std::uintmax_t file_bytes, std::int64_t limit) {
  const double rows = static_cast<double>(file_bytes) / densest_row_bytes;
  const double held = static_cast<double>(file_bytes) + rows * held_bytes_per_row;
  return held > static_cast<double>(limit) / 2;
}

RunMode choose_run_mode(const RunRequest& request, std::optional<std::uintmax_t> file_bytes) {
  check_thread_count(request.threads);
  if (request.out_of_core) return RunMode::out_of_core;
  if (request.memory_limit > 0 && file_bytes && too_large_to_hold(*file_bytes, request.memory_limit))
    return RunMode::out_of_core;
  if (request.memory_limit > 0 || request.tile_points > 0) return RunMode::tiles;
  return RunMode::whole;
}

}  // namespace vandrel
