#include "core/pipeline.h"

#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "api/error.h"
#include "core/block_pass.h"
#include "core/neighbours.h"
#include "core/root_block.h"

namespace vandrel {
namespace {

// Rows are 32-bit signed integers.
constexpr std::int64_t max_points = std::numeric_limits<std::int32_t>::max();
// The largest single below 12: the smallest maximum half-width of a quadrant box.
constexpr float min_half_width = std::bit_cast<float>(0x413FFFFFu);
constexpr std::size_t min_filtered_block = 50;
constexpr std::size_t max_pruned_block = 3;

void check_arguments(std::span<const Point> cloud, float sigma, float density) {
  if (!std::isfinite(sigma) || sigma < 0.0f) {
    throw Error("Vandrel:invalidSigma",
                "sigma_pcd must be a finite noise standard deviation >= 0, but it is " + std::to_string(sigma) + ".");
  }
  if (!std::isfinite(density) || density <= 0.0f) {
    throw Error("Vandrel:invalidDensity",
                "dens_pcd must be a finite density > 0, but it is " + std::to_string(density) + ".");
  }
  if (static_cast<std::int64_t>(cloud.size()) > max_points) {
    throw Error("Vandrel:tooManyPoints", "The cloud has " + std::to_string(cloud.size()) + " points; at most " +
                                             std::to_string(max_points) + " can be filtered in one call.");
  }
}

// max(d, 0), where a NaN distance counts as 0.
float positive_part(float d) { return std::isnan(d) ? 0.0f : (0.0f > d ? 0.0f : d); }

// The merge weight of a point: the product of its distances to the block's six faces.
float box_weight(const std::array<float, 6>& box, const Point& p) {
  return positive_part(box[3] - p[0]) * positive_part(p[0] - box[0]) * positive_part(box[4] - p[1]) *
         positive_part(p[1] - box[1]) * positive_part(box[5] - p[2]) * positive_part(p[2] - box[2]);
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

  std::optional<RootBlock> block = root_block(scaled);
  if (block && block->rows.size() <= max_pruned_block) block.reset();
  host.stage_done("split");

  // r0 bounds the quadrant boxes; the search radius reaches every corner of the cube of
  // half-edge r0 around a point.
  const float five_sigma = 5.0f * scaled_sigma;
  const float max_half_width = five_sigma > min_half_width ? five_sigma : min_half_width;
  const float radius = std::sqrt((max_half_width * max_half_width) * 3.0f);

  // Points in no filtered block are returned exactly as given.
  std::vector<Point> result(cloud.begin(), cloud.end());
  if (!block) return result;

  // The block is kept in the order of the cells of its radius search, points near in space
  // near in memory; `rows` follows it. The first block point in input order sets the
  // offset of the noise update.
  std::vector<Point> points(block->rows.size());
  for (std::size_t k = 0; k < points.size(); ++k) points[k] = scaled[static_cast<std::size_t>(block->rows[k])];
  scaled = {};
  const std::vector<std::int32_t> order = CellGrid::cell_order(points, radius / 2.0f);
  std::vector<std::int32_t> rows(points.size());
  std::size_t first_point = 0;
  {
    std::vector<Point> sorted(points.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
      const auto from = static_cast<std::size_t>(order[k]);
      sorted[k] = points[from];
      rows[k] = block->rows[from];
      if (from == 0) first_point = k;
    }
    points = std::move(sorted);
  }
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

  // Merge: the block's filtered points weighted by the product of their distances to the
  // block's faces, measured on the unfiltered positions, and divided by the weight. The
  // sums start from +0, as they would with several blocks.
  for (std::size_t k = 0; k < points.size(); ++k) {
    const auto row = static_cast<std::size_t>(rows[k]);
    const float weight = box_weight(block->box, reference[k]);
    const float total = 0.0f + weight;
    for (std::size_t c = 0; c < 3; ++c) {
      // A point on a lower face (weight 0) takes the block's position unweighted.
      const float merged = total != 0.0f ? (0.0f + points[k][c] * weight) / total : (0.0f + points[k][c]) / 1.0f;
      result[row][c] = merged / scale;
    }
  }
  host.stage_done("merge");
  host.progress("merge", static_cast<std::int64_t>(points.size()), static_cast<std::int64_t>(points.size()));
  return result;
}

}  // namespace vandrel
