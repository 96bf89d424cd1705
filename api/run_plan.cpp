#include "vandrel/run_plan.h"

#include <algorithm>
#include <cstring>

#include "core/finite.h"
#include "core/parameters.h"
#include "core/pipeline.h"
#include "vandrel/estimate.h"

namespace vandrel {
namespace {

// What the in-memory run holds per row beside the file's bytes: coordinates read, the
// points, the filter's result, its copy and the column-major output.
constexpr double held_bytes_per_row = 60.0;
// The fewest bytes a row takes in a file filtered out of core: three float32 coordinates.
constexpr double densest_row_bytes = 12.0;

constexpr std::int64_t max_region_points = 1'000'000;

}  // namespace

std::int64_t estimation_region_points(std::int64_t tile_points) {
  return std::max<std::int64_t>(1, std::min(max_region_points, tile_points / 4));
}

Parameters resolve_parameters(std::span<const Point> points, std::optional<float> sigma, std::optional<float> density,
                              const ParameterNames& names) {
  Parameters resolved;
  resolved.density_estimated = !density.has_value();
  resolved.density = density ? *density : estimate_density(points);
  resolved.sigma_estimated = !sigma.has_value();
  resolved.sigma = sigma ? *sigma : estimate_sigma(points);
  check_parameters(resolved.sigma, resolved.density, names);
  return resolved;
}

std::int64_t points_moved(std::span<const Point> before, std::span<const Point> after) {
  std::int64_t moved = 0;
  const std::size_t n = std::min(before.size(), after.size());
  for (std::size_t i = 0; i < n; ++i)
    if (std::memcmp(&before[i], &after[i], sizeof(Point)) != 0 && finite(before[i])) ++moved;
  return moved;
}

std::string why_nothing_moved(std::span<const Point> points, float sigma) {
  std::size_t finite_points = 0;
  const Point* first = nullptr;
  bool one_place = true;
  for (const Point& p : points) {
    if (!finite(p)) continue;
    ++finite_points;
    if (!first) first = &p;
    else if (!(p == *first)) one_place = false;
  }
  if (finite_points == 0) return "no point has finite coordinates";
  if (finite_points < min_filtered_block)
    return "only " + std::to_string(finite_points) + (finite_points == 1 ? " point has" : " points have") +
           " finite coordinates; the filter needs " + std::to_string(min_filtered_block) + " or more";
  if (one_place) return "all points with finite coordinates lie in one place";
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
