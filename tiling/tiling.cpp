#include "tiling/tiling.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include "core/block_pass.h"
#include "core/filter_outputs.h"
#include "core/finite.h"
#include "core/local_frame.h"
#include "core/neighbourhood_check.h"
#include "core/parallel.h"
#include "core/pipeline.h"
#include "core/point_estimate.h"
#include "core/selection.h"
#include "host/native_host.h"
#include "tiling/far_movers.h"
#include "tiling/tile_outputs.h"
#include "vandrel/error.h"

namespace vandrel {
namespace {

// The planner cuts a tile that reads more than the limit allows while it owns at least this
// share of what it reads; below it, its halo alone is about as large as the limit, halving it
// again reads hardly less, and the plan is refused.
constexpr std::int64_t min_owned_share = 32;
// A part whose halo a pass widens beyond the limit is cut while it owns at least this share
// of what it reads. Each half estimates about the same halo again, so below it a cut costs
// more work than it saves memory (the 1M bunny at 1 %: 2.53 times the cloud a pass at an
// eighth, 4.14 at a 32nd).
constexpr std::int64_t min_owned_share_widened = 8;
// Plans of balanced reads tried, from the fewest tiles the reads allow, against the halved plan.
constexpr std::int64_t max_fewer_tiles_tried = 4;
// Above this many tiles one tile more or less matters little, and balancing cuts costs
// a scan of the cloud per tile and cut tried.
constexpr std::int64_t max_balanced_tiles = 8;
constexpr std::int64_t default_memory_bytes = std::int64_t{1} << 30;
// Plans tried, each with the memory the last one's fullest tile needed, for the least memory
// whose tiles read within it.
constexpr int max_fitting_plans_tried = 16;
// Points of the even sample on which a plan's cost is counted, about.
constexpr std::size_t cost_sample_points = std::size_t{1} << 18;
constexpr std::int64_t mebibyte = std::int64_t{1} << 20;

// Bytes rounded up to whole MiB.
std::int64_t whole_mib_up(std::int64_t bytes) { return (bytes + mebibyte - 1) / mebibyte * mebibyte; }

// Cuts rows [begin, end) across the longest axis that can be cut, at the rank that leaves
// `lower_share` (0 to 1) of them below, into `lower` and `upper`; returns the first row of the
// upper part, or `end` when every point coincides and the box cannot be cut.
std::size_t cut_box(std::span<const Point> cloud, std::vector<std::int64_t>& rows, std::size_t begin, std::size_t end,
                    double lower_share, const TileBox& box, TileBox& lower, TileBox& upper) {
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
    const auto rank = first + static_cast<std::ptrdiff_t>(static_cast<double>(last - first) * lower_share);
    std::nth_element(first, rank, last, [&](std::int64_t a, std::int64_t b) { return coordinate(a) < coordinate(b); });
    float split = coordinate(*rank);
    // Ties at the lowest value would leave the lower part empty: split above them.
    if (split == lo[axis]) {
      split = hi[axis];
      for (auto it = first; it != last; ++it) {
        if (coordinate(*it) > lo[axis]) split = std::min(split, coordinate(*it));
      }
    }
    const auto cut = std::partition(first, last, [&](std::int64_t row) { return coordinate(row) < split; });
    lower = box;
    upper = box;
    lower.hi[axis] = split;
    upper.lo[axis] = split;
    return static_cast<std::size_t>(cut - rows.begin());
  }
  return end;
}

// Splits rows [begin, end) at the median of the longest axis, recursively, into `tiles`.
void bisect(std::span<const Point> cloud, std::vector<std::int64_t>& rows, std::size_t begin, std::size_t end,
            TileBox box, std::int64_t tile_points, std::vector<TileBox>& tiles) {
  TileBox lower, upper;
  const std::size_t middle = static_cast<std::int64_t>(end - begin) <= tile_points
                                 ? end
                                 : cut_box(cloud, rows, begin, end, 0.5, box, lower, upper);
  if (middle == end) {
    tiles.push_back(box);  // small enough, or every point coincides
    return;
  }
  bisect(cloud, rows, begin, middle, lower, tile_points, tiles);
  bisect(cloud, rows, middle, end, upper, tile_points, tiles);
}

// Points of `cloud` that a tile reads with the halo, counting every `step`-th finite point
// `step` times.
std::int64_t points_read(std::span<const Point> cloud, const TileBox& box, double halo, std::size_t step = 1) {
  std::int64_t read = 0;
  for (std::size_t i = 0; i < cloud.size(); i += step) {
    read += finite(cloud[i]) && within_halo(cloud[i], box, halo);
  }
  return read * static_cast<std::int64_t>(step);
}

// Cuts rows [begin, end) into `count` tiles, each cut across the longest axis of the part it
// cuts and sharing the part's points in proportion to the tiles on each side (three tiles: a
// third, then the rest in halves). With `balance`, each cut is moved (by up to a fifth of
// the proportional share, either way) to where the largest read of the tiles below it is least.
void divide(std::span<const Point> cloud, std::vector<std::int64_t>& rows, std::size_t begin, std::size_t end,
            TileBox box, std::int64_t count, const double* balance_halo, std::vector<TileBox>& tiles) {
  if (count < 2 || end - begin < 2) {
    tiles.push_back(box);
    return;
  }
  const std::int64_t below = count / 2;
  const double even = static_cast<double>(below) / static_cast<double>(count);
  double share = even;
  if (balance_halo != nullptr) {
    const std::size_t step = std::max<std::size_t>(1, cloud.size() / cost_sample_points);
    std::int64_t least = std::numeric_limits<std::int64_t>::max();
    for (int shift = -4; shift <= 4; ++shift) {
      const double tried = even * (1.0 + 0.05 * shift);
      TileBox lower, upper;
      const std::size_t middle = cut_box(cloud, rows, begin, end, tried, box, lower, upper);
      if (middle == end || middle == begin) continue;
      std::vector<TileBox> parts;
      divide(cloud, rows, begin, middle, lower, below, nullptr, parts);
      divide(cloud, rows, middle, end, upper, count - below, nullptr, parts);
      std::int64_t largest = 0;
      for (const TileBox& part : parts) largest = std::max(largest, points_read(cloud, part, *balance_halo, step));
      if (largest < least) {
        least = largest;
        share = tried;
      }
    }
  }
  TileBox lower, upper;
  const std::size_t middle = cut_box(cloud, rows, begin, end, share, box, lower, upper);
  if (middle == end) {
    tiles.push_back(box);  // every point coincides
    return;
  }
  divide(cloud, rows, begin, middle, lower, below, balance_halo, tiles);
  divide(cloud, rows, middle, end, upper, count - below, balance_halo, tiles);
}

// Whether every tile of `tiles` reads at most `max_read_points` with the halo.
bool reads_within(std::span<const Point> cloud, std::span<const TileBox> tiles, double halo,
                  std::int64_t max_read_points) {
  return std::all_of(tiles.begin(), tiles.end(),
                     [&](const TileBox& box) { return points_read(cloud, box, halo) <= max_read_points; });
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

}  // namespace

TilingCost tiling_cost(const TilePlan& plan, std::span<const Point> cloud, std::int64_t cloud_stride, float sigma,
                       float density, const TileOptions& tiling) {
  // Counted on an even sample of the cloud: the share of points near a box is what matters.
  const auto step = std::max<std::size_t>(1, cloud.size() / cost_sample_points);
  const std::int64_t stride = cloud_stride * static_cast<std::int64_t>(step);
  std::vector<Point> sample;
  for (std::size_t i = 0; i < cloud.size(); i += step) sample.push_back(cloud[i]);
  TilingCost cost;
  cost.tiles = static_cast<std::int64_t>(plan.tiles.size());
  cost.factor = filtering_factor(plan, sample);
  if (plan.overfull_read > 0) {
    // The least memory whose tiles read within it, planned as this plan was, from the
    // memory this plan's fullest tile needs up.
    std::int64_t bytes = chunk_working_bytes + plan.overfull_read * cloud_stride * tile_bytes_per_point;
    for (int tried = 0; tried < max_fitting_plans_tried; ++tried) {
      const std::int64_t read = std::max<std::int64_t>(1, tile_points_for_memory(bytes) / cloud_stride);
      const std::int64_t overfull = plan_tiles(cloud, sigma, density, read, read).overfull_read;
      if (overfull == 0) break;
      bytes = std::max(bytes + mebibyte, chunk_working_bytes + overfull * cloud_stride * tile_bytes_per_point);
    }
    // Planned on a sample, whose size follows the memory, a plan's fullest tile is known to
    // a few per cent.
    if (cloud_stride > 1) bytes += bytes / 16;
    // To the MiB above, and one more for what the process holds beside the tiles to vary.
    cost.memory_needed = whole_mib_up(bytes) + mebibyte;
  }
  if (cost.factor > cheap_factor)
    cost.memory_for_cheap = memory_for_factor(sample, stride, sigma, density, cheap_factor,
                                              tiling.tile_points > 0 ? 0 : tiling.memory_bytes);
  return cost;
}

void announce_plan(const TilePlan& plan, std::span<const Point> cloud, std::int64_t cloud_stride, float sigma,
                   float density, const TileOptions& tiling) {
  if (!tiling.planned && plan.overfull_read == 0) return;
  const TilingCost cost = tiling_cost(plan, cloud, cloud_stride, sigma, density, tiling);
  if (tiling.planned) tiling.planned(cost);
  if (cost.memory_needed == 0) return;
  const auto mib = [](std::int64_t bytes) { return std::to_string(whole_mib_up(bytes) / mebibyte); };
  std::string message = "a working memory of " + mib(tiling.memory_bytes > 0 ? tiling.memory_bytes : default_memory_bytes) +
                        " MiB for the tile at work is too small for this cloud's halos: a tile reads about " +
                        std::to_string(plan.overfull_read * cloud_stride) + " points with its halo however it is cut; give it at least " +
                        mib(cost.memory_needed) + " MiB";
  if (cost.memory_for_cheap > cost.memory_needed)
    message += " (" + mib(cost.memory_for_cheap) + " MiB for each pass to filter every point at most 1.5 times)";
  throw Error("Vandrel:memoryLimit", message);
}

std::int64_t tile_points_for_memory(std::int64_t memory_bytes) {
  const std::int64_t budget = memory_bytes > 0 ? memory_bytes : default_memory_bytes;
  return std::max<std::int64_t>(1, (budget - chunk_working_bytes) / tile_bytes_per_point);
}

std::int64_t smallest_tile_points(const TilePlan& plan) {
  return static_cast<std::int64_t>(std::ceil(tile_halo(plan, initial_reach(plan), 1) * plan.scale));
}

bool within_one_halo(const TilePlan& plan, const Point& lo, const Point& hi) {
  const double halo = tile_halo(plan, initial_reach(plan), 1);
  for (std::size_t c = 0; c < 3; ++c) {
    if (!(static_cast<double>(hi[c]) - static_cast<double>(lo[c]) < halo)) return false;
  }
  return true;
}

TilePlan plan_tiles(std::span<const Point> cloud, float sigma, float density, std::int64_t tile_points,
                    std::int64_t max_read_points, const ParameterNames& names) {
  const FilterSizes sizes = filter_sizes(sigma, density, names);
  if (tile_points < 1) {
    throw Error("Vandrel:invalidTileSize", "A tile must own at least 1 point, but tile_points is " +
                                               std::to_string(tile_points) + ".");
  }
  TilePlan plan;
  plan.scale = sizes.scale;
  plan.search_radius = sizes.search_radius;
  plan.max_half_width = sizes.max_half_width;
  tile_points = std::max(tile_points, smallest_tile_points(plan));
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
  plan.read_limit = max_read_points;

  // Tiles that read more than allowed with their halo are cut again, while they own at least
  // a min_owned_share of what they read.
  const double halo = tile_halo(plan, initial_reach(plan), 1);
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
    std::vector<TileBox> halves;
    if (read_count > max_read_points && own_count * min_owned_share >= read_count && own_count >= 2)
      bisect(cloud, own, 0, own.size(), box, (own_count + 1) / 2, halves);
    if (halves.size() < 2) {
      plan.tiles.push_back(box);
      if (read_count > max_read_points) plan.overfull_read = std::max(plan.overfull_read, read_count);
      continue;
    }
    pending.insert(pending.end(), halves.begin(), halves.end());
  }

