#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/point.h"

namespace vandrel {

/// The cube that encloses a (scaled) cloud, and the rows of the points inside it.
struct RootBlock {
  std::array<float, 6> box;          // faces: xmin ymin zmin xmax ymax zmax
  std::vector<std::int32_t> rows;    // 0-based rows of the cloud inside the box, ascending
};

/// Encloses the cloud in one cube centred on its bounding box (NaN coordinates are
/// disregarded), with edge a hair longer than the longest extent and every upper face
/// pushed out by just under 12, and lists the points inside it (faces included).
/// No block for an empty cloud, nor when all six faces come out exactly 0 (every point at
/// the origin). Thread-safe.
std::optional<RootBlock> root_block(std::span<const Point> cloud);

}  // namespace vandrel
