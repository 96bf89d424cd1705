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

}  // namespace vandrel