  // Halving twice is often more than the reads need: fewer tiles (three, five...), with cuts
  // placed so that their reads are about equal, may each read within the limit, and filter
  // fewer points twice.
  const auto finite_count = static_cast<std::int64_t>(rows.size());
  const std::int64_t fewest = std::max<std::int64_t>(2, (finite_count + max_read_points - 1) / max_read_points);
  if (fewest > max_balanced_tiles) return plan;
  const auto most = std::min<std::int64_t>({static_cast<std::int64_t>(plan.tiles.size()) - 1, fewest + max_fewer_tiles_tried - 1,
                                            finite_count / smallest_tile_points(plan) + 1});
  for (std::int64_t count = fewest; count <= most; ++count) {
    std::vector<TileBox> even;
    divide(cloud, rows, 0, rows.size(), everything, count, &halo, even);
    if (!reads_within(cloud, even, halo, max_read_points)) continue;
    TilePlan fewer = plan;
    fewer.tiles = std::move(even);
    if (filtering_factor(fewer, cloud) < filtering_factor(plan, cloud)) {
      plan = std::move(fewer);
      plan.overfull_read = 0;
    }
    break;
  }
  return plan;
}

void report_progress(const DenoiseOptions& options, std::string_view stage, std::int64_t done, std::int64_t total) {
  if (options.progress && !options.progress({stage, done, total})) throw Error("Vandrel:cancelled", "The run was cancelled.");
}

