#include "api/tiling.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include "api/error.h"
#include "api/host_options.h"
#include "core/block_pass.h"
#include "core/neighbours.h"
#include "core/parallel.h"
#include "core/pipeline.h"
#include "core/point_estimate.h"
#include "host/kd_search.h"
#include "host/native_host.h"

namespace vandrel {
namespace {

// As in the filter: the largest single below 12 is the smallest r0.
constexpr float min_half_width = std::bit_cast<float>(0x413FFFFFu);
// Measured working memory of the filter per point it reads, with room for the tile's own arrays.
constexpr std::int64_t bytes_per_point = 1024;
// A tile is not cut for its halo below this share of the points it may read.
constexpr std::int64_t min_owned_share = 8;
constexpr std::int64_t default_memory_bytes = std::int64_t{1} << 30;
constexpr std::int64_t neighbourhood_samples = 64;
constexpr double max_mean_neighbours = 20000.0;

bool finite(const Point& p) { return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]); }

// Splits rows [begin, end) at the median of the longest axis, recursively, into `tiles`.
void bisect(std::span<const Point> cloud, std::vector<std::int64_t>& rows, std::size_t begin, std::size_t end,
            TileBox box, std::int64_t tile_points, std::vector<TileBox>& tiles) {
  if (static_cast<std::int64_t>(end - begin) <= tile_points) {
    tiles.push_back(box);
    return;
  }
  Point lo = cloud[static_cast<std::size_t>(rows[begin])];
  Point hi = lo;
  for (std::size_t k = begin; k < end; ++k) {
    const Point& p = cloud[static_cast<std::size_t>(rows[k])];
    for (std::size_t c = 0; c < 3; ++c) {
      lo[c] = std::min(lo[c], p[c]);
      hi[c] = std::max(hi[c], p[c]);
    }
  }
  std::array<std::size_t, 3> axes{0, 1, 2};
  std::stable_sort(axes.begin(), axes.end(), [&](std::size_t a, std::size_t b) {
    return static_cast<double>(hi[a]) - lo[a] > static_cast<double>(hi[b]) - lo[b];
  });
  const auto first = rows.begin() + static_cast<std::ptrdiff_t>(begin);
  const auto last = rows.begin() + static_cast<std::ptrdiff_t>(end);
  for (const std::size_t axis : axes) {
    if (!(lo[axis] < hi[axis])) continue;
    const auto coordinate = [&](std::int64_t row) { return cloud[static_cast<std::size_t>(row)][axis]; };
    const auto middle = first + (last - first) / 2;
    std::nth_element(first, middle, last, [&](std::int64_t a, std::int64_t b) { return coordinate(a) < coordinate(b); });
    float split = coordinate(*middle);
    // Ties at the lowest value would leave the lower half empty: split above them.
    if (split == lo[axis]) {
      split = hi[axis];
      for (auto it = first; it != last; ++it) {
        if (coordinate(*it) > lo[axis]) split = std::min(split, coordinate(*it));
      }
    }
    const auto cut = std::partition(first, last, [&](std::int64_t row) { return coordinate(row) < split; });
    TileBox lower = box;
    TileBox upper = box;
    lower.hi[axis] = split;
    upper.lo[axis] = split;
    const auto middle_at = static_cast<std::size_t>(cut - rows.begin());
    bisect(cloud, rows, begin, middle_at, lower, tile_points, tiles);
    bisect(cloud, rows, middle_at, end, upper, tile_points, tiles);
    return;
  }
  tiles.push_back(box);  // every point coincides: the box cannot be cut
}

// Distance, in scaled units and the maximum norm, from a scaled point to a box.
double depth_outside(const TileBox& box, float scale, const Point& scaled) {
  double depth = 0.0;
  for (std::size_t c = 0; c < 3; ++c) {
    depth = std::max(depth, static_cast<double>(box.lo[c]) * scale - scaled[c]);
    depth = std::max(depth, scaled[c] - static_cast<double>(box.hi[c]) * scale);
  }
  return depth;
}

double distance(const Point& p, const Point& q) {
  double squared = 0.0;
  for (std::size_t c = 0; c < 3; ++c) squared += std::pow(static_cast<double>(p[c]) - q[c], 2);
  return std::sqrt(squared);
}

// The stand-alone host, measuring on the way how far the first pass moved the points
// within `depth` of the tile's box: the filter asks for the radius search on the first
// pass's positions and for the nearest neighbours of each pass on that pass's positions,
// all in the block's order.
class MoveMeasuringHost : public NativeHost {
 public:
  MoveMeasuringHost(NativeHostOptions options, const TileBox& box, float scale, double depth)
      : NativeHost(std::move(options)), box_(box), scale_(scale), depth_(depth) {}

