#include "core/pipeline.h"

#include <bit>
#include <cmath>
#include <algorithm>
#include <limits>
#include <string>

#include "api/error.h"
#include "core/block_pass.h"
#include "core/neighbours.h"
#include "core/point_estimate.h"
#include "core/root_block.h"

namespace vandrel {
namespace {

// Rows are 32-bit signed integers.
constexpr std::int64_t max_points = std::numeric_limits<std::int32_t>::max();
// The largest single below 12: the smallest maximum half-width of a quadrant box.
constexpr float min_half_width = std::bit_cast<float>(0x413FFFFFu);
constexpr std::size_t min_filtered_block = 50;
constexpr std::size_t max_pruned_block = 3;
// More neighbours than this per point, on average, and the parameters are refused.
constexpr double max_mean_neighbours = 20000.0;

}  // namespace

void check_parameters(float sigma, float density) {
  if (!std::isfinite(sigma) || sigma < 0.0f) {
    throw Error("Vandrel:invalidSigma",
                "sigma_pcd must be a finite noise standard deviation >= 0, but it is " + std::to_string(sigma) + ".");
  }
  if (!std::isfinite(density) || density <= 0.0f) {
    throw Error("Vandrel:invalidDensity",
                "dens_pcd must be a finite density > 0, but it is " + std::to_string(density) + ".");
  }
}

namespace {

void check_arguments(std::span<const Point> cloud, float sigma, float density) {
  check_parameters(sigma, density);
  if (static_cast<std::int64_t>(cloud.size()) > max_points) {
    throw Error("Vandrel:tooManyPoints", "The cloud has " + std::to_string(cloud.size()) + " points; at most " +
                                             std::to_string(max_points) + " can be filtered in one call.");
  }
}

// Refuses parameters that would make every neighbourhood hold a large part of the cloud
// (a density in the wrong units, say) before the heavy work: from a sample of the block,
// the mean number of points within the in-plane reach of the estimates.
void check_neighbourhood_size(std::span<const Point> points, const FilterSettings& settings) {
  if (settings.allow_large_neighbourhoods || points.size() < min_filtered_block) return;
  const CellGrid grid(points, block_cell_side);
  const std::size_t samples = std::min<std::size_t>(points.size(), 64);
  std::vector<std::int32_t> found;
  double total = 0.0;
  for (std::size_t k = 0; k < samples; ++k) {
    found.clear();
    grid.within(points, points[k * points.size() / samples], estimate_region_radius(), found);
    total += static_cast<double>(found.size());
  }
  const double mean = total / static_cast<double>(samples);
  if (mean > max_mean_neighbours) {
    throw Error("Vandrel:hugeNeighbourhood",
                "With sigma and density as given, each point has about " + std::to_string(std::llround(mean)) +
                    " neighbours to fit (" + std::to_string(std::llround(100.0 * mean / static_cast<double>(points.size()))) +
                    " % of the cloud; a few hundred to a few thousand is usual): the density is likely too small "
                    "or sigma too large for the cloud's units. Check them, or insist (the run would be slow).");
  }
}

}  // namespace

std::vector<Point> filter_cloud(Host& host, std::span<const Point> cloud, float sigma, float density,
                                const FilterSettings& settings) {
  check_arguments(cloud, sigma, density);
  const float scale = std::sqrt(density);
  std::vector<Point> scaled(cloud.size());
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    for (std::size_t c = 0; c < 3; ++c) scaled[i][c] = cloud[i][c] * scale;
  }
  const float scaled_sigma = sigma * scale;

  std::vector<std::int32_t> block_rows = root_block(scaled);
  if (block_rows.size() <= max_pruned_block) block_rows.clear();
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    const Point& p = cloud[i];
    const bool finite = std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
    const Point& q = scaled[i];
    if (finite && !(std::isfinite(q[0]) && std::isfinite(q[1]) && std::isfinite(q[2]))) {
      throw Error("Vandrel:invalidDensity", "dens_pcd " + std::to_string(density) + " scales point " +
                                                std::to_string(i + 1) + " beyond the single-precision range.");
    }
  }
  host.stage_done("split");

  // r0 bounds the quadrant boxes; the search radius reaches every corner of the cube of
  // half-edge r0 around a point.
  const float five_sigma = 5.0f * scaled_sigma;
  const float max_half_width = five_sigma > min_half_width ? five_sigma : min_half_width;
  const float radius = std::sqrt((max_half_width * max_half_width) * 3.0f);
  if (!std::isfinite(radius)) {
    throw Error("Vandrel:invalidSigma", "sigma_pcd " + std::to_string(sigma) + " times sqrt(dens_pcd) is beyond the "
                                        "single-precision range of the neighbourhood sizes.");
  }

  // Points in no filtered block are returned exactly as given.
  std::vector<Point> result(cloud.begin(), cloud.end());
  if (block_rows.empty()) return result;

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
  check_neighbourhood_size(points, settings);
  const std::vector<Point> reference = points;
  std::vector<float> noise(points.size(), scaled_sigma);
  // The lists are found once, on the first pass's positions, and serve both passes.
  const std::unique_ptr<NeighbourSearch> neighbours = host.radius_neighbours(reference, radius);
  host.stage_done("radius search");

  // The second pass filters the first's output with the noise levels the first left.
  for (std::int32_t pass = 1; pass <= 2; ++pass) {
    if (points.size() >= min_filtered_block) {
      const BlockPassSettings pass_settings{pass == 1 ? "pass 1" : "pass 2",
                                            pass == 1 ? first_pass_threshold : second_pass_threshold, max_half_width,
                                            settings.chunk_points, first_point};
      points = block_pass(host, points, noise, *neighbours, pass_settings);
    }
    host.pass_done(pass);
  }

  // Back to the cloud's rows and units. (A point's position is the weighted mean of the
  // positions the blocks covering it give; with a single block the weight cancels.) A
  // point the passes left where it was keeps its input bits, which scaling back and forth
  // would not always give.
  for (std::size_t k = 0; k < points.size(); ++k) {
    const auto row = static_cast<std::size_t>(rows[k]);
    if (points[k] == reference[k]) continue;
    for (std::size_t c = 0; c < 3; ++c) result[row][c] = points[k][c] / scale;
    const Point& p = result[row];
    if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) {
      throw Error("Vandrel:nonFiniteResult", "Point " + std::to_string(row + 1) +
                                                 " came out of the filter with a non-finite coordinate; nothing is "
                                                 "returned rather than a damaged cloud.");
    }
  }
  host.stage_done("merge");
  host.progress("merge", static_cast<std::int64_t>(points.size()), static_cast<std::int64_t>(points.size()));
  return result;
}

}  // namespace vandrel