TileReach initial_reach(const TilePlan& plan, std::int32_t pass, float move, float found) {
  // A reach of 50 neighbours beyond the search radius is rare, and one within it costs no
  // wider halo; the frames check the reach as the tile runs, and a tile whose frames
  // reached further runs again, so the reach assumed is the widest that keeps the halo at 2 R.
  constexpr float typical_reach = 8.0f;
  const float radius = plan.search_radius;
  if (pass == 1) return {radius, std::max(0.0f, (radius - typical_reach) / 2.0f)};
  return {std::max({typical_reach, radius - 2.0f * move, 1.25f * found}), move};
}

double tile_halo(const TilePlan& plan, const TileReach& reach, std::int32_t pass) {
  const double radius = plan.search_radius;
  const double frames = pass == 1 ? reach.neighbours : static_cast<double>(reach.neighbours) + 2.0 * reach.move;
  // A margin for the rounding of scaled coordinates.
  return (radius + std::max(radius, frames)) * 1.01 / plan.scale;
}

std::vector<std::int64_t> tile_rows(std::span<const Point> cloud, const TileBox& box, double halo,
                                    std::vector<std::uint8_t>* owned) {
  std::vector<std::int64_t> rows;
  if (owned != nullptr) owned->clear();
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    const Point& p = cloud[i];
    if (!finite(p) || !within_halo(p, box, halo)) continue;
    rows.push_back(static_cast<std::int64_t>(i));
    if (owned != nullptr) owned->push_back(static_cast<std::uint8_t>(box.holds(p)));
  }
  rows.shrink_to_fit();  // a tile's rows are held while it runs
  return rows;
}

