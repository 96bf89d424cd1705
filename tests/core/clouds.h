#pragma once
// Point sets and slow reference searches shared by the core tests.
#include <cstdint>
#include <span>
#include <vector>

#include "core/neighbours.h"
#include "vandrel/point.h"

namespace vandrel::fixtures {

/// The rows of a column-major N x 3 matrix.
inline std::vector<Point> rows_of(const std::vector<float>& xyz) {
  const std::size_t n = xyz.size() / 3;
  std::vector<Point> points(n);
  for (std::size_t i = 0; i < n; ++i) points[i] = {xyz[i], xyz[n + i], xyz[2 * n + i]};
  return points;
}

/// A columns x rows grid in the plane z = 0, x fastest.
inline std::vector<Point> grid(std::int32_t columns, std::int32_t rows, float spacing) {
  std::vector<Point> points;
  for (std::int32_t y = 0; y < rows; ++y) {
    for (std::int32_t x = 0; x < columns; ++x) points.push_back({static_cast<float>(x) * spacing, static_cast<float>(y) * spacing, 0.0f});
  }
  return points;
}

inline double squared_distance(const Point& p, const Point& q) {
  const double dx = static_cast<double>(p[0]) - q[0];
  const double dy = static_cast<double>(p[1]) - q[1];
  const double dz = static_cast<double>(p[2]) - q[2];
  return (dx * dx + dy * dy) + dz * dz;
}

/// Every row within `reach` of `query`, by comparing with every point, ascending.
inline std::vector<std::int32_t> brute_force_within(std::span<const Point> points, const Point& query, float reach) {
  std::vector<std::int32_t> rows;
  const double limit = static_cast<double>(reach) * reach;
  for (std::size_t k = 0; k < points.size(); ++k) {
    if (squared_distance(points[k], query) <= limit) rows.push_back(static_cast<std::int32_t>(k));
  }
  return rows;
}

/// The points in the order CellGrid::cell_order gives for cells of the given side.
inline std::vector<Point> sorted_by_cell(std::span<const Point> points, float side) {
  std::vector<Point> sorted;
  for (const std::int32_t k : CellGrid::cell_order(points, side)) sorted.push_back(points[static_cast<std::size_t>(k)]);
  return sorted;
}

}  // namespace vandrel::fixtures
