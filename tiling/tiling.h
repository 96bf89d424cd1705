#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "vandrel/options.h"
#include "vandrel/point.h"

namespace vandrel {

struct FilterOutputs;

/// Filtering a cloud tile by tile, with the same bits as one run over the whole cloud.
///
/// A point's result depends only on points within a bounded distance of it: a pass
/// estimates a point from its 50 nearest neighbours (its frame) and the points within the
/// search radius R = sqrt(3) r0 (r0 = max(5 sigma sqrt(density), 11.999999) in units
/// scaled by sqrt(density)); each estimate adds to the sums of its support points; each
/// point is solved from its own sums. The noise offset of the first pass is sigma
/// sqrt(density) for every point, and the second pass's noise update is never used.
///
/// The tiles run pass by pass: every tile runs the first pass and keeps the positions and
/// noise levels it gives its own points; then every tile runs the second pass on those.
/// In each pass a tile estimates only the points within R of its box (the estimates its
/// own points' sums take), and keeps sums for its own points only. So a pass of a tile
/// reads, in the first pass's positions:
///   pass 1: R (the estimates), then max(R, K) (their frames and radius lists);
///   pass 2: R, then max(R, K + 2 m) (their frames, found on the moved positions, and
///           radius lists),
/// where K is the largest distance to a 50th nearest neighbour (in that pass's positions)
/// and m the largest move of a point in the first pass, over the whole cloud (known when
/// the second pass starts), save a few points thrown further than a halo of 2 R allows
/// for: those are read by every second-pass tile with their 50 nearest neighbours (see
/// FarMovers), and m is the largest move of the others. A tile's points are kept in input order (the filter's cell
/// order then keeps them in the whole cloud's relative order, so every sum is made in the
/// same order); its owned points come out bit for bit as in the whole run. K is assumed,
/// then measured in each tile, and the tile read again with a wider halo when it exceeds
/// what was assumed. Each pass filters about (box + R) of each tile: the cost of a tiled
/// run over one run is that share summed over the tiles (see filtering_factor).
///
/// Exactness holds while the whole cloud spans fewer than 2^20 of the filter's cells (6
/// scaled units, about 6 point spacings) along every axis, about 6 x 10^6 point spacings:
/// beyond that the filter widens its cells
/// for the whole cloud, and a tile, which spans less, orders its points by finer cells
/// (results then differ from an untiled run in summation order only).

/// An axis-aligned box of the cloud's coordinates: a point is in it when lo <= p < hi on
/// every axis (single-precision comparisons; outer tiles reach to infinity).
struct TileBox {
  Point lo;
  Point hi;
  bool holds(const Point& p) const {
    return lo[0] <= p[0] && p[0] < hi[0] && lo[1] <= p[1] && p[1] < hi[1] && lo[2] <= p[2] && p[2] < hi[2];
  }
};

/// Whether a point lies within `halo` (maximum norm, the cloud's units) of a box: what a
/// tile reads.
inline bool within_halo(const Point& p, const TileBox& box, double halo) {
  for (std::size_t c = 0; c < 3; ++c) {
    if (!(static_cast<double>(p[c]) >= box.lo[c] - halo && static_cast<double>(p[c]) <= box.hi[c] + halo)) return false;
  }
  return true;
}

struct TilingCost;

struct TileOptions {
  /// Points a tile owns, at most (a tile also reads its halo); 0 chooses from `memory_bytes`.
  std::int64_t tile_points = 0;
  /// Working memory for the tile at work, in bytes (see tile_bytes_per_point); used when
  /// tile_points is 0; 0 means 1 GiB.
  std::int64_t memory_bytes = 0;
  /// Memory that filtering the whole cloud as one block may use, in bytes (see
  /// block_bytes_per_point); a cloud that fits it is filtered as one block, which filters
  /// each point once. 0: always tiled by memory_bytes. Not used with tile_points.
  std::int64_t block_memory_bytes = 0;
  /// Told, before a run of more than one tile starts, what the plan will cost.
  std::function<void(const TilingCost&)> planned;
};

/// What a tiled run will cost, known once its tiles are planned.
struct TilingCost {
  std::int64_t tiles = 0;
  /// How many times each pass filters a point on average, halos included (see filtering_factor).
  double factor = 1.0;
  /// When factor is above cheap_factor: the least working memory (as TileOptions::memory_bytes)
  /// whose tiles bring it to cheap_factor or below; else 0.
  std::int64_t memory_for_cheap = 0;
  /// When some tile's halo alone reads more points than the working memory holds (see
  /// TilePlan::overfull_read): the working memory that tile needs, and the run is refused
  /// once `planned` has been told; else 0.
  std::int64_t memory_needed = 0;
};

/// The filtering factor above which a plan is said to cost too much.
inline constexpr double cheap_factor = 1.5;

/// The least working memory for the tile at work (as TileOptions::memory_bytes, from
/// `from_bytes` up, to the nearest MiB) whose tiles, planned on `sample` (every stride-th
/// point of the cloud) as a memory budget plans them, filter each point at most
/// `target` times a pass.
std::int64_t memory_for_factor(std::span<const Point> sample, std::int64_t stride, float sigma, float density,
                               double target, std::int64_t from_bytes);

/// How a cloud is cut: boxes that partition space, each owning the finite points it holds.
struct TilePlan {
  float scale = 1.0f;            // sqrt(density)
  float search_radius = 0.0f;    // R, in scaled units
  float max_half_width = 0.0f;   // r0, in scaled units
  std::vector<TileBox> tiles;
  /// Points a tile may read (0: no limit): a tile whose halo must widen beyond it is cut
  /// for that pass (see run_tiles).
  std::int64_t read_limit = 0;
  /// The most points a tile reads with the first pass's halo when that is more than
  /// read_limit: the halo alone holds about as much, and the limit cannot be kept. 0 when
  /// every tile reads within the limit.
  std::int64_t overfull_read = 0;
};

/// What the filter holds whatever the size of the cloud it filters, once that has a few
/// thousand points: a chunk's neighbour lists, estimates and scratch (measured with 1000
/// neighbours a point: 33 MiB of peak resident memory at 10000 points, flat beyond).
inline constexpr std::int64_t chunk_working_bytes = std::int64_t{32} << 20;

/// What a tile's run holds for each point it reads, owned or halo, beside chunk_working_bytes
/// (measured on the 1M-point bunny at 1 % noise: the filter 119 bytes at 674303 points read of
/// which 250000 owned, 143 at 783585 of which 500000 owned, the sums of owned points weighing
/// most; the tile loop's rows and points add 21). Raised by 14 % when the pass's threads came to
/// keep their own lists and routed addends: the 10M-point bunny at 0.5 % under a 1 GiB limit then
/// peaked at 1051 MiB with 168 bytes, where its second pass's tiles had peaked 112 MiB lower.
inline constexpr std::int64_t tile_bytes_per_point = 192;

/// What filtering a cloud as one block holds for each point beside chunk_working_bytes: the
/// positions, noise levels and sums of every point, the search grid, and the result
/// (measured on the bunny, 2 threads: 122 to 126 bytes at 1M points and 0.5, 1 and 2 % noise,
/// 134 at 10M points and 0.5 %; 150 at 10M since each point's sums are one 64-byte block).
inline constexpr std::int64_t block_bytes_per_point = 152;

/// Whether filtering `points` points as one block keeps within `memory_bytes`.
inline bool fits_one_block(std::int64_t points, std::int64_t memory_bytes) {
  return memory_bytes > chunk_working_bytes && points <= (memory_bytes - chunk_working_bytes) / block_bytes_per_point;
}

/// Points a tile may read (owned and halo) for a memory budget in bytes (0: 1 GiB): the
/// filter's peak is chunk_working_bytes and tile_bytes_per_point for each.
std::int64_t tile_points_for_memory(std::int64_t memory_bytes);

/// The fewest points a tile is planned to own: the width of its first halo in point
/// spacings (about 85 when 5 sigma sqrt(density) is below 12). A smaller tile would read
/// hundreds of times the points it owns.
std::int64_t smallest_tile_points(const TilePlan& plan);

/// Whether a cloud whose finite points lie in the box [lo, hi] is narrower than the first
/// halo along every axis: every tile of it would read the whole cloud, and runners filter
/// it in one run instead.
bool within_one_halo(const TilePlan& plan, const Point& lo, const Point& hi);

/// Cuts the cloud by recursive bisection at the median of the longest axis until no tile
/// owns more than `tile_points` finite points (a box of coincident points may own more;
/// `tile_points` below smallest_tile_points is raised to it),
/// then, given `max_read_points` > 0, cuts again every tile that reads more points than
/// that with the initial halo, as long as it owns at least a 32nd of them (see
/// TilePlan::overfull_read for the tiles that still read more).
///   cloud  N points, row-major; non-finite rows belong to no tile
/// Throws vandrel::Error "Vandrel:invalidSigma" / "Vandrel:invalidDensity" for parameters
/// the filter refuses (calling them by `names`), "Vandrel:invalidTileSize" for tile_points < 1. Not thread-safe
/// against writes to `cloud`.
TilePlan plan_tiles(std::span<const Point> cloud, float sigma, float density, std::int64_t tile_points,
                    std::int64_t max_read_points = 0, const ParameterNames& names = {});

/// What a halo is sized for, in scaled units: the distance of every point's 50th nearest
/// neighbour, at most, and the move of a point in the first pass, at most.
struct TileReach {
  float neighbours = 0.0f;
  float move = 0.0f;
};

/// The reach assumed before a tile is measured: the widest that keeps the halo of the pass
/// at 2 R (R for the 50th neighbour in pass 1; in pass 2, R less twice the first pass's
/// largest move `move`, but at least twice the typical distance of the 50th neighbour at one
/// point per unit area, and a quarter more than the farthest the first pass `found`). Without a move, the pass-1 reach and the largest move that keeps
/// pass 2 at 2 R: what tiles are planned and binned with.
TileReach initial_reach(const TilePlan& plan, std::int32_t pass = 1, float move = 0.0f, float found = 0.0f);

/// The halo, in the cloud's units (maximum norm), of a tile's pass (1 or 2) with that reach.
double tile_halo(const TilePlan& plan, const TileReach& reach, std::int32_t pass);

/// The rows of `cloud` a tile reads: finite points within `halo` (cloud units, maximum
/// norm) of its box, ascending. `owned` (optional) receives, per row, whether the tile owns it.
std::vector<std::int64_t> tile_rows(std::span<const Point> cloud, const TileBox& box, double halo,
                                    std::vector<std::uint8_t>* owned = nullptr);

/// What the first pass leaves the tile's points (scaled by sqrt(density)): one entry each.
struct TileFirstPass {
  std::span<const Point> positions;
  std::span<const float> noise;
};

/// One pass of one tile.
struct TileResult {
  /// True when the halo held: `points` (and, after pass 1, `noise`) are the tile's points'
  /// results, exact for the points it owns.
  bool complete = false;
  /// When incomplete, the reach to read the tile again with.
  TileReach needed;
  /// Pass 1: positions scaled by sqrt(density) and noise levels, the second pass's input;
  /// pass 2: the filtered points, in the cloud's units.
  std::vector<Point> points;
  std::vector<float> noise;
  /// Pass 1: the largest move of an owned point, and each point's move (0 for those not
  /// owned), scaled.
  float largest_move = 0.0f;
  std::vector<float> moves;
  /// The farthest 50th nearest neighbour of an estimated point, scaled.
  float neighbours_found = 0.0f;
  /// The points the pass estimated.
  std::int64_t estimated = 0;
  /// Pass 2, when asked: the filtered points scaled by sqrt(density), as the filter left
  /// them (what the normals are fitted to).
  std::vector<Point> scaled;
};

/// Runs pass `pass` (1 or 2) over one tile: `points` are the rows tile_rows gave for `box`
/// and the pass's halo of `reach`, in that order; for pass 2, `first` holds what pass 1
/// left them, and `reach.move` is at least the largest move in pass 1 of any point of the
/// cloud, or of those not among the points with `frames_known`. Checks that the 50 nearest neighbours of every point the owned points depend on
/// lay within reach.neighbours, else returns incomplete with a larger reach. A reach with
/// an infinite member (a tile that reads the whole cloud) is not checked. The
/// filter's neighbourhood-size check is disabled: the caller checks the whole cloud once
/// (see check_neighbourhood_size). With `keep_scaled`, pass 2 also gives TileResult::scaled.
/// `frames_known` (empty, or one value per point) marks points whose 50 nearest neighbours
/// the caller put among the points: they are not checked against the reach.
/// Throws what denoise throws.
TileResult filter_tile(std::int32_t pass, std::span<const Point> points, const TileFirstPass& first, const TileBox& box,
                       const TilePlan& plan, float sigma, float density, const TileReach& reach,
                       const DenoiseOptions& options, bool keep_scaled = false,
                       std::span<const std::uint8_t> frames_known = {});

/// The halo loop of one tile's pass, as every runner drives it (run_tiles in one process,
/// the Dask runners from a cluster's tasks): read the tile with halo(), filter it with
/// reach() of the rows read, and, while filter_tile asks for more, widen() to what it asked
/// and read again.
class TileHalo {
 public:
  /// `finite_rows`: the cloud's count of finite rows (a tile that reads them all is not
  /// checked); for pass 2, `move` the largest move of a point in pass 1 and `found` the
  /// farthest 50th neighbour pass 1 found (see initial_reach).
  TileHalo(const TilePlan& plan, std::int64_t finite_rows, std::int32_t pass, float move = 0.0f, float found = 0.0f)
      : sizes_{plan.scale, plan.search_radius, plan.max_half_width, {}},
        finite_rows_(finite_rows),
        pass_(pass),
        reach_(initial_reach(plan, pass, move, found)) {}
  /// The halo to read the tile with now, in the cloud's units.
  double halo() const { return tile_halo(sizes_, reach_, pass_); }
  /// The reach to filter the tile with, read with halo() as `rows_read` rows.
  TileReach reach(std::int64_t rows_read) const {
    if (rows_read == finite_rows_) return {std::numeric_limits<float>::infinity(), reach_.move};
    return reach_;
  }
  /// Takes the reach an incomplete TileResult asked for.
  void widen(const TileReach& needed) { reach_ = needed; }