TileResult filter_tile(std::int32_t pass, std::span<const Point> points, const TileFirstPass& first, const TileBox& box,
                       const TilePlan& plan, float sigma, float density, const TileReach& reach,
                       const DenoiseOptions& options, bool keep_scaled, std::span<const std::uint8_t> frames_known) {
  TileResult result;
  // The estimates the owned points' sums take: those of the points within R of the box
  // (with a margin far above the rounding of the scaled coordinates).
  const double estimated_depth = static_cast<double>(plan.search_radius) * 1.001;
  std::vector<std::uint8_t> estimated(points.size());
  std::vector<std::uint8_t> owned(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    Point scaled;
    for (std::size_t c = 0; c < 3; ++c) scaled[c] = points[i][c] * plan.scale;
    estimated[i] = static_cast<std::uint8_t>(depth_outside(box, plan.scale, scaled) <= estimated_depth);
    owned[i] = static_cast<std::uint8_t>(box.holds(points[i]));
    result.estimated += estimated[i];
  }
  FilterSettings settings{options.chunk_points, true, options.names, {}};
  settings.estimated = estimated;
  settings.wanted = owned;
  settings.frames_known = frames_known;
  // The 50 nearest neighbours an estimated point finds in the tile (in the pass's
  // positions) are its nearest in the whole cloud when they lie within the reach.
  double farthest = 0.0;
  settings.farthest_neighbour = &farthest;
  // A pass stops as soon as a frame reaches beyond the halo: the tile is read again anyway.
  if (std::isfinite(reach.neighbours)) settings.frames_within = reach.neighbours;
  NativeHost host(native_host_options(options));
  try {
    if (pass == 1) {
      FirstPass passed = filter_first_pass(host, points, sigma, density, settings);
      result.moves.resize(points.size());
      for (std::size_t i = 0; i < points.size(); ++i) {
        if (owned[i] == 0) continue;
        result.moves[i] = first_pass_move(points[i], passed.positions[i], plan.scale);
        result.largest_move = std::max(result.largest_move, result.moves[i]);
      }
      result.points = std::move(passed.positions);
      result.noise = std::move(passed.noise);
    } else {
      FilterOutputs kept;
      if (keep_scaled) {
        kept.positions = true;
        kept.reset(points.size());
        settings.outputs = &kept;
      }
      result.points = filter_second_pass(host, points, first.positions, first.noise, sigma, density, settings);
      result.scaled = std::move(kept.position);
    }
  } catch (const FramesBeyondReach& stopped) {
    farthest = stopped.farthest;
    // Only what was estimated before the stop counts towards the work done.
    result.estimated = stopped.estimated;
  }
  if (std::isfinite(reach.neighbours) && farthest > reach.neighbours) {
    // Filtered with frames the tile could not vouch for: read again with the reach found.
    return {false, {static_cast<float>(farthest * 1.25), reach.move}, {}, {}, 0.0f, {}, 0.0f, result.estimated, {}};
  }
  result.neighbours_found = static_cast<float>(farthest);
  result.complete = true;
  return result;
}

