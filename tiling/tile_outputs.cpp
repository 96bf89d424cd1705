#include "tiling/tile_outputs.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "core/filter_outputs.h"
#include "core/finite.h"
#include "core/neighbours.h"
#include "core/parameters.h"
#include "core/pipeline.h"
#include "host/native_host.h"

namespace vandrel {
namespace {

// The 12 neighbours a point's sign spreads along (core/point_normals.cpp).
constexpr std::size_t spread_neighbours = 12;

// Halos in scaled units (about one point spacing each) that usually hold the nearest
// neighbours a tile's points need: the radius of a disc of 400 (normals) or 51 (outlier
// measures) points with room to spare.
constexpr double normals_halo = 16.0;
constexpr double outliers_halo = 8.0;

// The whole run's block: the finite rows of `cloud` in the cell order of their scaled
// positions. Its indices break the ties of the nearest-neighbour lists (and of the spread
// of the signs), so tiles list their points in that order too.
std::vector<std::int32_t> block_rows_in_order(std::span<const Point> cloud, float scale) {
  std::vector<std::int32_t> rows;
  std::vector<Point> scaled;
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    if (!finite(cloud[i])) continue;
    rows.push_back(static_cast<std::int32_t>(i));
    Point p;
    for (std::size_t c = 0; c < 3; ++c) p[c] = cloud[i][c] * scale;
    scaled.push_back(p);
  }
  const std::vector<std::int32_t> order = CellGrid::cell_order(scaled, block_cell_side);
  std::vector<std::int32_t> block_row(order.size());
  for (std::size_t b = 0; b < order.size(); ++b) block_row[b] = rows[static_cast<std::size_t>(order[b])];
  return block_row;
}

// One tile's points for a nearest-neighbour sweep: the block points within a halo (maximum
// norm, scaled units) of the box of the tile's own points, in block order.
struct TileGather {
  std::vector<std::int32_t> owned;     // block indices the tile owns, ascending
  std::vector<std::int32_t> gathered;  // block indices read, ascending
  std::vector<std::int32_t> wanted;    // positions of the owned ones in `gathered`
  std::vector<Point> points;           // their positions
  std::array<double, 3> lo{};
  std::array<double, 3> hi{};

  // The tile's own points; false when it owns none.
  bool own(const TileBox& box, std::span<const Point> cloud, std::span<const std::int32_t> block_row,
           std::span<const Point> positions) {
    owned.clear();
    for (std::size_t b = 0; b < block_row.size(); ++b)
      if (box.holds(cloud[static_cast<std::size_t>(block_row[b])])) owned.push_back(static_cast<std::int32_t>(b));
    lo.fill(std::numeric_limits<double>::infinity());
    hi.fill(-std::numeric_limits<double>::infinity());
    for (const std::int32_t b : owned) {
      for (std::size_t c = 0; c < 3; ++c) {
        lo[c] = std::min(lo[c], static_cast<double>(positions[static_cast<std::size_t>(b)][c]));
        hi[c] = std::max(hi[c], static_cast<double>(positions[static_cast<std::size_t>(b)][c]));
      }
    }
    return !owned.empty();
  }

  void read(std::span<const Point> positions, double halo) {
    gathered.clear();
    wanted.clear();
    std::size_t next_owned = 0;
    for (std::size_t b = 0; b < positions.size(); ++b) {
      const Point& p = positions[b];
      bool within = true;
      for (std::size_t c = 0; c < 3; ++c) within = within && p[c] >= lo[c] - halo && p[c] <= hi[c] + halo;
      if (next_owned < owned.size() && owned[next_owned] == static_cast<std::int32_t>(b)) {
        wanted.push_back(static_cast<std::int32_t>(gathered.size()));
        ++next_owned;
        within = true;
      }
      if (within) gathered.push_back(static_cast<std::int32_t>(b));
    }
    points.resize(gathered.size());
    for (std::size_t j = 0; j < gathered.size(); ++j) points[j] = positions[static_cast<std::size_t>(gathered[j])];
  }

