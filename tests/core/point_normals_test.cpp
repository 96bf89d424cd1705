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

}  // namespace
}  // namespace vandrel
