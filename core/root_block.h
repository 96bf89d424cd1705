#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "vandrel/point.h"

namespace vandrel {

/// The rows of the (scaled) cloud that the filter works on: every point whose three
/// coordinates are finite, ascending. Rows with a NaN or infinite coordinate stay out and
/// are returned as given. No rows when all those points are at the origin. Thread-safe.
std::vector<std::int32_t> root_block(std::span<const Point> cloud);

}  // namespace vandrel