  std::unique_ptr<NeighbourSearch> radius_neighbours(std::span<const Point> points, float radius) override {
    searched_ = points;
    return NativeHost::radius_neighbours(points, radius);
  }
  std::unique_ptr<NeighbourSearch> nearest_neighbours(std::span<const Point> points, std::int32_t k) override {
    if (++nearest_calls_ == 2 && points.size() == searched_.size()) {
      for (std::size_t i = 0; i < points.size(); ++i) {
        if (depth_outside(box_, scale_, searched_[i]) <= depth_) {
          largest_move_ = std::max(largest_move_, distance(points[i], searched_[i]));
        }
      }
    }
    return NativeHost::nearest_neighbours(points, k);
  }
  double largest_move() const { return largest_move_; }

 private:
  TileBox box_;
  float scale_;
  double depth_;
  std::span<const Point> searched_;
  int nearest_calls_ = 0;
  double largest_move_ = 0.0;
};

}  // namespace

std::int64_t tile_points_for_memory(std::int64_t memory_bytes) {
  const std::int64_t budget = memory_bytes > 0 ? memory_bytes : default_memory_bytes;
  return std::max<std::int64_t>(1, budget / bytes_per_point);
}

TilePlan plan_tiles(std::span<const Point> cloud, float sigma, float density, std::int64_t tile_points,
                    std::int64_t max_read_points) {
  check_parameters(sigma, density);
  if (tile_points < 1) {
    throw Error("Vandrel:invalidTileSize", "A tile must own at least 1 point, but tile_points is " +
                                               std::to_string(tile_points) + ".");
  }
  TilePlan plan;
  // The filter's own scale and sizes, computed as it computes them.
  plan.scale = std::sqrt(density);
  const float five_sigma = 5.0f * (sigma * plan.scale);
  plan.max_half_width = five_sigma > min_half_width ? five_sigma : min_half_width;
  plan.search_radius = std::sqrt((plan.max_half_width * plan.max_half_width) * 3.0f);
  if (!std::isfinite(plan.search_radius)) {
    throw Error("Vandrel:invalidSigma", "sigma_pcd " + std::to_string(sigma) + " times sqrt(dens_pcd) is beyond the "
                                        "single-precision range of the neighbourhood sizes.");
  }
  std::vector<std::int64_t> rows;
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    if (finite(cloud[i])) rows.push_back(static_cast<std::int64_t>(i));
  }
  constexpr float infinity = std::numeric_limits<float>::infinity();
  const TileBox everything{{-infinity, -infinity, -infinity}, {infinity, infinity, infinity}};
  if (rows.empty()) {
    plan.tiles.push_back(everything);
    return plan;
  }
  bisect(cloud, rows, 0, rows.size(), everything, tile_points, plan.tiles);
  if (max_read_points <= 0) return plan;

  // Tiles that read more than allowed with their halo are cut again, while the points they
  // own still outweigh the halo.
  const double halo = tile_halo(plan, initial_reach(plan));
  std::vector<TileBox> pending = std::move(plan.tiles);
  plan.tiles.clear();
  std::vector<std::uint8_t> owned;
  while (!pending.empty()) {
    const TileBox box = pending.back();
    pending.pop_back();
    const std::vector<std::int64_t> read = tile_rows(cloud, box, halo, &owned);
    std::vector<std::int64_t> own;
    for (std::size_t k = 0; k < read.size(); ++k) {
      if (owned[k] != 0) own.push_back(read[k]);
    }
    const auto read_count = static_cast<std::int64_t>(read.size());
    const auto own_count = static_cast<std::int64_t>(own.size());
    if (read_count <= max_read_points || own_count * min_owned_share < max_read_points || own_count < 2) {
      plan.tiles.push_back(box);
      continue;
    }
    std::vector<TileBox> halves;
    bisect(cloud, own, 0, own.size(), box, (own_count + 1) / 2, halves);
    if (halves.size() == 1) {
      plan.tiles.push_back(box);
      continue;
    }
    pending.insert(pending.end(), halves.begin(), halves.end());
  }
  return plan;
}

TileReach initial_reach(const TilePlan& plan) {
  constexpr float typical_reach = 8.0f;
  return {typical_reach, std::max(0.0f, (plan.search_radius - typical_reach) / 4.0f)};
}