std::int64_t memory_for_factor(std::span<const Point> sample, std::int64_t stride, float sigma, float density,
                               double target, std::int64_t from_bytes) {
  const auto factor_at = [&](std::int64_t bytes) {
    const std::int64_t read = std::max<std::int64_t>(1, tile_points_for_memory(bytes) / stride);
    return filtering_factor(plan_tiles(sample, sigma, density, read, read), sample);
  };
  // From tiles of a 64th of the cloud (planning many tiles far smaller than their halos
  // costs a scan of the sample per tile): halved while the factor holds, or doubled until it
  // does (a budget that holds the whole sample as one tile gives 1); then bisected to the
  // nearest MiB.
  const std::int64_t least = std::max<std::int64_t>(from_bytes, chunk_working_bytes + tile_bytes_per_point);
  const auto cloud_points = static_cast<std::int64_t>(sample.size()) * stride;
  std::int64_t low = std::max(least, chunk_working_bytes + tile_bytes_per_point * std::max<std::int64_t>(1, cloud_points / 64));
  std::int64_t high = low;
  if (factor_at(low) <= target) {
    while (high > least) {
      low = std::max(least, chunk_working_bytes + (high - chunk_working_bytes) / 2);
      if (factor_at(low) > target) break;
      high = low;
    }
    if (low == high) return high;  // holds down to the least
  } else {
    do {
      low = high;
      high *= 2;
    } while (factor_at(high) > target);
  }
  while (high - low > (std::int64_t{1} << 20)) {
    const std::int64_t middle = low + (high - low) / 2;
    if (factor_at(middle) > target) {
      low = middle;
    } else {
      high = middle;
    }
  }
  return whole_mib_up(high);
}

double filtering_factor(const TilePlan& plan, std::span<const Point> sample) {
  if (plan.tiles.size() <= 1) return 1.0;
  std::int64_t finite_points = 0;
  std::int64_t estimated = 0;
  const double depth = static_cast<double>(plan.search_radius) * 1.001;
  for (const Point& p : sample) {
    if (!finite(p)) continue;
    ++finite_points;
    Point scaled;
    for (std::size_t c = 0; c < 3; ++c) scaled[c] = p[c] * plan.scale;
    for (const TileBox& box : plan.tiles) estimated += depth_outside(box, plan.scale, scaled) <= depth;
  }
  return finite_points == 0 ? 1.0 : static_cast<double>(estimated) / static_cast<double>(finite_points);
}

