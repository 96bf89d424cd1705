#include "core/block_pass.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "vandrel/error.h"
#include "core/fusion.h"
#include "core/local_frame.h"
#include "core/parallel.h"
#include "core/point_estimate.h"
#include "numeric/solve.h"

namespace vandrel {
namespace {

constexpr std::int32_t progress_interval = 5000;
// Without a chunk size given, a chunk holds about this many neighbour rows; where the lists
// are found in place, it routes about as many support rows to their sums.
constexpr std::int64_t rows_per_chunk = 1 << 18;
constexpr std::int64_t rows_per_chunk_in_place = 1 << 20;
// Points are taken by the threads in groups of this many consecutive ones, whose regions
// share one walk over the cells.
constexpr std::int64_t group_points = 8;
constexpr std::int64_t min_chunk_points = 256;
constexpr std::int64_t max_chunk_points = 4096;

constexpr float regularisation_scale = 0.06f;
constexpr float noise_slope = 1.0805545f;
constexpr float noise_offset_factor = -0.09697905f;
constexpr float noise_offset_divisor = 0.4f;
constexpr float noise_factor = 0.5333f;

// Checks a chunk's nearest-neighbour lists (of the block points `rows`): exactly
// `frame_neighbours` rows of the block each.
void check_nearest(const NeighbourLists& lists, std::span<const std::int32_t> rows, std::size_t block_size) {
  for (std::int64_t k = 0; k < lists.size(); ++k) {
    const std::span<const std::int32_t> list = lists[k];
    const bool in_block = std::all_of(list.begin(), list.end(), [&](std::int32_t row) {
      return row >= 0 && static_cast<std::size_t>(row) < block_size;
    });
    if (list.size() != static_cast<std::size_t>(frame_neighbours) || !in_block) {
      throw Error("Vandrel:badNeighbourTable", "The nearest neighbours of block point " + std::to_string(rows[static_cast<std::size_t>(k)] + 1) +
                                                   " are not " + std::to_string(frame_neighbours) +
                                                   " rows of the block.");
    }
  }
}

// The regularised least-squares position of point j: the point closest to all planes it
// took part in, held towards its old position in proportion to (0.06 / noise)^2.
Point solve_position(const Point& point, float noise, const Accumulators& sums, std::size_t j) {
  const float scaled = regularisation_scale / noise;
  const float hold = scaled * scaled;
  // A noise level of 0 (or one so small that the hold overflows) means the point is exact:
  // the regulariser outweighs every plane, and the limit is the point itself.
  if (std::isinf(hold)) return point;
  const Accumulators::Sums& sum = sums.sums[j];
  const float lambda = hold * sum.weight;
  Matrix3 a;
  for (std::size_t c = 0; c < 3; ++c) {
    for (std::size_t r = 0; r < 3; ++r) {
      const float identity = r == c ? 1.0f : 0.0f;
      a[r + 3 * c] = identity * lambda + sum.normal[r + 3 * c];
    }
  }
  std::array<float, 3> h;
  for (std::size_t r = 0; r < 3; ++r) h[r] = point[r] * lambda + sum.target[r];
  const bool nothing_to_solve = std::all_of(a.begin(), a.end(), [](float v) { return v == 0.0f; }) &&
                                std::all_of(h.begin(), h.end(), [](float v) { return v == 0.0f; });
  return nothing_to_solve ? sums.fallback[j] : solve_3x3(a, h);
}

// The noise level of the next pass: from the deviations of the estimates a point took part
// in, through a fixed line whose offset comes from the first point's level.
void update_noise(const Accumulators& sums, std::span<float> noise, std::size_t first_point, bool own_offsets) {
  const float offset = (noise_offset_factor * noise[first_point]) / noise_offset_divisor;
  for (std::size_t j = 0; j < noise.size(); ++j) {
    const std::int32_t e = sums.entry(static_cast<std::int32_t>(j));
    if (e < 0) continue;
    // A point given as exact (its own sigma 0) stays exact in every pass.
    if (own_offsets && noise[j] == 0.0f) continue;
    const auto at = static_cast<std::size_t>(e);
    // A point no estimate used keeps its level before the line.
    const Accumulators::Sums& sum = sums.sums[at];
    const float level = sum.uses == 0.0f ? noise[j] : std::sqrt(sum.variance / sum.uses);
    // With noise that varies by point, an offset from another point's level could drive a
    // quiet point's level below zero; its own keeps the line's proportions.
    const float point_offset = own_offsets ? (noise_offset_factor * noise[j]) / noise_offset_divisor : offset;
    noise[j] = (level * noise_slope + point_offset) * noise_factor;
  }
}

// The runs of consecutive block points to estimate, [first, last) each: the whole block
// unless `estimated` picks points.
std::vector<std::array<std::int64_t, 2>> estimated_runs(std::span<const std::uint8_t> estimated, std::int64_t n) {
  std::vector<std::array<std::int64_t, 2>> runs;
  if (estimated.empty()) {
    if (n > 0) runs.push_back({0, n});
    return runs;
  }
  for (std::int64_t i = 0; i < n;) {
    if (estimated[static_cast<std::size_t>(i)] == 0) {
      ++i;
      continue;
    }
    std::int64_t end = i + 1;
    while (end < n && estimated[static_cast<std::size_t>(end)] != 0) ++end;
    runs.push_back({i, end});
    i = end;
  }
  return runs;
}

double distance(const Point& p, const Point& q) {
  double squared = 0.0;
  for (std::size_t c = 0; c < 3; ++c) squared += (static_cast<double>(p[c]) - q[c]) * (static_cast<double>(p[c]) - q[c]);
  return std::sqrt(squared);
}

void report_points_processed(Host& host, std::int64_t begin, std::int64_t end, std::size_t block_size) {
  for (std::int64_t i = begin; i < end; ++i) {
    const auto point = static_cast<float>(i + 1);
    if (std::fmod(point, static_cast<float>(progress_interval)) != 0.0f) continue;
    host.points_processed((point / static_cast<float>(block_size)) * 100.0f);
  }
}

// What one thread works with, reused for all of its points.
struct ThreadScratch {
  NeighbourLists nearest;
  NeighbourLists radius;
  std::vector<Frame> frames;              // of a group
  std::vector<EstimateRegion> regions;    // of a group
  EstimateScratch estimate;
  PointEstimate point_estimate;
  std::vector<float> squares;
  double farthest = 0.0;                  // the farthest 50th nearest neighbour of its points
  std::int64_t listed = 0;                // radius-list rows of its points in this chunk
};

}  // namespace

std::vector<Point> block_pass(Host& host, std::span<const Point> points, std::span<float> noise,
                              NeighbourSearch& neighbours, const BlockPassSettings& settings) {
  const std::size_t n = points.size();
  const int threads = host.thread_count();
  // The narrowed radius lists come in the cell order of this pass's positions; the nearest
  // neighbours may walk the same cells.
  const CellGrid grid(points, block_cell_side, threads);
  const std::unique_ptr<NeighbourSearch> nearest = host.nearest_neighbours(points, frame_neighbours, &grid);
  host.stage_done("nearest neighbours");
  // Where both searches answer on any thread, each thread searches, estimates and fuses the
  // groups of points it takes, and the lists stay in its cache; else the lists of a chunk
  // are found first, on the calling thread.
  const bool searched_in_place = nearest->answers_concurrently() && neighbours.answers_concurrently();

  const PassInputs in{points, noise, settings.threshold, settings.max_half_width};
  Accumulators sums = settings.kept.empty() ? Accumulators(n) : Accumulators(settings.kept);
  std::vector<ThreadScratch> scratch(static_cast<std::size_t>(threads));
  NeighbourLists radius_lists;
  std::vector<Frame> frames;
  std::vector<EstimateRegion> regions;
  NeighbourLists nearest_lists;
  Fusion fusion;
  std::int64_t chunk = settings.chunk_points > 0 ? settings.chunk_points : min_chunk_points;
  // A chunk is up to `chunk` points to estimate, taken from runs of consecutive points.
  const std::vector<std::array<std::int64_t, 2>> runs = estimated_runs(settings.estimated, static_cast<std::int64_t>(n));
  std::int64_t to_estimate = 0;
  for (const auto& run : runs) to_estimate += run[1] - run[0];
  std::vector<std::array<std::int64_t, 2>> pieces;  // the chunk's parts of runs
  std::vector<std::int32_t> chunk_rows;             // its points
  std::size_t next_run = 0;
  std::int64_t run_at = runs.empty() ? 0 : runs[0][0];
  std::int64_t estimated = 0;

  // Point k of the chunk: its frame and estimate region from its nearest neighbours.
  const auto frame_point = [&](ThreadScratch& s, std::int64_t k, std::span<const std::int32_t> nearest_rows, Frame& frame,
                               EstimateRegion& region) {
    std::array<Point, frame_neighbours> neighbourhood;
    for (std::size_t r = 0; r < neighbourhood.size(); ++r) neighbourhood[r] = points[static_cast<std::size_t>(nearest_rows[r])];
    const std::int32_t row = chunk_rows[static_cast<std::size_t>(k)];
    frame = local_frame(neighbourhood);
    region = estimate_region(in, row, frame);
    const bool vouched = !settings.frames_known.empty() && settings.frames_known[static_cast<std::size_t>(row)] != 0;
    if (settings.farthest_neighbour != nullptr && !vouched) {
      s.farthest = std::max(s.farthest, distance(neighbourhood.back(), points[static_cast<std::size_t>(row)]));
    }
  };
  // Point k of the chunk, in group g: its estimates, fused.
  const auto estimate_point_of = [&](ThreadScratch& s, std::int64_t g, std::int64_t k, const Frame& frame,
                                     const NeighbourLists& lists, std::int64_t list) {
    const std::int32_t row = chunk_rows[static_cast<std::size_t>(k)];
    estimate_point(in, row, frame, lists[list], s.estimate, s.point_estimate, lists.locals_of(list), lists.boxes_of(list));
    fusion.make(static_cast<std::size_t>(g), static_cast<std::size_t>(k), row, s.point_estimate, points, noise, s.squares, sums);
  };

  host.progress(settings.stage, 0, to_estimate);
  while (next_run < runs.size()) {
    pieces.clear();
    chunk_rows.clear();
    while (next_run < runs.size() && static_cast<std::int64_t>(chunk_rows.size()) < chunk) {
      const std::int64_t end = std::min(runs[next_run][1], run_at + chunk - static_cast<std::int64_t>(chunk_rows.size()));
      pieces.push_back({run_at, end});
      for (std::int64_t i = run_at; i < end; ++i) chunk_rows.push_back(static_cast<std::int32_t>(i));
      run_at = end;
      if (run_at == runs[next_run][1] && ++next_run < runs.size()) run_at = runs[next_run][0];
    }
    const auto count = static_cast<std::int64_t>(chunk_rows.size());
    const std::int64_t groups = (count + group_points - 1) / group_points;
    const auto group_of = [&](std::int64_t g) {
      const std::int64_t first = g * group_points;
      return std::span<const std::int32_t>(chunk_rows).subspan(static_cast<std::size_t>(first),
                                                                static_cast<std::size_t>(std::min(count - first, group_points)));
    };
    for (ThreadScratch& s : scratch) s.listed = 0;
    fusion.begin_chunk(threads, static_cast<std::size_t>(count), static_cast<std::size_t>(groups), sums);
    // Each thread first adds what the chunk before made to the sums it owns.
    const auto add_made = [&](int thread) { fusion.add_made(thread, sums); };
    if (searched_in_place) {
      for_each_taken(threads, groups, add_made, [&](int thread, std::int64_t g) {
        ThreadScratch& s = scratch[static_cast<std::size_t>(thread)];
        const std::span<const std::int32_t> rows = group_of(g);
        const std::int64_t first = g * group_points;
        s.nearest.clear();
        nearest->find_here(rows, nullptr, s.nearest);
        check_nearest(s.nearest, rows, n);
        s.frames.resize(rows.size());
        s.regions.resize(rows.size());
        for (std::size_t j = 0; j < rows.size(); ++j) {
          frame_point(s, first + static_cast<std::int64_t>(j), s.nearest[static_cast<std::int64_t>(j)], s.frames[j], s.regions[j]);
        }
        s.radius.clear();
        const NeighbourSearch::Narrowing narrowing{points, s.regions, grid, settings.moved};
        neighbours.find_here(rows, &narrowing, s.radius);
        s.listed += static_cast<std::int64_t>(s.radius.rows.size());
        for (std::size_t j = 0; j < rows.size(); ++j) {
          estimate_point_of(s, g, first + static_cast<std::int64_t>(j), s.frames[j], s.radius, static_cast<std::int64_t>(j));
        }
      });
    } else {
      // Frames first: they orient each point's search region.
      nearest_lists.clear();
      nearest->find(chunk_rows, nullptr, nearest_lists);
      check_nearest(nearest_lists, chunk_rows, n);
      frames.resize(static_cast<std::size_t>(count));
      regions.resize(frames.size());
      for_each_share(threads, count, [&](int thread, std::int64_t first, std::int64_t last) {
        for (std::int64_t k = first; k < last; ++k) {
          const auto at = static_cast<std::size_t>(k);
          frame_point(scratch[static_cast<std::size_t>(thread)], k, nearest_lists[k], frames[at], regions[at]);
        }
      });
      radius_lists.clear();
      const NeighbourSearch::Narrowing narrowing{points, regions, grid, settings.moved};
      neighbours.find(chunk_rows, &narrowing, radius_lists);
      scratch[0].listed = static_cast<std::int64_t>(radius_lists.rows.size());
      for_each_taken(threads, groups, add_made, [&](int thread, std::int64_t g) {
        ThreadScratch& s = scratch[static_cast<std::size_t>(thread)];
        const std::int64_t first = g * group_points;
        const std::int64_t last = std::min(count, first + group_points);
        for (std::int64_t k = first; k < last; ++k) estimate_point_of(s, g, k, frames[static_cast<std::size_t>(k)], radius_lists, k);
      });
    }
    fusion.end_chunk();
    if (settings.farthest_neighbour != nullptr && settings.frames_within > 0.0) {
      double reached = 0.0;
      for (const ThreadScratch& s : scratch) reached = std::max(reached, s.farthest);
      if (reached > settings.frames_within) throw FramesBeyondReach{reached, estimated + count};
    }
    host.stage_done("estimates");
    for (const auto& piece : pieces) report_points_processed(host, piece[0], piece[1], n);
    estimated += count;
    host.progress(settings.stage, estimated, to_estimate);

    if (settings.chunk_points == 0) {
      std::int64_t listed = 0;
      for (const ThreadScratch& s : scratch) listed += s.listed;
      const std::int64_t per_point = std::max<std::int64_t>(1, listed / std::max<std::int64_t>(1, count));
      // Lists found in place are held a group at a time; a chunk then holds only where its
      // estimates go, which allows longer chunks: the more threads, the longer, so that the
      // groups left when the first thread runs out stay a small part of a chunk.
      const std::int64_t widen = searched_in_place ? std::max(1, threads / 2) : 1;
      const std::int64_t rows = (searched_in_place ? rows_per_chunk_in_place : rows_per_chunk) * widen;
      chunk = std::clamp(rows / per_point, min_chunk_points, max_chunk_points * widen);
    }
  }
  fusion.finish(sums);
  host.stage_done("fusion");
  if (settings.farthest_neighbour != nullptr) {
    for (const ThreadScratch& s : scratch) *settings.farthest_neighbour = std::max(*settings.farthest_neighbour, s.farthest);
  }

  std::vector<Point> filtered(points.begin(), points.end());
  for_each_share(threads, static_cast<std::int64_t>(n), [&](int, std::int64_t first, std::int64_t last) {
    for (auto j = static_cast<std::size_t>(first); j < static_cast<std::size_t>(last); ++j) {
      const std::int32_t e = sums.entry(static_cast<std::int32_t>(j));
      if (e >= 0) filtered[j] = solve_position(points[j], noise[j], sums, static_cast<std::size_t>(e));
    }
  });
  host.stage_done("solve");
  update_noise(sums, noise, settings.first_point, settings.own_offsets);
  host.stage_done("noise update");
  return filtered;
}

}  // namespace vandrel