double tile_halo(const TilePlan& plan, const TileReach& reach) {
  const double radius = plan.search_radius;
  const double scaled = 2.0 * radius + std::max(radius, static_cast<double>(reach.neighbours) + 4.0 * reach.move) +
                        std::max(radius, static_cast<double>(reach.neighbours));
  // A margin for the rounding of scaled coordinates.
  return scaled * 1.01 / plan.scale;
}

std::vector<std::int64_t> tile_rows(std::span<const Point> cloud, const TileBox& box, double halo,
                                    std::vector<std::uint8_t>* owned) {
  std::vector<std::int64_t> rows;
  if (owned != nullptr) owned->clear();
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    const Point& p = cloud[i];
    if (!finite(p)) continue;
    bool inside = true;
    for (std::size_t c = 0; c < 3; ++c) {
      inside = inside && static_cast<double>(p[c]) >= box.lo[c] - halo && static_cast<double>(p[c]) <= box.hi[c] + halo;
    }
    if (!inside) continue;
    rows.push_back(static_cast<std::int64_t>(i));
    if (owned != nullptr) owned->push_back(static_cast<std::uint8_t>(box.holds(p)));
  }
  return rows;
}

TileResult filter_tile(std::span<const Point> points, const TileBox& box, const TilePlan& plan, float sigma,
                       float density, const TileReach& reach, const DenoiseOptions& options) {
  TileResult result;
  const bool checked = std::isfinite(reach.neighbours) && std::isfinite(reach.move);
  const double radius = plan.search_radius;
  // The frames and moves of every point within this depth of the box reach the owned points.
  const double checked_depth =
      2.0 * radius + std::max(radius, static_cast<double>(reach.neighbours) + 4.0 * static_cast<double>(reach.move));
  NativeHostOptions host_options = host_options_for(options);  // checks the thread count first
  const int threads = thread_count(options);
  if (checked) {
    // The 50 nearest neighbours a point finds within the reach in the tile are its nearest
    // in the whole cloud too.
    std::vector<Point> scaled(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
      for (std::size_t c = 0; c < 3; ++c) scaled[i][c] = points[i][c] * plan.scale;
    }
    const KdSearch tree(scaled);
    std::vector<double> farthest(static_cast<std::size_t>(threads), 0.0);
    for_each_share(threads, static_cast<std::int64_t>(points.size()), [&](int thread, std::int64_t first, std::int64_t last) {
      std::vector<std::int32_t> nearest;
      double& worst = farthest[static_cast<std::size_t>(thread)];
      for (auto i = static_cast<std::size_t>(first); i < static_cast<std::size_t>(last); ++i) {
        if (depth_outside(box, plan.scale, scaled[i]) > checked_depth) continue;
        nearest = tree.nearest(scaled[i].data(), frame_neighbours);
        if (nearest.size() < static_cast<std::size_t>(frame_neighbours)) {
          worst = std::numeric_limits<double>::infinity();
          continue;
        }
        worst = std::max(worst, distance(scaled[static_cast<std::size_t>(nearest.back())], scaled[i]));
      }
    });
    const double worst = *std::max_element(farthest.begin(), farthest.end());
    if (worst > reach.neighbours) {
      result.needed = {std::isfinite(worst) ? static_cast<float>(worst * 1.25) : 2.0f * reach.neighbours, reach.move};
      return result;
    }
  }
  MoveMeasuringHost host(std::move(host_options), box, plan.scale, checked_depth);
  result.points = filter_cloud(host, points, sigma, density, {options.chunk_points, true});
  if (checked && host.largest_move() > reach.move) {
    result.points.clear();
    result.needed = {reach.neighbours, static_cast<float>(host.largest_move() * 1.25)};
    return result;
  }
  result.complete = true;
  return result;
}

std::vector<std::int64_t> NeighbourhoodCheck::probe_ranks(std::int64_t finite_rows) {
  if (finite_rows < 50) return {};
  const std::int64_t probes = std::min(neighbourhood_samples, finite_rows);
  std::vector<std::int64_t> ranks(static_cast<std::size_t>(probes));
  for (std::int64_t k = 0; k < probes; ++k) ranks[static_cast<std::size_t>(k)] = k * finite_rows / probes;
  return ranks;
}

NeighbourhoodCheck::NeighbourhoodCheck(const TilePlan& plan, std::span<const Point> probes) : scale_(plan.scale) {
  for (const Point& p : probes) probes_.push_back({p[0] * scale_, p[1] * scale_, p[2] * scale_});
  const double reach = estimate_region_radius();
  limit_ = reach * reach;
}

