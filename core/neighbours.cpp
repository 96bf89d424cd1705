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
    const double far = std::max(std::fabs(static_cast<double>(lo[c])), std::fabs(static_cast<double>(hi[c])));
    while (far / side_ > max_cell) side_ *= 2.0;
  }
  for (std::size_t c = 0; c < 3; ++c) {
    first_[c] = axis_cell(lo[c]);
    count_[c] = axis_cell(hi[c]) - first_[c] + 1;
  }
  std::vector<std::int64_t> cells(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) cells[i] = cell_number(points[i]);
  order_.resize(points.size());
  std::iota(order_.begin(), order_.end(), 0);
  if (!std::is_sorted(cells.begin(), cells.end())) {
    std::stable_sort(order_.begin(), order_.end(), [&](std::int32_t a, std::int32_t b) {
      return cells[static_cast<std::size_t>(a)] < cells[static_cast<std::size_t>(b)];
    });
  }
  sorted_cells_.resize(points.size());
  for (std::size_t k = 0; k < points.size(); ++k) sorted_cells_[k] = cells[static_cast<std::size_t>(order_[k])];
}

std::int64_t CellGrid::cell_number(const Point& p) const {
  const std::int64_t x = axis_cell(p[0]) - first_[0];
  const std::int64_t y = axis_cell(p[1]) - first_[1];
  const std::int64_t z = axis_cell(p[2]) - first_[2];
  return x + count_[0] * (y + count_[1] * z);
}

std::vector<std::int32_t> CellGrid::cell_order(std::span<const Point> points, float side) {
  return CellGrid(points, side).order_;
}

bool CellGrid::before(const Point& a, std::int32_t row_a, const Point& b, std::int32_t row_b) const {
  const std::int64_t cell_a = cell_number(a);
  const std::int64_t cell_b = cell_number(b);
  return cell_a < cell_b || (cell_a == cell_b && row_a < row_b);
}

bool CellGrid::bounding_box(const Cylinder& region, double lo[3], double hi[3]) {
  // Along axis c the cylinder reaches radius sqrt(1 - a_c^2) sideways and half_length |a_c|
  // lengthwise.
  for (std::size_t c = 0; c < 3; ++c) {
    const double a = region.axis[c];
    const double extent = static_cast<double>(region.radius) * std::sqrt(std::max(0.0, 1.0 - a * a)) +
                          static_cast<double>(region.half_length) * std::fabs(a);
    lo[c] = region.centre[c] - extent * 1.000001;
    hi[c] = region.centre[c] + extent * 1.000001;
  }
  return std::isfinite(lo[0] + lo[1] + lo[2] + hi[0] + hi[1] + hi[2]);
}

void CellGrid::within(std::span<const Point> points, const Point& query, float reach,
                      std::vector<std::int32_t>& found) const {
  const double r = reach;
  if (!(r >= 0.0)) return;
  const double limit = r * r;
  const double q[3] = {query[0], query[1], query[2]};
  const double lo[3] = {q[0] - r, q[1] - r, q[2] - r};
  const double hi[3] = {q[0] + r, q[1] + r, q[2] + r};
  scan(lo, hi, [&](std::int32_t row) {
    const Point& p = points[static_cast<std::size_t>(row)];
    const double dx = static_cast<double>(p[0]) - q[0];
    const double dy = static_cast<double>(p[1]) - q[1];
    const double dz = static_cast<double>(p[2]) - q[2];
    return (dx * dx + dy * dy) + dz * dz <= limit;
  }, found);
}

}  // namespace vandrel
