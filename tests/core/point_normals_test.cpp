#include "core/point_normals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string_view>
#include <vector>

#include "host/native_host.h"

namespace vandrel {
namespace {

TEST(block_normals, ExactOnACurvedSurfaceUpToItsBorder) {
  // The paraboloid z = 0.005 (x^2 + y^2) on the unit grid 0 <= x, y <= 20: slopes up to 0.2.
  // Points on the border and in the corners have one-sided neighbourhoods, where a plane
  // through the neighbours tilts by the slope change across them (at the corner (0, 0),
  // 1.6 degrees with 25 neighbours, 7 with 400); the quadric's normal at the point is exact.
  std::vector<Point> points;
  for (int y = 0; y <= 20; ++y)
    for (int x = 0; x <= 20; ++x)
      points.push_back({static_cast<float>(x), static_cast<float>(y), 0.005f * static_cast<float>(x * x + y * y)});
  NativeHost host({1, [](std::string_view) {}, {}});
  NormalSign up;
  up.rule = NormalSign::Rule::direction;
  const BlockNormals normals = block_normals(host, points, up);
  ASSERT_EQ(normals.normals.size(), points.size());
  double worst = 1.0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const Point& p = points[i];
    const double gx = 0.01 * p[0], gy = 0.01 * p[1];
    const double length = std::sqrt(gx * gx + gy * gy + 1.0);
    const Point& n = normals.normals[i];
    worst = std::min(worst, (-gx * n[0] - gy * n[1] + n[2]) / length);
    EXPECT_GE(normals.curvature[i], 0.0f);
    EXPECT_LE(normals.curvature[i], 1.0f / 3.0f);
  }
  EXPECT_GT(worst, std::cos(0.1 * 3.14159265 / 180.0));  // within 0.1 degree everywhere
}

TEST(block_normals, KeepsToItsFaceWhereMostNeighbourhoodsCrossAnEdge) {
  // A small cube: on each face a 12 x 12 grid of cell centres, 864 points. Every 400-point
  // neighbourhood and most smaller ones reach past an edge, so the cloud's median turn at
  // each step is an edge's, and a limit relative to it alone let the points grow across
  // their edges: the normals of the points below leaned by 6.6 to 35 degrees. A point whose
  // 25 nearest lie on its own face (3 cells or more from every edge) keeps that face's normal
  // within 4 degrees, the most a step may turn (a few lean by up to 3.5: their last step
  // takes in a few points of the next face, and turns by less than that).
  constexpr int cells = 12;
  std::vector<Point> points;
  std::vector<Point> face_normal;
  for (int axis = 0; axis < 3; ++axis) {
    for (const float side : {0.0f, static_cast<float>(cells)}) {
      for (int i = 0; i < cells; ++i) {
        for (int j = 0; j < cells; ++j) {
          Point p{};
          p[static_cast<std::size_t>(axis)] = side;
          p[static_cast<std::size_t>((axis + 1) % 3)] = static_cast<float>(i) + 0.5f;
          p[static_cast<std::size_t>((axis + 2) % 3)] = static_cast<float>(j) + 0.5f;
          points.push_back(p);
          Point n{};
          n[static_cast<std::size_t>(axis)] = 1.0f;
          face_normal.push_back(n);
        }
      }
    }
  }
  NativeHost host({1, [](std::string_view) {}, {}});
  NormalSign rule;
  rule.rule = NormalSign::Rule::direction;
  rule.target = {1.0f, 1.0f, 1.0f};
  const BlockNormals normals = block_normals(host, points, rule);
  std::size_t inner = 0;
  for (std::size_t k = 0; k < points.size(); ++k) {
    const std::size_t i = k % (cells * cells) / cells, j = k % cells;
    if (i < 3 || j < 3 || i >= cells - 3 || j >= cells - 3) continue;
    ++inner;
    const Point& n = normals.normals[k];
    const float along = std::fabs((n[0] * face_normal[k][0] + n[1] * face_normal[k][1]) + n[2] * face_normal[k][2]);
    EXPECT_GT(along, std::cos(4.0 * 3.14159265 / 180.0)) << "point " << k;
  }
  EXPECT_EQ(inner, 6u * 36u);
}

}  // namespace
}  // namespace vandrel
