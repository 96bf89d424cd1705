#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "core/point.h"
#include "host/host.h"

namespace vandrel {

struct FilterSettings {
  std::int64_t chunk_points = 0;  // see BlockPassSettings
};

/// The whole filter: scales the cloud by sqrt(density), encloses it in its root block,
/// filters a block of 50 points or more in two passes, merges the filtered block back by
/// box weights and scales back. Points outside every filtered block (rows with a NaN
/// coordinate, clouds of 3 points or fewer) keep their input positions.
///   cloud    N points, row-major; N < 2^31
///   sigma    noise standard deviation in the cloud's units, finite, >= 0
///   density  points per unit area, finite, > 0
/// Throws vandrel::Error ("Vandrel:invalidSigma", "Vandrel:invalidDensity",
/// "Vandrel:tooManyPoints", or what the host raises). Output bits do not depend on the
/// thread count.
std::vector<Point> filter_cloud(Host& host, std::span<const Point> cloud, float sigma, float density,
                                const FilterSettings& settings = {});

}  // namespace vandrel
