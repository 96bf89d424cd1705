#include "vandrel/run_plan.h"

#include <algorithm>

#include "core/parameters.h"
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