 private:
  TilePlan sizes_;  // the plan's sizes, without its tiles
  std::int64_t finite_rows_;
  std::int32_t pass_;
  TileReach reach_;
};

/// What `plan` will cost, counted on `cloud` (every cloud_stride-th point of the cloud),
/// and the memory that would cost less when it costs more than cheap_factor.
TilingCost tiling_cost(const TilePlan& plan, std::span<const Point> cloud, std::int64_t cloud_stride, float sigma,
                       float density, const TileOptions& tiling);

/// Tells tiling.planned, if set, what `plan` will cost (tiling_cost), and then refuses a
/// plan whose halos alone read more than the working memory holds: throws vandrel::Error
/// "Vandrel:memoryLimit" naming the memory that would do.
void announce_plan(const TilePlan& plan, std::span<const Point> cloud, std::int64_t cloud_stride, float sigma,
                   float density, const TileOptions& tiling);

/// How many times a tiled run filters each point, on average, in each pass: the points
/// within the search radius of each tile's box, summed over the tiles, over the cloud's
/// finite points, counted on `sample` (the cloud or an even sample of it); 1 for one tile.
double filtering_factor(const TilePlan& plan, std::span<const Point> sample);

/// What a tiled run did: the tiles, the points they read and estimated (halos included,
/// summed over both passes and every time a tile ran) and the tiles read again with a
/// wider halo.
struct TilingRun {
  std::int64_t tiles = 0;
  std::int64_t points_read = 0;
  std::int64_t points_estimated = 0;
  std::int64_t tiles_read_again = 0;
  /// Tiles (or parts) cut in two for a pass, their halo having widened beyond the read limit.
  std::int64_t tiles_cut = 0;
  /// Tiles (or parts) filtered although they read more than the read limit (their halo, too
  /// wide for it, could not be cut down), and the most points one of them read.
  std::int64_t overfull_reads = 0;
  std::int64_t largest_overfull_read = 0;
  /// The largest move of a point in the first pass, and the largest the second pass's halos
  /// allowed for (the points moved further were read apart), scaled by sqrt(density).
  float largest_move = 0.0f;
  float halo_move = 0.0f;
};

/// How a runner reads a tile: the ascending rows of the cloud, and their points, of the
/// finite points within `halo` (cloud units, maximum norm) of `box`, as tile_rows gives
/// them; `box` is tile `tile`'s or, for a tile cut as it runs, a part of it; `again` when
/// the tile is read a second time with a wider halo.
using TileReader = std::function<void(std::size_t tile, const TileBox& box, double halo, bool again,
                                      std::vector<std::int64_t>& rows, std::vector<Point>& points)>;
/// Receives a finished tile: its rows, which of them it owns, and their filtered points.
using TileWriter = std::function<void(std::span<const std::int64_t> rows, std::span<const std::uint8_t> owned,
                                      std::span<const Point> filtered)>;

/// Where a runner keeps what the first pass leaves each point until the second pass:
/// `keep` takes a tile's rows, which it owns, and their positions and noise levels; `fetch`
/// gives them back for ascending rows (each kept once before).
struct FirstPassStore {
  std::function<void(std::span<const std::int64_t> rows, std::span<const std::uint8_t> owned,
                     std::span<const Point> positions, std::span<const float> noise)>
      keep;
  std::function<void(std::span<const std::int64_t> rows, std::vector<Point>& positions, std::vector<float>& noise)> fetch;
};

/// Reports `done` of `total` units of `stage` to options.progress, if any, and throws
/// vandrel::Error "Vandrel:cancelled" when it asks to stop: for the stages of a tiled run
/// outside the filter's own, such as reading and writing the point file.
void report_progress(const DenoiseOptions& options, std::string_view stage, std::int64_t done, std::int64_t total);

/// The tile loop every runner shares: the first pass over each tile of the plan, one after
/// another, then the second. Each tile's pass is read with the initial halo, filtered by
/// filter_tile and read again with the wider halo it asks for until its halo holds (read
/// so, a tile that reads more than plan.read_limit points is cut in two for the pass, as
/// plan_tiles cuts, while it owns at least an eighth of what it reads); the
/// first pass's results of its owned points go to `store`, the second's to `write`.
/// `finite_rows` is the cloud's count of finite rows (a tile that reads them all needs no
/// check). Progress comes as each tile's stages, "tile k/T: " + stage. Given
/// `write_scaled`, it also receives each finished tile's filtered points scaled by
/// sqrt(density) (TileResult::scaled). With an empty `write`, the loop stops after the first
/// pass. Throws what filter_tile throws.
TilingRun run_tiles(const TilePlan& plan, std::int64_t finite_rows, float sigma, float density,
                    const DenoiseOptions& options, const TileReader& read, const FirstPassStore& store,
                    const TileWriter& write, const TileWriter& write_scaled = {});

/// Denoises a cloud tile by tile, one tile at a time with all threads: the result of
/// denoise(points, sigma, density, options), bit for bit (see above), with the working
/// memory of one tile. A cloud that fits one tile, or is within one halo (see
/// within_one_halo), is filtered in one run. With options.selection, the selected rows
/// alone are tiled and filtered, as denoise filters them.
/// Throws what denoise throws, and "Vandrel:invalidTileSize".
std::vector<Point> denoise_tiled(std::span<const Point> points, float sigma, float density,
                                 const DenoiseOptions& options = {}, const TileOptions& tiling = {});

/// denoise_tiled with the outputs `outputs` asks for, each the whole-cloud run's, bit for
/// bit: the noise levels as the first pass leaves them, the normals found tile by tile (see
/// tile_normals); or, with outlier_measures and first_pass_only (and nothing else), the
/// first pass alone and the outlier measures (see tile_outlier_measures; the points then
/// come back as given when tiled). `outputs` is reset to the cloud's rows and filled.
/// options.selection must be empty (select first). Throws what denoise_tiled throws, and
/// "Vandrel:invalidArgument" for a selection or outlier measures with other outputs.
std::vector<Point> denoise_tiled_outputs(std::span<const Point> points, float sigma, float density,
                                         FilterOutputs& outputs, const DenoiseOptions& options = {},
                                         const TileOptions& tiling = {});

}  // namespace vandrel