namespace {

// Options that report a tile's stages as "tile k/T: " + stage; `stage` holds the text.
DenoiseOptions tile_options(const DenoiseOptions& options, std::size_t tile, std::size_t tiles, std::string& stage) {
  DenoiseOptions reported = options;
  if (options.progress) {
    const std::string prefix = "tile " + std::to_string(tile + 1) + "/" + std::to_string(tiles) + ": ";
    reported.progress = [&options, &stage, prefix](const Progress& p) {
      stage = prefix + std::string(p.stage);
      return options.progress({stage, p.done, p.total});
    };
  }
  return reported;
}

// Finds the far movers' neighbours over every tile's own points, as the first pass left them.
void search_far_movers(const TilePlan& plan, const DenoiseOptions& options, const TileReader& read,
                       const FirstPassStore& store, FarMovers& far) {
  std::vector<std::int64_t> rows;
  std::vector<Point> points;
  std::vector<Point> first_positions;
  std::vector<float> first_noise;
  const auto tiles = static_cast<std::int64_t>(plan.tiles.size());
  for (std::size_t t = 0; t < plan.tiles.size(); ++t) {
    report_progress(options, "far movers' neighbours", static_cast<std::int64_t>(t), tiles);
    read(t, plan.tiles[t], 0.0, false, rows, points);
    std::size_t kept = 0;
    for (std::size_t k = 0; k < rows.size(); ++k) {
      if (!plan.tiles[t].holds(points[k])) continue;
      rows[kept] = rows[k];
      points[kept++] = points[k];
    }
    rows.resize(kept);
    points.resize(kept);
    store.fetch(rows, first_positions, first_noise);
    far.search(rows, points, first_positions);
  }
}

}  // namespace

TilingRun run_tiles(const TilePlan& plan, std::int64_t finite_rows, float sigma, float density,
                    const DenoiseOptions& options, const TileReader& read, const FirstPassStore& store,
                    const TileWriter& write, const TileWriter& write_scaled) {
  TilingRun run;
  run.tiles = static_cast<std::int64_t>(plan.tiles.size());
  std::vector<std::int64_t> rows;
  std::vector<Point> points;
  std::vector<std::uint8_t> owned;
  std::vector<Point> first_positions;
  std::vector<float> first_noise;
  std::string stage;
  float neighbours_found = 0.0f;
  // Points the first pass moves further than a halo of 2 R allows for are read apart.
  FarMovers far(initial_reach(plan).move, far_movers_kept);
  FarMovers::Extra extra;
  std::vector<std::uint8_t> frames_known;
  // Without a writer, the first pass alone.
  const std::int32_t passes = write ? 2 : 1;
  for (std::int32_t pass = 1; pass <= passes; ++pass) {
    if (pass == 2 && far.any()) {
      search_far_movers(plan, options, read, store, far);
      extra = far.extra();
    }
    if (pass == 2) run.halo_move = far.rest();
    for (std::size_t t = 0; t < plan.tiles.size(); ++t) {
      const DenoiseOptions reported = tile_options(options, t, plan.tiles.size(), stage);
      // The tile, or the parts it was cut into for this pass, each with its halo.
      std::vector<std::pair<TileBox, TileHalo>> parts{
          {plan.tiles[t], TileHalo(plan, finite_rows, pass, run.halo_move, neighbours_found)}};
      while (!parts.empty()) {
        const TileBox box = parts.back().first;
        TileHalo halo = parts.back().second;
        const bool cut = !(box.lo == plan.tiles[t].lo && box.hi == plan.tiles[t].hi);
        parts.pop_back();
        read(t, box, halo.halo(), cut, rows, points);
        bool widened = cut;
        for (;;) {
          if (pass == 2) add_extra(extra, rows, points, frames_known);
          owned.resize(points.size());
          for (std::size_t k = 0; k < points.size(); ++k) owned[k] = static_cast<std::uint8_t>(box.holds(points[k]));
          const auto own_count = std::count(owned.begin(), owned.end(), std::uint8_t{1});
          if (own_count == 0) break;
          const auto read_count = static_cast<std::int64_t>(rows.size());
          if (widened && plan.read_limit > 0 && read_count > plan.read_limit && own_count * min_owned_share_widened >= read_count) {
            // Too much to hold with the wider halo: the halves, each read with it.
            std::vector<std::int64_t> own;
            for (std::size_t k = 0; k < points.size(); ++k)
              if (owned[k] != 0) own.push_back(static_cast<std::int64_t>(k));
            TileBox lower, upper;
            if (cut_box(points, own, 0, own.size(), 0.5, box, lower, upper) != own.size()) {
              parts.emplace_back(upper, halo);
              parts.emplace_back(lower, halo);
              ++run.tiles_cut;
              break;
            }
          }
          if (plan.read_limit > 0 && read_count > plan.read_limit) {
            run.largest_overfull_read = std::max(run.largest_overfull_read, read_count);
            ++run.overfull_reads;
          }
          if (pass == 2) store.fetch(rows, first_positions, first_noise);
          const TileResult filtered = filter_tile(pass, points, {first_positions, first_noise}, box, plan, sigma, density,
                                                  halo.reach(read_count), reported, static_cast<bool>(write_scaled),
                                                  frames_known);
          run.points_read += read_count;
          run.points_estimated += filtered.estimated;
          if (filtered.complete) {
            if (pass == 1) {
              store.keep(rows, owned, filtered.points, filtered.noise);
              for (std::size_t k = 0; k < rows.size(); ++k)
                if (owned[k] != 0) far.offer(rows[k], filtered.moves[k], points[k], filtered.points[k]);
              neighbours_found = std::max(neighbours_found, filtered.neighbours_found);
              run.largest_move = std::max(run.largest_move, filtered.largest_move);
            } else {
              write(rows, owned, filtered.points);
              if (write_scaled) write_scaled(rows, owned, filtered.scaled);
            }
            break;
          }
          halo.widen(filtered.needed);
          ++run.tiles_read_again;
          widened = true;
          read(t, box, halo.halo(), true, rows, points);
        }
      }
    }
  }
  return run;
}

