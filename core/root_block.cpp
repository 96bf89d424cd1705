#include "core/root_block.h"

#include <bit>
#include <cmath>
#include <limits>

namespace vandrel {
namespace {

constexpr float centre_factor = 0.5f;
// 0.5 + 2^-23: the cube's edge exceeds the longest extent by a hair, so the extreme
// points are not left exactly on a face by rounding.
constexpr float half_edge_factor = std::bit_cast<float>(0x3F000002u);
// The largest single below 12, added to every upper face.
constexpr float upper_margin = std::bit_cast<float>(0x413FFFFFu);

struct Range {
  float lo;
  float hi;
};

// Smallest and largest value of coordinate c that is not NaN (both NaN when all are).
Range coordinate_range(std::span<const Point> cloud, int c) {
  std::size_t start = 0;
  while (start < cloud.size() && std::isnan(cloud[start][c])) ++start;
  if (start == cloud.size()) return {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::quiet_NaN()};
  Range r{cloud[start][c], cloud[start][c]};
  for (std::size_t i = start + 1; i < cloud.size(); ++i) {
    if (cloud[i][c] > r.hi) r.hi = cloud[i][c];
    if (cloud[i][c] < r.lo) r.lo = cloud[i][c];
  }
  return r;
}

}  // namespace

std::optional<RootBlock> root_block(std::span<const Point> cloud) {
  if (cloud.empty()) return std::nullopt;
  Range range[3];
  float extent[3];
  for (int c = 0; c < 3; ++c) {
    range[c] = coordinate_range(cloud, c);
    extent[c] = range[c].hi - range[c].lo;
  }
  // The longest extent, disregarding NaN.
  float longest = extent[0];
  for (int c = 1; c < 3; ++c) {
    if ((std::isnan(longest) || extent[c] > longest) && !std::isnan(extent[c])) longest = extent[c];
  }
  const float half = longest * half_edge_factor;
  RootBlock block{};
  for (int c = 0; c < 3; ++c) {
    const float centre = extent[c] * centre_factor + range[c].lo;
    block.box[static_cast<std::size_t>(c)] = centre - half;
    block.box[static_cast<std::size_t>(c) + 3] = centre + half;
  }
  // A box whose faces are all 0 marks no block (NaN faces still make one, which is empty).
  bool any_face = false;
  for (float face : block.box) any_face = any_face || face != 0.0f;
  if (!any_face) return std::nullopt;
  for (int c = 3; c < 6; ++c) block.box[static_cast<std::size_t>(c)] = block.box[static_cast<std::size_t>(c)] + upper_margin;

  const auto& b = block.box;
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    const Point& p = cloud[i];
    if (p[0] <= b[3] && p[0] >= b[0] && p[1] <= b[4] && p[1] >= b[1] && p[2] <= b[5] && p[2] >= b[2]) {
      block.rows.push_back(static_cast<std::int32_t>(i));
    }
  }
  return block;
}

}  // namespace vandrel
