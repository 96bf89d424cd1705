#include "core/neighbours.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace vandrel {
namespace {

constexpr double max_cells_per_axis = 1 << 20;

}  // namespace

CellGrid::CellGrid(std::span<const Point> points, float side) : side_(side) {
  if (points.empty()) return;
  Point lo = points[0];
  Point hi = points[0];
  for (const Point& p : points) {
    for (std::size_t c = 0; c < 3; ++c) {
      lo[c] = std::min(lo[c], p[c]);
      hi[c] = std::max(hi[c], p[c]);
    }
  }
  corner_ = lo;
  for (std::size_t c = 0; c < 3; ++c) {
    const double extent = static_cast<double>(hi[c]) - static_cast<double>(lo[c]);
    side_ = std::max(side_, extent / (max_cells_per_axis - 1.0));
  }
  columns_ = axis_cell(hi[0], 0) + 1;
  rows_ = axis_cell(hi[1], 1) + 1;
  layers_ = axis_cell(hi[2], 2) + 1;
  sorted_cells_ = cells(points);
}

std::int64_t CellGrid::axis_cell(double coordinate, int axis) const {
  const double cell = std::floor((coordinate - static_cast<double>(corner_[static_cast<std::size_t>(axis)])) / side_);
  return static_cast<std::int64_t>(std::clamp(cell, 0.0, max_cells_per_axis));
}

std::vector<std::int64_t> CellGrid::cells(std::span<const Point> points) const {
  std::vector<std::int64_t> numbers(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    const Point& p = points[i];
    numbers[i] = axis_cell(p[0], 0) + columns_ * (axis_cell(p[1], 1) + rows_ * axis_cell(p[2], 2));
  }
  return numbers;
}

std::vector<std::int32_t> CellGrid::cell_order(std::span<const Point> points, float side) {
  const std::vector<std::int64_t> numbers = CellGrid(points, side).cells(points);
  std::vector<std::int32_t> order(points.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::int32_t a, std::int32_t b) {
    return numbers[static_cast<std::size_t>(a)] < numbers[static_cast<std::size_t>(b)];
  });
  return order;
}

void CellGrid::within(std::span<const Point> points, const Point& query, float reach,
                      std::vector<std::int32_t>& found) const {
  const double r = reach;
  const double limit = r * r;
  const double q[3] = {query[0], query[1], query[2]};
  if (sorted_cells_.empty() || !(r >= 0.0)) return;
  std::int64_t first[3];
  std::int64_t last[3];
  for (int c = 0; c < 3; ++c) {
    first[c] = axis_cell(q[c] - r, c);
    last[c] = axis_cell(q[c] + r, c);
  }
  last[0] = std::min(last[0], columns_ - 1);
  last[1] = std::min(last[1], rows_ - 1);
  last[2] = std::min(last[2], layers_ - 1);
  // Each run of cells along x is a contiguous range of points; the runs come in ascending
  // cell order, so the rows come out ascending.
  for (std::int64_t z = first[2]; z <= last[2]; ++z) {
    for (std::int64_t y = first[1]; y <= last[1]; ++y) {
      const std::int64_t row_cells = columns_ * (y + rows_ * z);
      const auto begin = std::lower_bound(sorted_cells_.begin(), sorted_cells_.end(), row_cells + first[0]);
      const auto end = std::upper_bound(begin, sorted_cells_.end(), row_cells + last[0]);
      // Written without a branch: every candidate is stored, and kept by advancing the end.
      const auto first = static_cast<std::size_t>(begin - sorted_cells_.begin());
      const auto last = static_cast<std::size_t>(end - sorted_cells_.begin());
      std::size_t kept = found.size();
      found.resize(kept + (last - first));
      for (std::size_t k = first; k < last; ++k) {
        const Point& p = points[k];
        const double dx = static_cast<double>(p[0]) - q[0];
        const double dy = static_cast<double>(p[1]) - q[1];
        const double dz = static_cast<double>(p[2]) - q[2];
        found[kept] = static_cast<std::int32_t>(k);
        kept += static_cast<std::size_t>((dx * dx + dy * dy) + dz * dz <= limit);
      }
      found.resize(kept);
    }
  }
}

}  // namespace vandrel
