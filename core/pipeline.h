#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/filter_outputs.h"
#include "core/host.h"
#include "core/parameters.h"
#include "vandrel/point.h"

namespace vandrel {

/// The fewest finite points the filter moves: a smaller block keeps its input positions.
inline constexpr std::size_t min_filtered_block = 50;

struct FilterSettings {
  std::int64_t chunk_points = 0;            // see BlockPassSettings
  bool allow_large_neighbourhoods = false;  // run even when neighbourhoods hold huge parts of the cloud
  ParameterNames names = plugin_names;      // what the messages call sigma and density
  /// Called after each pass of the block with its positions before and after the pass
  /// (scaled by sqrt(density), in the block's order), for callers that measure the moves.
  std::function<void(std::int32_t pass, std::span<const Point> before, std::span<const Point> after)> after_pass;
  /// For callers that need the results of some rows only (a tile, those of its own points):
  /// per cloud row, whether the passes make its estimates, and whether its result is wanted.
  /// Empty means every row. A row not wanted comes back unfiltered. A wanted row gets the
  /// result of the whole cloud when every point within the search radius of it (in the
  /// pass's first positions) is estimated and the cloud holds what those estimates read.
  std::span<const std::uint8_t> estimated = {};
  std::span<const std::uint8_t> wanted = {};
  /// When given: raised to the largest distance from an estimated point to its 50th nearest
  /// neighbour (scaled units, in each pass's positions), for callers that check the reach.
  double* farthest_neighbour = nullptr;
  /// Per cloud row (empty: none), whether the caller vouches for its 50 nearest neighbours
  /// being in the cloud: such a row is left out of farthest_neighbour.
  std::span<const std::uint8_t> frames_known = {};
  /// With farthest_neighbour, when positive: a pass stops with FramesBeyondReach (see
  /// block_pass) as soon as that distance exceeds this.
  double frames_within = 0.0;
  /// Outputs beside the positions (normals, noise levels), filled when given; see FilterOutputs.
  FilterOutputs* outputs = nullptr;
};

/// The whole filter: scales the cloud by sqrt(density), takes its finite points as one
/// block, filters a block of 50 points or more in two passes and scales back. Points
/// outside the filtered block (rows with a NaN or infinite coordinate, clouds of 3 points
/// or fewer, clouds whose points are all at the origin) keep their input positions.
///   cloud    N points, row-major; N < 2^31
///   sigma    noise standard deviation in the cloud's units, finite, >= 0
///   density  points per unit area, finite, > 0
/// Throws vandrel::Error: "Vandrel:invalidSigma", "Vandrel:invalidDensity" (also when the
/// scaling overflows a finite point or the neighbourhood sizes), "Vandrel:tooManyPoints",
/// "Vandrel:hugeNeighbourhood" (a sample of points has more than 20000 neighbours each on
/// average, unless allowed), "Vandrel:nonFiniteResult" (a finite point would come out
/// non-finite), or what the host raises. Output bits do not depend on the thread count.
std::vector<Point> filter_cloud(Host& host, std::span<const Point> cloud, float sigma, float density,
                                const FilterSettings& settings = {});

/// The whole filter for noise that varies from point to point: `sigmas` holds one standard
/// deviation per row of the cloud (see largest_point_sigma), each point's noise level at
/// the start; the filter's sizes come from the largest, and each point's noise update takes
/// its offset from its own starting level (a point of sigma 0 stays where it is). Values
/// all equal to one sigma give the bits of the filter_cloud above. Throws as that does, and
/// "Vandrel:invalidSigma" for the values.
std::vector<Point> filter_cloud(Host& host, std::span<const Point> cloud, std::span<const float> sigmas,
                                float density, const FilterSettings& settings = {});

/// Where the first pass leaves a cloud's points: per cloud row, the position (scaled by
/// sqrt(density)) and the noise level the second pass starts from.
struct FirstPass {
  std::vector<Point> positions;
  std::vector<float> noise;
};

/// The filter pass by pass, for callers that keep what the first pass leaves between the
/// passes (tiles, which then read for each pass only what that pass needs):
/// filter_second_pass(cloud, filter_first_pass(cloud)) gives filter_cloud(cloud), bit for
/// bit. Rows outside the filtered block hold their scaled input and scaled sigma.
/// Arguments, settings and errors as filter_cloud; `first` holds one entry per cloud row.
FirstPass filter_first_pass(Host& host, std::span<const Point> cloud, float sigma, float density,
                            const FilterSettings& settings = {});
std::vector<Point> filter_second_pass(Host& host, std::span<const Point> cloud, std::span<const Point> first_positions,
                                      std::span<const float> first_noise, float sigma, float density,
                                      const FilterSettings& settings = {});

}  // namespace vandrel