  // Whether the lists of the owned points, whose last entries lie `reach` from them, are
  // those of the whole cloud: every point left out lies farther than `halo` from every
  // owned point (room left for rounding).
  bool holds(std::span<const float> reach, double halo, std::size_t block_points) const {
    if (gathered.size() == block_points) return true;
    float farthest = 0.0f;
    for (const std::int32_t j : wanted) farthest = std::max(farthest, reach[static_cast<std::size_t>(j)]);
    return static_cast<double>(farthest) * 1.0001 < halo;
  }

  // The halo to read again with.
  double wider(std::span<const float> reach, double halo) const {
    float farthest = 0.0f;
    for (const std::int32_t j : wanted) farthest = std::max(farthest, reach[static_cast<std::size_t>(j)]);
    return std::max(halo * 1.5, static_cast<double>(farthest) * 1.25);
  }
};

float distance_to(const Point& p, const Point& q) {
  const Point d{q[0] - p[0], q[1] - p[1], q[2] - p[2]};
  return std::sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]);
}

}  // namespace

void tile_normals(std::span<const Point> cloud, std::span<const Point> filtered, const TilePlan& plan,
                  const NormalSign& orientation, const DenoiseOptions& options, std::span<Point> normals,
                  std::span<float> curvature) {
  const std::vector<std::int32_t> block_row = block_rows_in_order(cloud, plan.scale);
  const std::size_t n = block_row.size();
  const std::size_t scales = normal_scale_count(n);
  if (scales == 0) {
    const float nan = std::nanf("");
    for (const std::int32_t row : block_row) {
      normals[static_cast<std::size_t>(row)] = {nan, nan, nan};
      curvature[static_cast<std::size_t>(row)] = nan;
    }
    return;
  }
  const auto largest = static_cast<std::size_t>(largest_normal_scale(scales));
  std::vector<Point> positions(n);
  for (std::size_t b = 0; b < n; ++b) positions[b] = filtered[static_cast<std::size_t>(block_row[b])];

  const bool spreading = orientation.rule == NormalSign::Rule::propagate;
  std::vector<NormalFit> fits(n * scales);
  std::vector<std::int32_t> spread(spreading ? n * spread_neighbours : 0);
  NativeHost host(native_host_options(options));
  TileGather tile;
  std::vector<float> reach;
  for (const TileBox& box : plan.tiles) {
    if (!tile.own(box, cloud, block_row, positions)) continue;
    for (double halo = normals_halo;;) {
      tile.read(positions, halo);
      if (tile.gathered.size() < n && tile.gathered.size() <= largest) {
        halo *= 2.0;
        continue;
      }
      reach.assign(tile.gathered.size(), 0.0f);
      fit_normals(host, tile.points, scales, spreading, tile.wanted,
                  [&](std::size_t j, std::span<const NormalFit> fitted, std::span<const std::int32_t> spread_to,
                      std::span<const std::int32_t> list) {
                    const auto b = static_cast<std::size_t>(tile.gathered[j]);
                    std::copy(fitted.begin(), fitted.end(), fits.begin() + static_cast<std::ptrdiff_t>(b * scales));
                    for (std::size_t r = 0; r < spread_to.size(); ++r)
                      spread[b * spread_neighbours + r] = tile.gathered[static_cast<std::size_t>(spread_to[r])];
                    reach[j] = distance_to(tile.points[j], tile.points[static_cast<std::size_t>(list.back())]);
                  });
      if (tile.holds(reach, halo, n)) break;
      halo = tile.wider(reach, halo);
    }
  }

  NormalSign rule = orientation;
  if (rule.rule == NormalSign::Rule::viewpoint)
    for (float& c : rule.target) c *= plan.scale;
  const BlockNormals chosen = choose_normals(positions, fits, scales, spread, rule, host.thread_count());
  for (std::size_t b = 0; b < n; ++b) {
    normals[static_cast<std::size_t>(block_row[b])] = chosen.normals[b];
    curvature[static_cast<std::size_t>(block_row[b])] = chosen.curvature[b];
  }
}

