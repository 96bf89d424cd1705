#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "vandrel/point.h"
#include "core/host.h"

namespace vandrel {

/// The ICI thresholds of the two passes.
inline constexpr float first_pass_threshold = 0.55f;
inline constexpr float second_pass_threshold = 0.85f;

struct BlockPassSettings {
  const char* stage;                 // the pass's name in progress reports
  float threshold;                   // the ICI threshold
  float max_half_width;              // r0
  std::int64_t chunk_points = 0;     // points estimated at a time; 0 chooses by list length
  std::size_t first_point = 0;       // the block point first in the input: its noise level sets the next pass's offset
  bool own_offsets = false;          // each point's own noise level sets its offset instead (per-point sigmas)
  /// For a caller that needs the results of some points only (a tile its own): per block
  /// point, whether to make its estimates, and whether to keep its sums and solve it. Empty
  /// means every point. A kept point's result is exact when every point within the search
  /// radius of it is estimated.
  std::span<const std::uint8_t> estimated = {};
  std::span<const std::uint8_t> kept = {};
  /// When given: raised to the largest distance (in double) from an estimated point to its
  /// 50th nearest neighbour, for callers that check how far the frames reached.
  double* farthest_neighbour = nullptr;
  /// Per block point (empty: none), whether it is left out of farthest_neighbour.
  std::span<const std::uint8_t> frames_known = {};
  /// With farthest_neighbour, when positive: the pass stops with FramesBeyondReach as soon as
  /// that distance exceeds this (a caller that would then read more anyway need not finish).
  double frames_within = 0.0;
  /// How far any of `points` lies from the position the radius search was made on, at
  /// most; negative when not known.
  double moved = -1.0;
};

/// Thrown by a pass that stops because a frame reached beyond BlockPassSettings::frames_within.
struct FramesBeyondReach {
  double farthest;          // the farthest 50th nearest neighbour found so far
  std::int64_t estimated;   // the points estimated before the pass stopped
};

/// One filtering pass over a block of at least 50 points.
///   points      the block's positions for this pass
///   noise       their noise levels; replaced by the levels re-estimated for the next pass
///   neighbours  the radius search of the block (on the first pass's positions, radius
///               sqrt(3) r0), narrowed to each point's estimate region
/// Returns the new positions (a point not kept keeps its own, and its noise level). The
/// points are estimated a chunk of consecutive points at a time, in groups that the threads
/// take as they become free; each estimate is fused into the sums in point order (see
/// Fusion) and dropped, so the working memory is that of one chunk. Where the host's
/// searches answer on any thread, a group's neighbours are found by the thread that
/// estimates it. Results do not depend on the chunk size, the thread count nor on which
/// thread took which group.
std::vector<Point> block_pass(Host& host, std::span<const Point> points, std::span<float> noise,
                              NeighbourSearch& neighbours, const BlockPassSettings& settings);

}  // namespace vandrel
