#pragma once
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "vandrel/point.h"

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

/// The part of a block around one point that its estimates can use: the points within
/// `radius` of the line through `centre` along the unit vector `axis`, and within
/// `half_length` of `centre` along it (a cylinder; squared distances in double).
struct Cylinder {
  Point centre;
  Point axis;
  float radius;
  float half_length;

  bool holds(const Point& p) const {
    // A test in single precision first, with a margin far above its rounding, settles most
    // points; those near the surface get the exact one.
    const float fx = p[0] - centre[0];
    const float fy = p[1] - centre[1];
    const float fz = p[2] - centre[2];
    const float f_along = (fx * axis[0] + fy * axis[1]) + fz * axis[2];
    const float f_squared = (fx * fx + fy * fy) + fz * fz;
    if (std::fabs(f_along) > half_length * 1.001f + 1e-30f) return false;
    if (f_squared - f_along * f_along > radius * radius * 1.002f + 1e-30f) return false;
    const double d[3] = {static_cast<double>(p[0]) - centre[0], static_cast<double>(p[1]) - centre[1],
                         static_cast<double>(p[2]) - centre[2]};
    const double along = (d[0] * axis[0] + d[1] * axis[1]) + d[2] * axis[2];
    const double squared = (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2];
    const double r = radius;
    const double h = half_length;
    return std::fabs(along) <= h && squared - along * along <= r * r;
  }
};

/// The side of the cells a block is ordered and searched by, in scaled units (points about
/// 1 apart): about a third of the in-plane radius of the estimate regions, which measured
/// fastest (fewer candidates than coarser cells, fewer runs than finer ones).
inline constexpr float block_cell_side = 6.0f;

/// A grid of cubic cells of a fixed side on a lattice anchored at the origin, for the
/// order the filter keeps a block in and for searches in that order.
///
/// A point's cell is (floor(x / side), floor(y / side), floor(z / side)); cells are ordered
/// by z, then y, then x, and points of one cell by row. The filter keeps a block's points
/// in this order, so that points near in space are near in memory, searches list rows in
/// ascending order without sorting them, and any part of a cloud keeps its points in the
/// same relative order as the whole.
class CellGrid {
 public:
  /// The largest cell index along an axis: the grid's cells (side doubled as needed) lie
  /// within +-max_cell of the origin, so that cell numbers never overflow.
  static constexpr double max_cell = 0x1p52;

  /// The grid over `points` (all finite) with cells of the given side (> 0; doubled until
  /// the cloud spans at most 2^20 cells along each axis and lies within max_cell cells of
  /// the origin).
  CellGrid(std::span<const Point> points, float side);

  /// The rows of the grid's points in cell order.
  const std::vector<std::int32_t>& order() const { return order_; }

  /// The permutation that sorts `points` by cell, stably: order[k] is the input row of the
  /// k-th point.
  static std::vector<std::int32_t> cell_order(std::span<const Point> points, float side);

  /// Whether cell order puts point a before point b (their rows break ties).
  bool before(const Point& a, std::int32_t row_a, const Point& b, std::int32_t row_b) const;

  /// Appends to `rows`, in cell order, every point of `points` (the grid's points) within
  /// `reach` of `query` (squared distance ((dx*dx + dy*dy) + dz*dz) in double <= reach^2).
  /// Thread-safe.
  void within(std::span<const Point> points, const Point& query, float reach, std::vector<std::int32_t>& rows) const;

  /// Appends to `rows`, in cell order, every point of `points` (the grid's points) that
  /// `region` holds and `keep(row)` accepts. Thread-safe.
  template <class Keep>
  void within(std::span<const Point> points, const Cylinder& region, Keep keep, std::vector<std::int32_t>& rows) const {
    double lo[3];
    double hi[3];
    if (!bounding_box(region, lo, hi)) return;
    scan(lo, hi, [&](std::int32_t row) { return region.holds(points[static_cast<std::size_t>(row)]) && keep(row); }, rows);
  }

