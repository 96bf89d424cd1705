#pragma once
#include <array>
#include <cmath>
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

/// The part of a block around one point that its estimates can use: the points within
/// `radius` of the line through `centre` along the unit vector `axis`, and within
/// `half_length` of `centre` along it (a cylinder; squared distances in double).
struct Cylinder {
  Point centre;
  Point axis;
  float radius;
  float half_length;

  bool holds(const Point& p) const {
    const double d[3] = {static_cast<double>(p[0]) - centre[0], static_cast<double>(p[1]) - centre[1],
                         static_cast<double>(p[2]) - centre[2]};
    const double along = (d[0] * axis[0] + d[1] * axis[1]) + d[2] * axis[2];
    const double squared = (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2];
    const double r = radius;
    const double h = half_length;
    return std::fabs(along) <= h && squared - along * along <= r * r;
  }
};

/// A grid of cubic cells of a fixed side on a lattice anchored at the origin, for the
/// order the filter keeps a block in and for searches in that order.
///
/// A point's cell is (floor(x / side), floor(y / side), floor(z / side)); cells are ordered
/// by z, then y, then x. The filter keeps a block's points sorted by cell, points of one
/// cell in their input order, so that points near in space are near in memory, a search
/// lists its rows in ascending order without sorting them, and any part of a cloud keeps
/// its points in the same relative order as the whole cloud.
class CellGrid {
 public:
  /// The grid over `points` (all finite) with cells of the given side (> 0; widened to a
  /// power-of-two multiple when the cloud spans more than 2^20 cells along an axis).
  CellGrid(std::span<const Point> points, float side);

  /// The permutation that sorts `points` by cell, stably: order[k] is the input position
  /// of the k-th point.
  static std::vector<std::int32_t> cell_order(std::span<const Point> points, float side);

  /// Appends to `rows`, in ascending order, every point of `points` within `reach` of
  /// `query` (squared distance ((dx*dx + dy*dy) + dz*dz) in double <= reach^2). `points`
  /// must be the grid's points, sorted by cell. Thread-safe.
  void within(std::span<const Point> points, const Point& query, float reach, std::vector<std::int32_t>& rows) const;

  /// The same for the points a cylinder holds.
  void within(std::span<const Point> points, const Cylinder& cylinder, std::vector<std::int32_t>& rows) const;

 private:
  double side_ = 1.0;
  std::array<std::int64_t, 3> first_{};  // the smallest cell index along each axis
  std::array<std::int64_t, 3> count_{};  // cells along each axis
  std::vector<std::int64_t> sorted_cells_;  // the points' cell numbers, ascending (points sorted by cell)

  std::int64_t axis_cell(double coordinate) const { return static_cast<std::int64_t>(std::floor(coordinate / side_)); }
  std::int64_t cell_number(const Point& p) const;
  template <class Test>
  void scan(std::span<const Point> points, const double lo[3], const double hi[3], Test test,
            std::vector<std::int32_t>& rows) const;
};

/// Exact k-nearest-neighbour searches over points in any order, on a cell grid: the k
/// points with the smallest squared distance ((dx*dx + dy*dy) + dz*dz, in double), equal
/// distances by ascending row, nearest first; non-finite points are never found.
class NearestGrid {
 public:
  /// `side` should hold a few neighbours per cell. `points` outlives the grid.
  NearestGrid(std::span<const Point> points, float side);
  /// Writes the k nearest points to `query` into `rows` (fewer when the set holds fewer
  /// finite points). Thread-safe.
  void nearest(const Point& query, std::int32_t k, std::vector<std::int32_t>& rows) const;

 private:
  std::span<const Point> points_;
  double side_;
  std::array<std::int64_t, 3> first_{};
  std::array<std::int64_t, 3> count_{};
  std::vector<std::int32_t> order_;         // finite rows sorted by cell
  std::vector<std::int64_t> sorted_cells_;  // their cell numbers

  std::int64_t axis_cell(double coordinate) const { return static_cast<std::int64_t>(std::floor(coordinate / side_)); }
};

}  // namespace vandrel
