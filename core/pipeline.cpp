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
#include "core/point_sigmas.h"
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

// The points the passes filter, scaled by sqrt(density) and in the cell order of their
// radius search (points near in space near in memory), with what the passes need.
struct Block {
  float scale = 1.0f;
  FilterSizes sizes;
  std::vector<Point> reference;         // the first pass's positions
  std::vector<std::int32_t> rows;       // their cloud rows
  std::size_t first_point = 0;          // the block point first in input order: it sets the noise offset
  std::vector<std::uint8_t> estimated;  // per block point (empty: every point)
  std::vector<std::uint8_t> kept;
  std::vector<std::uint8_t> frames_known;  // per block point (empty: none)
  std::vector<float> start_noise;       // per block point, from per-point sigmas (empty: sizes.scaled_sigma each)
};

// The noise levels the first pass starts from, per block point.
std::vector<float> first_noise(const Block& block) {
  if (!block.start_noise.empty()) return block.start_noise;
  return std::vector<float>(block.reference.size(), block.sizes.scaled_sigma);
}

// Per block point, the value of a per-row mask (empty stays empty).
std::vector<std::uint8_t> block_mask(std::span<const std::uint8_t> per_row, const std::vector<std::int32_t>& rows,
                                     std::size_t cloud_rows, const char* what) {
  if (per_row.empty()) return {};
  if (per_row.size() != cloud_rows)
    throw Error("Vandrel:invalidArgument", std::string("the ") + what + " mask holds " + std::to_string(per_row.size()) +
                                               " values for " + std::to_string(cloud_rows) + " points");
  std::vector<std::uint8_t> mask(rows.size());
  for (std::size_t k = 0; k < rows.size(); ++k) mask[k] = per_row[static_cast<std::size_t>(rows[k])];
  return mask;
}

// Checks the arguments and builds the block; no points in it when nothing is filtered.
// With `point_sigmas` (one per cloud row) the sizes come from the largest of them.
Block prepare_block(Host& host, std::span<const Point> cloud, float sigma, float density, const FilterSettings& settings,
                    std::span<const float> point_sigmas = {}) {
  check_parameters(sigma, density, settings.names);
  if (static_cast<std::int64_t>(cloud.size()) > max_points) {
    throw Error("Vandrel:tooManyPoints", "The cloud has " + std::to_string(cloud.size()) + " points; at most " +
                                             std::to_string(max_points) + " can be filtered in one call.");
  }
  Block block;
  block.scale = std::sqrt(density);
  const float scale = block.scale;
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

  const bool per_point = !point_sigmas.empty();
  block.sizes = filter_sizes(per_point ? largest_point_sigma(cloud, point_sigmas, settings.names) : sigma, density,
                             settings.names);
  if (block_rows.empty()) return block;
  if (!settings.allow_large_neighbourhoods) check_neighbourhood_size(cloud, scale, host.thread_count());

  // The block is kept in the order of the cells of its radius search; `rows` follows it.
  // The first block point in input order sets the offset of the noise update.
  std::vector<Point> points(block_rows.size());
  for (std::size_t k = 0; k < points.size(); ++k) points[k] = scaled[static_cast<std::size_t>(block_rows[k])];
  scaled = {};
  const std::vector<std::int32_t> order = CellGrid::cell_order(points, block_cell_side, host.thread_count());
  block.rows.resize(points.size());
  block.reference.resize(points.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    const auto from = static_cast<std::size_t>(order[k]);
    block.reference[k] = points[from];
    block.rows[k] = block_rows[from];
    if (from == 0) block.first_point = k;
  }
  block.estimated = block_mask(settings.estimated, block.rows, cloud.size(), "estimated");
  block.kept = block_mask(settings.wanted, block.rows, cloud.size(), "wanted");
  block.frames_known = block_mask(settings.frames_known, block.rows, cloud.size(), "frames known");
  if (per_point) {
    block.start_noise.resize(block.rows.size());
    for (std::size_t k = 0; k < block.rows.size(); ++k)
      block.start_noise[k] = point_sigmas[static_cast<std::size_t>(block.rows[k])] * block.scale;
  }
  return block;
}

// Pass `pass` over the block from `points` and `noise` (which it replaces by the levels for
// the next pass): the pass's positions.
std::vector<Point> run_pass(Host& host, const Block& block, std::int32_t pass, std::span<const Point> points,
                            std::vector<float>& noise, NeighbourSearch& neighbours, const FilterSettings& settings) {
  std::vector<Point> passed;
  if (points.size() >= min_filtered_block) {
    BlockPassSettings pass_settings{pass == 1 ? "pass 1" : "pass 2",
                                    pass == 1 ? first_pass_threshold : second_pass_threshold,
                                    block.sizes.max_half_width, settings.chunk_points, block.first_point};
    pass_settings.estimated = block.estimated;
    pass_settings.kept = block.kept;
    pass_settings.farthest_neighbour = settings.farthest_neighbour;
    pass_settings.frames_known = block.frames_known;
    pass_settings.frames_within = settings.frames_within;
    pass_settings.own_offsets = !block.start_noise.empty();
    pass_settings.moved = 0.0;
    for (std::size_t k = 0; k < points.size(); ++k) {
      double squared = 0.0;
      for (std::size_t c = 0; c < 3; ++c) {
        const double d = static_cast<double>(points[k][c]) - static_cast<double>(block.reference[k][c]);
        squared += d * d;
      }
      pass_settings.moved = std::max(pass_settings.moved, std::sqrt(squared));
    }
    passed = block_pass(host, points, noise, neighbours, pass_settings);
    if (settings.after_pass) settings.after_pass(pass, points, passed);
    if (settings.outputs && pass == 1)
      settings.outputs->record_first_pass(host, block.rows, points, passed, noise, block.scale, block.sizes.scaled_sigma);
  } else {
    passed.assign(points.begin(), points.end());
  }
  host.pass_done(pass);
  return passed;
}