 private:
  double side_ = 1.0;
  std::array<std::int64_t, 3> first_{};  // the smallest cell index along each axis
  std::array<std::int64_t, 3> count_{};  // cells along each axis
  std::vector<std::int32_t> order_;         // rows in cell order
  std::vector<std::int64_t> sorted_cells_;  // their cell numbers, ascending

  // A coordinate's cell along an axis; beyond +-max_cell cells (and for NaN, which no grid
  // point has) one past the grid's reach, which every use treats as the true cell.
  std::int64_t axis_cell(double coordinate) const {
    const double cell = std::floor(coordinate / side_);
    if (cell >= -max_cell && cell <= max_cell) return static_cast<std::int64_t>(cell);
    return cell > max_cell ? static_cast<std::int64_t>(max_cell) + 1 : -static_cast<std::int64_t>(max_cell) - 1;
  }
  std::int64_t cell_number(const Point& p) const;
  static bool bounding_box(const Cylinder& region, double lo[3], double hi[3]);

  // Calls test(row) for the points in the cells that meet [lo, hi], in cell order, and
  // appends the rows it accepts.
  template <class Test>
  void scan(const double lo[3], const double hi[3], Test test, std::vector<std::int32_t>& found) const {
    if (sorted_cells_.empty()) return;
    std::int64_t first[3];
    std::int64_t last[3];
    for (std::size_t c = 0; c < 3; ++c) {
      first[c] = std::max(axis_cell(lo[c]) - first_[c], std::int64_t{0});
      last[c] = std::min(axis_cell(hi[c]) - first_[c], count_[c] - 1);
      if (first[c] > last[c]) return;
    }
    // Each run of cells along x is a contiguous range of the order, and the runs come in
    // ascending cell order. The walk goes from occupied cell to occupied cell, jumping over
    // empty rows of cells, so that its cost follows the points found rather than the cells
    // the box covers (a box far larger than the cloud's spacing costs no more than it holds).
    const auto cell_at = [&](std::int64_t x, std::int64_t y, std::int64_t z) { return x + count_[0] * (y + count_[1] * z); };
    const auto cells_end = sorted_cells_.end();
    const std::int64_t last_cell = cell_at(last[0], last[1], last[2]);
    auto at = std::lower_bound(sorted_cells_.begin(), cells_end, cell_at(first[0], first[1], first[2]));
    while (at != cells_end && *at <= last_cell) {
      const std::int64_t x = *at % count_[0];
      const std::int64_t y = (*at / count_[0]) % count_[1];
      const std::int64_t z = *at / count_[0] / count_[1];
      if (y >= first[1] && y <= last[1] && x < first[0]) {
        at = std::lower_bound(at, cells_end, cell_at(first[0], y, z));
        continue;
      }
      if (y < first[1] || y > last[1] || x > last[0]) {
        // On to the start of the box's next row of cells.
        std::int64_t next_y = y < first[1] ? first[1] : y + 1;
        std::int64_t next_z = z;
        if (next_y > last[1]) {
          next_y = first[1];
          ++next_z;
        }
        if (next_z > last[2]) break;
        at = std::lower_bound(at, cells_end, cell_at(first[0], next_y, next_z));
        continue;
      }
      const auto end = std::upper_bound(at, cells_end, cell_at(last[0], y, z));
      // Written without a branch: every candidate is stored, and kept by advancing the end.
      const auto from = static_cast<std::size_t>(at - sorted_cells_.begin());
      const auto to = static_cast<std::size_t>(end - sorted_cells_.begin());
      std::size_t kept = found.size();
      found.resize(kept + (to - from));
      for (std::size_t k = from; k < to; ++k) {
        const std::int32_t row = order_[k];
        found[kept] = row;
        kept += static_cast<std::size_t>(test(row));
      }
      found.resize(kept);
      at = end;
    }
  }
};

}  // namespace vandrel
