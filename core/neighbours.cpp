#include "core/neighbours.h"

#include <algorithm>
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
  // Doubling keeps the lattice anchored at the origin.
  for (std::size_t c = 0; c < 3; ++c) {
    while ((static_cast<double>(hi[c]) - static_cast<double>(lo[c])) / side_ > max_cells_per_axis - 2.0) side_ *= 2.0;
  }
  for (std::size_t c = 0; c < 3; ++c) {
    first_[c] = axis_cell(lo[c]);
    count_[c] = axis_cell(hi[c]) - first_[c] + 1;
  }
  sorted_cells_.resize(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) sorted_cells_[i] = cell_number(points[i]);
}

std::int64_t CellGrid::cell_number(const Point& p) const {
  const std::int64_t x = axis_cell(p[0]) - first_[0];
  const std::int64_t y = axis_cell(p[1]) - first_[1];
  const std::int64_t z = axis_cell(p[2]) - first_[2];
  return x + count_[0] * (y + count_[1] * z);
}

std::vector<std::int32_t> CellGrid::cell_order(std::span<const Point> points, float side) {
  const CellGrid grid(points, side);
  std::vector<std::int32_t> order(points.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::int32_t a, std::int32_t b) {
    return grid.sorted_cells_[static_cast<std::size_t>(a)] < grid.sorted_cells_[static_cast<std::size_t>(b)];
  });
  return order;
}

template <class Test>
void CellGrid::scan(std::span<const Point> points, const double lo[3], const double hi[3], Test test,
                    std::vector<std::int32_t>& found) const {
  if (sorted_cells_.empty()) return;
  std::int64_t first[3];
  std::int64_t last[3];
  for (std::size_t c = 0; c < 3; ++c) {
    first[c] = std::max(axis_cell(lo[c]) - first_[c], std::int64_t{0});
    last[c] = std::min(axis_cell(hi[c]) - first_[c], count_[c] - 1);
    if (first[c] > last[c]) return;
  }
  // Each run of cells along x is a contiguous range of points; the runs come in ascending
  // cell order, so the rows come out ascending.
  for (std::int64_t z = first[2]; z <= last[2]; ++z) {
    for (std::int64_t y = first[1]; y <= last[1]; ++y) {
      const std::int64_t row_cells = count_[0] * (y + count_[1] * z);
      const auto begin = std::lower_bound(sorted_cells_.begin(), sorted_cells_.end(), row_cells + first[0]);
      const auto end = std::upper_bound(begin, sorted_cells_.end(), row_cells + last[0]);
      // Written without a branch: every candidate is stored, and kept by advancing the end.
      const auto from = static_cast<std::size_t>(begin - sorted_cells_.begin());
      const auto to = static_cast<std::size_t>(end - sorted_cells_.begin());
      std::size_t kept = found.size();
      found.resize(kept + (to - from));
      for (std::size_t k = from; k < to; ++k) {
        found[kept] = static_cast<std::int32_t>(k);
        kept += static_cast<std::size_t>(test(points[k]));
      }
      found.resize(kept);
    }
  }
}

void CellGrid::within(std::span<const Point> points, const Point& query, float reach,
                      std::vector<std::int32_t>& found) const {
  const double r = reach;
  if (!(r >= 0.0)) return;
  const double limit = r * r;
  const double q[3] = {query[0], query[1], query[2]};
  const double lo[3] = {q[0] - r, q[1] - r, q[2] - r};
  const double hi[3] = {q[0] + r, q[1] + r, q[2] + r};
  scan(points, lo, hi, [&](const Point& p) {
    const double dx = static_cast<double>(p[0]) - q[0];
    const double dy = static_cast<double>(p[1]) - q[1];
    const double dz = static_cast<double>(p[2]) - q[2];
    return (dx * dx + dy * dy) + dz * dz <= limit;
  }, found);
}

void CellGrid::within(std::span<const Point> points, const Cylinder& cylinder, std::vector<std::int32_t>& found) const {
  // The cylinder's bounding box: along axis c it reaches radius sqrt(1 - a_c^2) sideways
  // and half_length |a_c| lengthwise.
  double lo[3];
  double hi[3];
  for (std::size_t c = 0; c < 3; ++c) {
    const double a = cylinder.axis[c];
    const double reach = static_cast<double>(cylinder.radius) * std::sqrt(std::max(0.0, 1.0 - a * a)) +
                         static_cast<double>(cylinder.half_length) * std::fabs(a);
    lo[c] = cylinder.centre[c] - reach * 1.000001;
    hi[c] = cylinder.centre[c] + reach * 1.000001;
  }
  if (!std::isfinite(lo[0] + lo[1] + lo[2] + hi[0] + hi[1] + hi[2])) return;
  scan(points, lo, hi, [&](const Point& p) { return cylinder.holds(p); }, found);
}