namespace {

// The whole filter over the cloud in one block, with the outputs asked for.
std::vector<Point> filter_whole(std::span<const Point> points, float sigma, float density,
                                const DenoiseOptions& options, FilterOutputs* outputs) {
  if (outputs == nullptr) return filter_natively(points, sigma, density, options);
  NativeHost host(native_host_options(options));
  FilterSettings settings{options.chunk_points, options.allow_large_neighbourhoods, options.names, {}};
  settings.outputs = outputs;
  return filter_cloud(host, points, sigma, density, settings);
}

std::vector<Point> filter_tiled(std::span<const Point> points, float sigma, float density,
                                const DenoiseOptions& options, const TileOptions& tiling, FilterOutputs* outputs) {
  // As denoise: copies of one point come back as given, before any planning.
  if (one_place(points)) {
    check_thread_count(options.threads);
    check_parameters(sigma, density, options.names);
    if (outputs != nullptr) outputs->reset(points.size());
    return {points.begin(), points.end()};
  }
  if (tiling.tile_points == 0 && tiling.block_memory_bytes > 0 &&
      fits_one_block(static_cast<std::int64_t>(points.size()), tiling.block_memory_bytes))
    return filter_whole(points, sigma, density, options, outputs);
  const TilePlan plan =
      tiling.tile_points > 0 ? plan_tiles(points, sigma, density, tiling.tile_points, 0, options.names)
                             : plan_tiles(points, sigma, density, tile_points_for_memory(tiling.memory_bytes),
                                          tile_points_for_memory(tiling.memory_bytes), options.names);
  // A cloud narrower than the halo along every axis: each tile would read all of it.
  const auto bounds = finite_bounds(points);
  if (plan.tiles.size() == 1 || (bounds && within_one_halo(plan, (*bounds)[0], (*bounds)[1])))
    return filter_whole(points, sigma, density, options, outputs);
  if (!options.allow_large_neighbourhoods) check_neighbourhood_size(points, plan.scale, threads_for(options));
  announce_plan(plan, points, 1, sigma, density, tiling);

  const auto finite_rows = std::count_if(points.begin(), points.end(), [](const Point& p) { return finite(p); });
  // Rows no tile owns (non-finite ones) come back as given.
  std::vector<Point> result(points.begin(), points.end());
  const auto read = [&](std::size_t, const TileBox& box, double halo, bool, std::vector<std::int64_t>& rows,
                        std::vector<Point>& tile_points) {
    rows = tile_rows(points, box, halo);
    tile_points.resize(rows.size());
    for (std::size_t k = 0; k < rows.size(); ++k) tile_points[k] = points[static_cast<std::size_t>(rows[k])];
  };
  const auto write = [&](std::span<const std::int64_t> rows, std::span<const std::uint8_t> owned, std::span<const Point> filtered) {
    for (std::size_t k = 0; k < rows.size(); ++k) {
      if (owned[k] != 0) result[static_cast<std::size_t>(rows[k])] = filtered[k];
    }
  };
  // What the first pass leaves, per row of the cloud.
  std::vector<Point> first_positions(points.size());
  std::vector<float> first_noise(points.size());
  const FirstPassStore store{
      [&](std::span<const std::int64_t> rows, std::span<const std::uint8_t> owned, std::span<const Point> positions,
          std::span<const float> noise) {
        for (std::size_t k = 0; k < rows.size(); ++k) {
          if (owned[k] == 0) continue;
          first_positions[static_cast<std::size_t>(rows[k])] = positions[k];
          first_noise[static_cast<std::size_t>(rows[k])] = noise[k];
        }
      },
      [&](std::span<const std::int64_t> rows, std::vector<Point>& positions, std::vector<float>& noise) {
        positions.resize(rows.size());
        noise.resize(rows.size());
        for (std::size_t k = 0; k < rows.size(); ++k) {
          positions[k] = first_positions[static_cast<std::size_t>(rows[k])];
          noise[k] = first_noise[static_cast<std::size_t>(rows[k])];
        }
      }};
  if (outputs == nullptr) {
    run_tiles(plan, finite_rows, sigma, density, options, read, store, write);
    return result;
  }
  if (outputs->first_pass_only) {
    run_tiles(plan, finite_rows, sigma, density, options, read, store, {});
    first_noise = {};
    outputs->reset(points.size());
    tile_outlier_measures(points, first_positions, plan, sigma, density, options, *outputs);
    return result;
  }
  // The normals are fitted to the filtered positions as the filter leaves them, scaled.
  std::vector<Point> scaled(outputs->normals ? points.size() : 0);
  TileWriter write_scaled;
  if (outputs->normals) {
    write_scaled = [&](std::span<const std::int64_t> rows, std::span<const std::uint8_t> owned,
                       std::span<const Point> filtered) {
      for (std::size_t k = 0; k < rows.size(); ++k)
        if (owned[k] != 0) scaled[static_cast<std::size_t>(rows[k])] = filtered[k];
    };
  }
  run_tiles(plan, finite_rows, sigma, density, options, read, store, write, write_scaled);
  outputs->reset(points.size());
  first_positions = {};
  if (outputs->noise) {
    // The level the first pass leaves a point, in the cloud's units, as a whole run records it.
    for (std::size_t i = 0; i < points.size(); ++i)
      if (finite(points[i])) outputs->noise_level[i] = first_noise[i] / plan.scale;
  }
  first_noise = {};
  if (outputs->normals)
    tile_normals(points, scaled, plan, outputs->orientation, options, outputs->normal, outputs->curvature);
  return result;
}

}  // namespace

std::vector<Point> denoise_tiled(std::span<const Point> points, float sigma, float density,
                                 const DenoiseOptions& options, const TileOptions& tiling) {
  if (!options.selection.empty()) {
    const DenoiseOptions all = without_selection(options);
    return filter_selected(points, options.selection, [&](std::span<const Point> chosen) {
      return denoise_tiled(chosen, sigma, density, all, tiling);
    });
  }
  return filter_tiled(points, sigma, density, options, tiling, nullptr);
}

std::vector<Point> denoise_tiled_outputs(std::span<const Point> points, float sigma, float density,
                                         FilterOutputs& outputs, const DenoiseOptions& options,
                                         const TileOptions& tiling) {
  if (!options.selection.empty())
    throw Error("Vandrel:invalidArgument", "denoise_tiled_outputs takes the selected rows, not a selection");
  if (outputs.outlier_measures != outputs.first_pass_only ||
      (outputs.first_pass_only && (outputs.normals || outputs.noise)))
    throw Error("Vandrel:invalidArgument", "outliers are measured tile by tile by a first pass alone, without other outputs");
  return filter_tiled(points, sigma, density, options, tiling, &outputs);
}

}  // namespace vandrel