void NeighbourhoodCheck::count(std::span<const Point> points, int threads) {
  if (probes_.empty()) return;
  // Counts are integers: their sum does not depend on the threads or the parts.
  std::vector<std::int64_t> counts(static_cast<std::size_t>(threads), 0);
  for_each_share(threads, static_cast<std::int64_t>(points.size()), [&](int thread, std::int64_t first, std::int64_t last) {
    std::int64_t count = 0;
    for (auto i = static_cast<std::size_t>(first); i < static_cast<std::size_t>(last); ++i) {
      if (!finite(points[i])) continue;
      const Point q{points[i][0] * scale_, points[i][1] * scale_, points[i][2] * scale_};
      for (const Point& s : probes_) {
        const double dx = static_cast<double>(q[0]) - s[0];
        const double dy = static_cast<double>(q[1]) - s[1];
        const double dz = static_cast<double>(q[2]) - s[2];
        count += static_cast<std::int64_t>((dx * dx + dy * dy) + dz * dz <= limit_);
      }
    }
    counts[static_cast<std::size_t>(thread)] = count;
  });
  neighbours_ += std::accumulate(counts.begin(), counts.end(), std::int64_t{0});
}

void NeighbourhoodCheck::judge(const DenoiseOptions& options) const {
  if (options.allow_large_neighbourhoods || probes_.empty()) return;
  const double mean = static_cast<double>(neighbours_) / static_cast<double>(probes_.size());
  if (mean > max_mean_neighbours) {
    throw Error("Vandrel:hugeNeighbourhood",
                "With sigma and density as given, each point has about " + std::to_string(std::llround(mean)) +
                    " neighbours to fit (a few hundred to a few thousand is usual): the density is likely too small "
                    "or sigma too large for the cloud's units. Check them, or insist (the run would be slow).");
  }
}

void check_neighbourhood_size(std::span<const Point> cloud, const TilePlan& plan, const DenoiseOptions& options) {
  if (options.allow_large_neighbourhoods) return;
  std::vector<std::size_t> finite_rows;
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    if (finite(cloud[i])) finite_rows.push_back(i);
  }
  std::vector<Point> probes;
  for (const std::int64_t rank : NeighbourhoodCheck::probe_ranks(static_cast<std::int64_t>(finite_rows.size())))
    probes.push_back(cloud[finite_rows[static_cast<std::size_t>(rank)]]);
  finite_rows = {};
  NeighbourhoodCheck check(plan, probes);
  check.count(cloud, thread_count(options));
  check.judge(options);
}

std::vector<Point> denoise_tiled(std::span<const Point> points, float sigma, float density,
                                 const DenoiseOptions& options, const TileOptions& tiling) {
  const TilePlan plan =
      tiling.tile_points > 0 ? plan_tiles(points, sigma, density, tiling.tile_points)
                             : plan_tiles(points, sigma, density, tile_points_for_memory(tiling.memory_bytes),
                                          tile_points_for_memory(tiling.memory_bytes));
  if (plan.tiles.size() == 1) return denoise(points, sigma, density, options);
  check_neighbourhood_size(points, plan, options);

  const auto finite_count =
      static_cast<std::size_t>(std::count_if(points.begin(), points.end(), [](const Point& p) { return finite(p); }));
  // Rows no tile owns (non-finite ones) come back as given.
  std::vector<Point> result(points.begin(), points.end());
  std::vector<std::uint8_t> owned;
  std::vector<Point> tile;
  for (const TileBox& box : plan.tiles) {
    TileReach reach = initial_reach(plan);
    for (;;) {
      const std::vector<std::int64_t> rows = tile_rows(points, box, tile_halo(plan, reach), &owned);
      if (std::find(owned.begin(), owned.end(), std::uint8_t{1}) == owned.end()) break;
      // A tile that reads the whole cloud needs no check.
      if (rows.size() == finite_count) reach = {std::numeric_limits<float>::infinity(), reach.move};
      tile.resize(rows.size());
      for (std::size_t k = 0; k < rows.size(); ++k) tile[k] = points[static_cast<std::size_t>(rows[k])];
      const TileResult filtered = filter_tile(tile, box, plan, sigma, density, reach, options);
      if (!filtered.complete) {
        reach = filtered.needed;
        continue;
      }
      for (std::size_t k = 0; k < rows.size(); ++k) {
        if (owned[k] != 0) result[static_cast<std::size_t>(rows[k])] = filtered.points[k];
      }
      break;
    }
  }
  return result;
}

}  // namespace vandrel