// Back to the cloud's rows and units. (A point's position is the weighted mean of the
// positions the blocks covering it give; with a single block the weight cancels.) A point
// the passes left where it was keeps its input bits, which scaling back and forth would not
// always give.
std::vector<Point> merge(Host& host, std::span<const Point> cloud, const Block& block, std::span<const Point> points,
                         const FilterSettings& settings) {
  std::vector<Point> result(cloud.begin(), cloud.end());
  for (std::size_t k = 0; k < points.size(); ++k) {
    const auto row = static_cast<std::size_t>(block.rows[k]);
    if (points[k] == block.reference[k]) continue;
    for (std::size_t c = 0; c < 3; ++c) result[row][c] = points[k][c] / block.scale;
    if (!finite(result[row])) {
      throw Error("Vandrel:nonFiniteResult", "Point " + std::to_string(row + 1) +
                                                 " came out of the filter with a non-finite coordinate; nothing is "
                                                 "returned rather than a damaged cloud.");
    }
  }
  host.stage_done("merge");
  if (settings.outputs && points.size() >= min_filtered_block)
    settings.outputs->record_normals(host, block.rows, points, block.scale);
  host.progress("merge", static_cast<std::int64_t>(points.size()), static_cast<std::int64_t>(points.size()));
  return result;
}

// filter_cloud over a block made from its arguments.
std::vector<Point> filter_block(Host& host, std::span<const Point> cloud, const Block& block,
                                const FilterSettings& settings) {
  if (settings.outputs) settings.outputs->reset(cloud.size());
  // Points in no filtered block are returned exactly as given.
  if (block.rows.empty()) return {cloud.begin(), cloud.end()};
  std::vector<float> noise = first_noise(block);
  // The lists are found once, on the first pass's positions, and serve both passes.
  const std::unique_ptr<NeighbourSearch> neighbours = host.radius_neighbours(block.reference, block.sizes.search_radius);
  host.stage_done("radius search");
  // The second pass filters the first's output with the noise levels the first left.
  const std::vector<Point> first = run_pass(host, block, 1, block.reference, noise, *neighbours, settings);
  if (settings.outputs && settings.outputs->first_pass_only) return merge(host, cloud, block, first, settings);
  return merge(host, cloud, block, run_pass(host, block, 2, first, noise, *neighbours, settings), settings);
}

}  // namespace

std::vector<Point> filter_cloud(Host& host, std::span<const Point> cloud, float sigma, float density,
                                const FilterSettings& settings) {
  return filter_block(host, cloud, prepare_block(host, cloud, sigma, density, settings), settings);
}

std::vector<Point> filter_cloud(Host& host, std::span<const Point> cloud, std::span<const float> sigmas,
                                float density, const FilterSettings& settings) {
  check_point_sigma_count(sigmas.size(), cloud.size(), settings.names);
  return filter_block(host, cloud, prepare_block(host, cloud, 0.0f, density, settings, sigmas), settings);
}

FirstPass filter_first_pass(Host& host, std::span<const Point> cloud, float sigma, float density,
                            const FilterSettings& settings) {
  const Block block = prepare_block(host, cloud, sigma, density, settings);
  std::vector<float> noise = first_noise(block);
  std::vector<Point> points;
  if (!block.rows.empty()) {
    const std::unique_ptr<NeighbourSearch> neighbours = host.radius_neighbours(block.reference, block.sizes.search_radius);
    host.stage_done("radius search");
    points = run_pass(host, block, 1, block.reference, noise, *neighbours, settings);
  }
  FirstPass first;
  first.positions.resize(cloud.size());
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    for (std::size_t c = 0; c < 3; ++c) first.positions[i][c] = cloud[i][c] * block.scale;
  }
  first.noise.assign(cloud.size(), block.sizes.scaled_sigma);
  for (std::size_t k = 0; k < points.size(); ++k) {
    const auto row = static_cast<std::size_t>(block.rows[k]);
    first.positions[row] = points[k];
    first.noise[row] = noise[k];
  }
  return first;
}

std::vector<Point> filter_second_pass(Host& host, std::span<const Point> cloud, std::span<const Point> first_positions,
                                      std::span<const float> first_noise, float sigma, float density,
                                      const FilterSettings& settings) {
  if (first_positions.size() != cloud.size() || first_noise.size() != cloud.size())
    throw Error("Vandrel:invalidArgument", "the first pass's positions and noise levels need one entry per point");
  const Block block = prepare_block(host, cloud, sigma, density, settings);
  if (block.rows.empty()) return {cloud.begin(), cloud.end()};
  std::vector<Point> points(block.rows.size());
  std::vector<float> noise(block.rows.size());
  for (std::size_t k = 0; k < points.size(); ++k) {
    points[k] = first_positions[static_cast<std::size_t>(block.rows[k])];
    noise[k] = first_noise[static_cast<std::size_t>(block.rows[k])];
  }
  // Radius lists on the first pass's positions, as filter_cloud finds them.
  const std::unique_ptr<NeighbourSearch> neighbours = host.radius_neighbours(block.reference, block.sizes.search_radius);
  host.stage_done("radius search");
  return merge(host, cloud, block, run_pass(host, block, 2, points, noise, *neighbours, settings), settings);
}

}  // namespace vandrel
