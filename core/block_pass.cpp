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
// Without a chunk size given, a chunk holds about this many neighbour rows.
constexpr std::int64_t rows_per_chunk = 1 << 18;
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

}  // namespace

std::vector<Point> block_pass(Host& host, std::span<const Point> points, std::span<float> noise,
                              NeighbourSearch& neighbours, const BlockPassSettings& settings) {
  const std::size_t n = points.size();
  const int threads = host.thread_count();
  // The narrowed radius lists come in the cell order of this pass's positions; the nearest
  // neighbours may walk the same cells.
  const CellGrid grid(points, block_cell_side);
  const std::unique_ptr<NeighbourSearch> nearest = host.nearest_neighbours(points, frame_neighbours, &grid);
  host.stage_done("nearest neighbours");

  const PassInputs in{points, noise, settings.threshold, settings.max_half_width};
  Accumulators sums = settings.kept.empty() ? Accumulators(n) : Accumulators(settings.kept);
  std::vector<EstimateScratch> scratch(static_cast<std::size_t>(threads));
  std::vector<PointEstimate> estimates;
  NeighbourLists radius_lists;
  std::vector<Frame> frames;
  std::vector<EstimateRegion> regions;
  NeighbourLists nearest_lists;
  Fusion fusion;
  std::vector<double> farthest(static_cast<std::size_t>(threads), 0.0);  // per thread
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
    // Frames first: they orient each point's search region.
    nearest_lists.clear();
    nearest->find(chunk_rows, nullptr, nearest_lists);
    check_nearest(nearest_lists, chunk_rows, n);
    host.stage_done("nearest neighbours");
    frames.resize(static_cast<std::size_t>(count));
    regions.resize(frames.size());
    for_each_share(threads, count, [&](int thread, std::int64_t first, std::int64_t last) {
      std::array<Point, frame_neighbours> neighbourhood;
      for (std::int64_t k = first; k < last; ++k) {
        const std::span<const std::int32_t> nearest_rows = nearest_lists[k];
        for (std::size_t r = 0; r < neighbourhood.size(); ++r) {
          neighbourhood[r] = points[static_cast<std::size_t>(nearest_rows[r])];
        }
        const auto at = static_cast<std::size_t>(k);
        frames[at] = local_frame(neighbourhood);
        regions[at] = estimate_region(in, chunk_rows[at], frames[at]);
        const bool vouched =
            !settings.frames_known.empty() && settings.frames_known[static_cast<std::size_t>(chunk_rows[at])] != 0;
        if (settings.farthest_neighbour != nullptr && !vouched) {
          double& reach = farthest[static_cast<std::size_t>(thread)];
          reach = std::max(reach, distance(neighbourhood.back(), points[static_cast<std::size_t>(chunk_rows[at])]));
        }
      }
    });
    if (settings.farthest_neighbour != nullptr && settings.frames_within > 0.0) {
      const double reached = *std::max_element(farthest.begin(), farthest.end());
      if (reached > settings.frames_within) throw FramesBeyondReach{reached};
    }
    host.stage_done("frames");
    radius_lists.clear();
    const NeighbourSearch::Narrowing narrowing{points, regions, grid, settings.moved};
    neighbours.find(chunk_rows, &narrowing, radius_lists);
    host.stage_done("radius search");

    estimates.resize(static_cast<std::size_t>(count));
    for_each_share(threads, count, [&](int thread, std::int64_t first, std::int64_t last) {
      for (std::int64_t k = first; k < last; ++k) {
        const auto at = static_cast<std::size_t>(k);
        estimate_point(in, chunk_rows[at], frames[at], radius_lists[k], scratch[static_cast<std::size_t>(thread)],
                       estimates[at], radius_lists.locals_of(k), radius_lists.boxes_of(k));
      }
    });
    host.stage_done("estimates");

    fusion.fuse(threads, points, noise, chunk_rows, estimates, sums);
    host.stage_done("fusion");
    for (const auto& piece : pieces) report_points_processed(host, piece[0], piece[1], n);
    estimated += count;
    host.progress(settings.stage, estimated, to_estimate);

    if (settings.chunk_points == 0) {
      const auto listed = static_cast<std::int64_t>(radius_lists.rows.size());
      const std::int64_t per_point = std::max<std::int64_t>(1, listed / std::max<std::int64_t>(1, count));
      chunk = std::clamp(rows_per_chunk / per_point, min_chunk_points, max_chunk_points);
    }
  }
  estimates = {};
  if (settings.farthest_neighbour != nullptr) {
    for (const double reach : farthest) *settings.farthest_neighbour = std::max(*settings.farthest_neighbour, reach);
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