void tile_outlier_measures(std::span<const Point> cloud, std::span<const Point> first_positions,
                           const TilePlan& plan, float sigma, float density, const DenoiseOptions& options,
                           FilterOutputs& outputs) {
  const std::vector<std::int32_t> block_row = block_rows_in_order(cloud, plan.scale);
  const std::size_t n = block_row.size();
  // As the whole run: a block too small for the passes is not measured.
  if (n < min_filtered_block) return;
  const float input_noise = filter_sizes(sigma, density, options.names).scaled_sigma;
  std::vector<Point> before(n);
  std::vector<float> moves(n);
  for (std::size_t b = 0; b < n; ++b) {
    const auto row = static_cast<std::size_t>(block_row[b]);
    for (std::size_t c = 0; c < 3; ++c) before[b][c] = cloud[row][c] * plan.scale;
    moves[b] = first_move_of(before[b], first_positions[row], input_noise);
    outputs.first_move[row] = moves[b];
  }
  const auto listed = static_cast<std::int32_t>(std::min(static_cast<std::size_t>(outlier_listed), n));
  NativeHost host(native_host_options(options));
  std::vector<float> near_mean(n), far_mean(n);
  std::vector<double> halos(plan.tiles.size(), outliers_halo);
  TileGather tile;
  std::vector<float> reach;
  NeighbourLists lists;
  // First every point's mean distances, then what each point's neighbours' means and moves
  // make of its own.
  for (std::size_t t = 0; t < plan.tiles.size(); ++t) {
    if (!tile.own(plan.tiles[t], cloud, block_row, before)) continue;
    for (;;) {
      tile.read(before, halos[t]);
      if (tile.gathered.size() < n && tile.gathered.size() <= static_cast<std::size_t>(listed)) {
        halos[t] *= 2.0;
        continue;
      }
      reach.assign(tile.gathered.size(), 0.0f);
      const std::unique_ptr<NeighbourSearch> nearest = host.nearest_neighbours(tile.points, listed, nullptr);
      lists.clear();
      nearest->find(tile.wanted, nullptr, lists);
      for (std::size_t k = 0; k < tile.wanted.size(); ++k) {
        const auto j = static_cast<std::size_t>(tile.wanted[k]);
        const auto b = static_cast<std::size_t>(tile.gathered[j]);
        const auto means = neighbour_mean_distances(tile.points, j, lists[static_cast<std::int64_t>(k)]);
        near_mean[b] = means[0];
        far_mean[b] = means[1];
        reach[j] = distance_to(tile.points[j], tile.points[static_cast<std::size_t>(lists[static_cast<std::int64_t>(k)].back())]);
      }
      if (tile.holds(reach, halos[t], n)) break;
      halos[t] = tile.wider(reach, halos[t]);
    }
  }
  std::vector<float> local_near, local_far, local_moves, scratch;
  for (std::size_t t = 0; t < plan.tiles.size(); ++t) {
    if (!tile.own(plan.tiles[t], cloud, block_row, before)) continue;
    tile.read(before, halos[t]);
    local_near.resize(tile.gathered.size());
    local_far.resize(tile.gathered.size());
    local_moves.resize(tile.gathered.size());
    for (std::size_t j = 0; j < tile.gathered.size(); ++j) {
      const auto b = static_cast<std::size_t>(tile.gathered[j]);
      local_near[j] = near_mean[b];
      local_far[j] = far_mean[b];
      local_moves[j] = moves[b];
    }
    const std::unique_ptr<NeighbourSearch> nearest = host.nearest_neighbours(tile.points, listed, nullptr);
    lists.clear();
    nearest->find(tile.wanted, nullptr, lists);
    for (std::size_t k = 0; k < tile.wanted.size(); ++k) {
      const auto j = static_cast<std::size_t>(tile.wanted[k]);
      const auto row = static_cast<std::size_t>(block_row[static_cast<std::size_t>(tile.gathered[j])]);
      const OutlierMeasures measures = outlier_measures_of(lists[static_cast<std::int64_t>(k)], local_near, local_far,
                                                           local_moves, j, scratch);
      outputs.isolation[row] = measures.isolation;
      outputs.spread[row] = measures.spread;
      outputs.move_around[row] = measures.move_around;
    }
  }
}

}  // namespace vandrel