NearestGrid::NearestGrid(std::span<const Point> points, float side) : points_(points), side_(side) {
  std::vector<std::int32_t> finite;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const Point& p = points[i];
    if (std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2])) finite.push_back(static_cast<std::int32_t>(i));
  }
  if (finite.empty()) return;
  Point lo = points[static_cast<std::size_t>(finite[0])];
  Point hi = lo;
  for (const std::int32_t i : finite) {
    for (std::size_t c = 0; c < 3; ++c) {
      lo[c] = std::min(lo[c], points[static_cast<std::size_t>(i)][c]);
      hi[c] = std::max(hi[c], points[static_cast<std::size_t>(i)][c]);
    }
  }
  for (std::size_t c = 0; c < 3; ++c) {
    while ((static_cast<double>(hi[c]) - static_cast<double>(lo[c])) / side_ > max_cells_per_axis - 2.0) side_ *= 2.0;
  }
  for (std::size_t c = 0; c < 3; ++c) {
    first_[c] = axis_cell(lo[c]);
    count_[c] = axis_cell(hi[c]) - first_[c] + 1;
  }
  std::vector<std::int64_t> cells(points.size());
  for (const std::int32_t i : finite) {
    const Point& p = points[static_cast<std::size_t>(i)];
    cells[static_cast<std::size_t>(i)] = (axis_cell(p[0]) - first_[0]) +
                                         count_[0] * ((axis_cell(p[1]) - first_[1]) + count_[1] * (axis_cell(p[2]) - first_[2]));
  }
  order_ = std::move(finite);
  std::stable_sort(order_.begin(), order_.end(), [&](std::int32_t a, std::int32_t b) {
    return cells[static_cast<std::size_t>(a)] < cells[static_cast<std::size_t>(b)];
  });
  sorted_cells_.resize(order_.size());
  for (std::size_t k = 0; k < order_.size(); ++k) sorted_cells_[k] = cells[static_cast<std::size_t>(order_[k])];
}

void NearestGrid::nearest(const Point& query, std::int32_t k, std::vector<std::int32_t>& rows) const {
  rows.clear();
  const double q[3] = {query[0], query[1], query[2]};
  if (order_.empty() || k <= 0 || !std::isfinite(q[0] + q[1] + q[2])) return;
  const auto wanted = std::min(static_cast<std::size_t>(k), order_.size());
  std::vector<std::pair<double, std::int32_t>> found;
  // Grow the searched box until it holds `wanted` points within its inscribed ball: then no
  // point outside can be nearer than the wanted-th.
  for (std::int64_t rings = 1;; rings *= 2) {
    found.clear();
    std::int64_t first[3];
    std::int64_t last[3];
    for (std::size_t c = 0; c < 3; ++c) {
      const std::int64_t centre = axis_cell(q[c]);
      first[c] = std::max(centre - rings, first_[c]) - first_[c];
      last[c] = std::min(centre + rings, first_[c] + count_[c] - 1) - first_[c];
    }
    for (std::int64_t z = first[2]; z <= last[2]; ++z) {
      for (std::int64_t y = first[1]; y <= last[1]; ++y) {
        const std::int64_t row_cells = count_[0] * (y + count_[1] * z);
        const auto begin = std::lower_bound(sorted_cells_.begin(), sorted_cells_.end(), row_cells + first[0]);
        const auto end = std::upper_bound(begin, sorted_cells_.end(), row_cells + last[0]);
        for (auto it = begin; it != end; ++it) {
          const std::int32_t row = order_[static_cast<std::size_t>(it - sorted_cells_.begin())];
          const Point& p = points_[static_cast<std::size_t>(row)];
          const double dx = static_cast<double>(p[0]) - q[0];
          const double dy = static_cast<double>(p[1]) - q[1];
          const double dz = static_cast<double>(p[2]) - q[2];
          found.push_back({(dx * dx + dy * dy) + dz * dz, row});
        }
      }
    }
    // Every point within `rings` cells of the query's cell is searched: the ball of radius
    // rings * side about the query lies inside the box.
    const double covered = static_cast<double>(rings) * side_;
    const bool whole_grid = first[0] == 0 && first[1] == 0 && first[2] == 0 && last[0] == count_[0] - 1 &&
                            last[1] == count_[1] - 1 && last[2] == count_[2] - 1;
    if (found.size() >= wanted) {
      const auto cut = found.begin() + static_cast<std::ptrdiff_t>(wanted);
      std::partial_sort(found.begin(), cut, found.end());
      if (whole_grid || found[wanted - 1].first <= covered * covered) {
        for (auto it = found.begin(); it != cut; ++it) rows.push_back(it->second);
        return;
      }
    } else if (whole_grid) {
      std::sort(found.begin(), found.end());
      for (const auto& f : found) rows.push_back(f.second);
      return;
    }
  }
}

}  // namespace vandrel
