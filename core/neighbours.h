#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "core/point.h"

namespace vandrel {

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

/// A grid of cubic cells over a block's points, for the order the filter keeps a block in
/// and for exact radius searches in that order.
///
/// A point's cell is (floor((x - x0) / side), ...) from the corner (x0, y0, z0) of the
/// points' bounding box; cells are numbered x fastest, then y, then z. The filter keeps a
/// block's points sorted by cell number, points of one cell in their input order, so that
/// points near in space are near in memory and a search can list its rows in ascending
/// order without sorting them.
class CellGrid {
 public:
  /// The grid over `points` (all finite) with cells of the given side (> 0; widened when
  /// the cloud spans more than 2^20 cells along an axis).
  CellGrid(std::span<const Point> points, float side);

  /// The cell number of every point.
  std::vector<std::int64_t> cells(std::span<const Point> points) const;

  /// The permutation that sorts `points` by cell, stably: order[k] is the input position
  /// of the k-th point.
  static std::vector<std::int32_t> cell_order(std::span<const Point> points, float side);

  /// Appends to `rows`, in ascending order, every point of `points` within `reach` of
  /// `query` (squared distance ((dx*dx + dy*dy) + dz*dz) in double <= reach^2). `points`
  /// must be the grid's points, sorted by cell. Thread-safe.
  void within(std::span<const Point> points, const Point& query, float reach, std::vector<std::int32_t>& rows) const;

 private:
  Point corner_{};
  double side_ = 1.0;
  std::int64_t columns_ = 1;  // cells along x
  std::int64_t rows_ = 1;     // cells along y
  std::int64_t layers_ = 1;   // cells along z
  std::vector<std::int64_t> sorted_cells_;  // the points' cell numbers, ascending (points sorted by cell)

  std::int64_t axis_cell(double coordinate, int axis) const;
};

}  // namespace vandrel
