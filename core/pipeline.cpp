#include "core/pipeline.h"

#include <cmath>
#include <cstdio>
#include <algorithm>
#include <limits>
#include <string>

#include "vandrel/error.h"
#include "core/block_pass.h"
#include "core/finite.h"
#include "core/neighbourhood_check.h"
#include "core/neighbours.h"
#include "core/point_estimate.h"
#include "core/root_block.h"

namespace vandrel {
namespace {

// Rows are 32-bit signed integers.
constexpr std::int64_t max_points = std::numeric_limits<std::int32_t>::max();
constexpr std::size_t max_pruned_block = 3;
// The farthest a scaled coordinate may lie from the origin: 2^54 point spacings, where
// single-precision steps are 2^31 spacings; within the cell grid's reach.
constexpr double max_scaled_coordinate = 0x1p54;
static_assert(max_scaled_coordinate / block_cell_side <= CellGrid::max_cell);

}  // namespace

std::vector<Point> filter_cloud(Host& host, std::span<const Point> cloud, float sigma, float density,
                                const FilterSettings& settings) {
  check_parameters(sigma, density, settings.names);
  if (static_cast<std::int64_t>(cloud.size()) > max_points) {
    throw Error("Vandrel:tooManyPoints", "The cloud has " + std::to_string(cloud.size()) + " points; at most " +
                                             std::to_string(max_points) + " can be filtered in one call.");
  }
  const float scale = std::sqrt(density);
  std::vector<Point> scaled(cloud.size());
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    for (std::size_t c = 0; c < 3; ++c) scaled[i][c] = cloud[i][c] * scale;
  }

  std::vector<std::int32_t> block_rows = root_block(scaled);
  if (block_rows.size() <= max_pruned_block) block_rows.clear();
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    if (finite(cloud[i]) && !finite(scaled[i])) {
      throw Error("Vandrel:invalidDensity", std::string(settings.names.density) + " " + std::to_string(density) +
                                                " scales point " + std::to_string(i + 1) +
                                                " beyond the single-precision range.");
    }
    // So far out, single precision is coarser than the point spacing by a factor of 2^31:
    // nothing there can be filtered (and the filter's cell grid ends).
    for (std::size_t c = 0; c < 3 && finite(scaled[i]); ++c) {
      if (std::fabs(static_cast<double>(scaled[i][c])) > max_scaled_coordinate) {
        char distance[32];
        std::snprintf(distance, sizeof distance, "%.3g", std::fabs(static_cast<double>(scaled[i][c])));
        throw Error("Vandrel:invalidDensity",
                    std::string(settings.names.density) + " " + std::to_string(density) + " puts point " +
                        std::to_string(i + 1) + " about " + distance +
                        " point spacings from the origin, where single precision cannot tell neighbouring points "
                        "apart; move the cloud near the origin, or check the density.");
      }
    }
  }
  host.stage_done("split");

  const FilterSizes sizes = filter_sizes(sigma, density, settings.names);

  if (settings.outputs) settings.outputs->reset(cloud.size());
  // Points in no filtered block are returned exactly as given.
  std::vector<Point> result(cloud.begin(), cloud.end());
  if (block_rows.empty()) return result;
  if (!settings.allow_large_neighbourhoods) check_neighbourhood_size(cloud, scale, host.thread_count());

  // The block is kept in the order of the cells of its radius search, points near in space
  // near in memory; `rows` follows it. The first block point in input order sets the
  // offset of the noise update.
  std::vector<Point> points(block_rows.size());
  for (std::size_t k = 0; k < points.size(); ++k) points[k] = scaled[static_cast<std::size_t>(block_rows[k])];
  scaled = {};
  const std::vector<std::int32_t> order = CellGrid::cell_order(points, block_cell_side);
  std::vector<std::int32_t> rows(points.size());
  std::size_t first_point = 0;
  {
    std::vector<Point> sorted(points.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
      const auto from = static_cast<std::size_t>(order[k]);
      sorted[k] = points[from];
      rows[k] = block_rows[from];
      if (from == 0) first_point = k;
    }
    points = std::move(sorted);
  }
  const std::vector<Point> reference = points;
  std::vector<float> noise(points.size(), sizes.scaled_sigma);
  // The lists are found once, on the first pass's positions, and serve both passes.
  const std::unique_ptr<NeighbourSearch> neighbours = host.radius_neighbours(reference, sizes.search_radius);
  host.stage_done("radius search");

  // The second pass filters the first's output with the noise levels the first left.
  for (std::int32_t pass = 1; pass <= 2; ++pass) {
    if (points.size() >= min_filtered_block) {
      const BlockPassSettings pass_settings{pass == 1 ? "pass 1" : "pass 2",
                                            pass == 1 ? first_pass_threshold : second_pass_threshold, sizes.max_half_width,
                                            settings.chunk_points, first_point};
      std::vector<Point> passed = block_pass(host, points, noise, *neighbours, pass_settings);
      if (settings.after_pass) settings.after_pass(pass, points, passed);
      if (settings.outputs && pass == 1)
        settings.outputs->record_first_pass(host, rows, points, passed, noise, scale, sizes.scaled_sigma);
      points = std::move(passed);
    }
    host.pass_done(pass);
    if (settings.outputs && settings.outputs->first_pass_only) break;
  }

  // Back to the cloud's rows and units. (A point's position is the weighted mean of the
  // positions the blocks covering it give; with a single block the weight cancels.) A
  // point the passes left where it was keeps its input bits, which scaling back and forth
  // would not always give.
  for (std::size_t k = 0; k < points.size(); ++k) {
    const auto row = static_cast<std::size_t>(rows[k]);
    if (points[k] == reference[k]) continue;
    for (std::size_t c = 0; c < 3; ++c) result[row][c] = points[k][c] / scale;
    if (!finite(result[row])) {
      throw Error("Vandrel:nonFiniteResult", "Point " + std::to_string(row + 1) +
                                                 " came out of the filter with a non-finite coordinate; nothing is "
                                                 "returned rather than a damaged cloud.");
    }
  }
  host.stage_done("merge");
  if (settings.outputs && points.size() >= min_filtered_block) settings.outputs->record_normals(host, rows, points, scale);
  host.progress("merge", static_cast<std::int64_t>(points.size()), static_cast<std::int64_t>(points.size()));
  return result;
}

}  // namespace vandrel
