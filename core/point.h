#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace vandrel {

/// A point or a 3-vector: x, y, z in single precision. An array of Points is the row-major
/// N x 3 layout of numpy, PCL and Open3D.
using Point = std::array<float, 3>;
static_assert(sizeof(Point) == 3 * sizeof(float), "points must pack as x, y, z triples");

/// Neighbour lists of consecutive points, packed: list k holds rows[offsets[k] ..
/// offsets[k + 1]). Rows are 0-based rows of the block.
struct NeighbourLists {
  std::vector<std::int64_t> offsets{0};
  std::vector<std::int32_t> rows;

  std::int64_t size() const { return static_cast<std::int64_t>(offsets.size()) - 1; }
  std::span<const std::int32_t> operator[](std::int64_t k) const {
    const auto begin = static_cast<std::size_t>(offsets[static_cast<std::size_t>(k)]);
    const auto end = static_cast<std::size_t>(offsets[static_cast<std::size_t>(k) + 1]);
    return {rows.data() + begin, end - begin};
  }
  void clear() {
    offsets.assign(1, 0);
    rows.clear();
  }
  void append(std::span<const std::int32_t> list) {
    rows.insert(rows.end(), list.begin(), list.end());
    offsets.push_back(static_cast<std::int64_t>(rows.size()));
  }
};

}  // namespace vandrel
