#include "core/plane_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace vandrel {
namespace {

PlaneFit fit_of(const std::vector<Point>& points) {
  PlaneFit fit;
  for (const Point& p : points) fit.add(p[0], p[1], p[2]);
  return fit;
}

// The weight of point (u, v) in the fitted height.
double weight(const std::array<float, 3>& z, const Point& p) {
  return (static_cast<double>(p[0]) * z[0] + static_cast<double>(p[1]) * z[1]) + z[2];
}

TEST(PlaneFit, FourCornersOfTheUnitSquare) {
  // The least-squares plane is w = 2u + 2v - 1; the corners weigh 3/4, 1/4, 1/4, -1/4
  // in its height at (0, 0).
  const std::vector<Point> corners = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 4}};
  const PlaneFit fit = fit_of(corners);
  EXPECT_EQ(fit.count(), 4.0f);
  const PlaneFit::Plane plane = fit.solve();
  const float normal[3] = {-2, -2, 1};
  const float kernel[3] = {-0.5f, -0.5f, 0.75f};
  EXPECT_FLOAT_EQ(plane.height, -1.0f);
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_FLOAT_EQ(plane.normal[k], normal[k]) << k;
    EXPECT_FLOAT_EQ(plane.kernel[k], kernel[k]) << k;
  }
  EXPECT_FALSE(PlaneFit::kernel_has_nan(plane.kernel));
}

TEST(PlaneFit, PointsOnAPlaneGiveItsHeightAndNormal) {
  struct Case {
    float c0, c1, c2;
  };
  for (const Case c : {Case{0.5f, -0.25f, 0.75f}, Case{0, 0, 0}, Case{-3, 2, -10}, Case{0.1f, 0.7f, 0.3f}}) {
    SCOPED_TRACE(testing::Message() << c.c0 << " " << c.c1 << " " << c.c2);
    PlaneFit fit;
    fit.add(0, 0, c.c2);
    for (const float u : {-2.0f, 1.0f, 3.0f, 0.5f}) {
      for (const float v : {-1.0f, 0.5f, 2.0f}) fit.add(u, v, (c.c0 * u + c.c1 * v) + c.c2);
    }
    const PlaneFit::Plane plane = fit.solve();
    EXPECT_NEAR(plane.height, c.c2, 1e-5 * (1 + std::fabs(c.c2)));
    EXPECT_NEAR(plane.normal[0], -c.c0, 1e-5);
    EXPECT_NEAR(plane.normal[1], -c.c1, 1e-5);
    EXPECT_EQ(plane.normal[2], 1.0f);
  }
}

TEST(PlaneFit, KernelWeightsSumToOneAndReproduceTheHeight) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> coordinate(-6.0f, 6.0f);
  for (const int n : {3, 4, 10, 50, 150}) {
    for (int trial = 0; trial < 20; ++trial) {
      SCOPED_TRACE(testing::Message() << "n = " << n << ", trial " << trial);
      std::vector<Point> points = {{0, 0, coordinate(rng)}};  // the estimated point first
      for (int k = 1; k < n; ++k) points.push_back({coordinate(rng), coordinate(rng), coordinate(rng)});
      const PlaneFit::Plane plane = fit_of(points).solve();
      double sum = 0, moment_u = 0, moment_v = 0, height = 0, scale = 0;
      for (const Point& p : points) {
        const double g = weight(plane.kernel, p);
        sum += g;
        moment_u += g * p[0];
        moment_v += g * p[1];
        height += g * p[2];
        scale += std::fabs(g) * 6.0;
      }
      EXPECT_NEAR(sum, 1.0, 1e-5 * scale);
      EXPECT_NEAR(moment_u, 0.0, 1e-5 * scale);
      EXPECT_NEAR(moment_v, 0.0, 1e-5 * scale);
      EXPECT_NEAR(plane.height, height, 1e-5 * scale);
    }
  }
}

TEST(PlaneFit, CollinearPointsGiveANaNKernelOrHugeWeights) {
  struct Case {
    const char* what;
    std::vector<Point> points;
  };
  const Case cases[] = {
      {"along u", {{0, 0, 0}, {1, 0, 1}, {3, 0, 2}}},
      {"along v", {{0, 0, 0}, {0, 2, 1}, {0, 5, -1}}},
      {"four along u", {{0, 0, 0}, {1, 0, 1}, {2, 0, 2}, {-4, 0, 0.5f}}},
      {"diagonal", {{0, 0, 0}, {0.1f, 0.1f, 1}, {0.7f, 0.7f, 2}, {3, 3, 0}}},
      {"one point", {{0, 0, 2}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::array<float, 3> z = fit_of(c.points).solve().kernel;
    const bool huge = std::fabs(z[0]) > 1e6f || std::fabs(z[1]) > 1e6f || std::fabs(z[2]) > 1e6f;
    EXPECT_TRUE(PlaneFit::kernel_has_nan(z) || huge) << z[0] << " " << z[1] << " " << z[2];
  }
}

}  // namespace
}  // namespace vandrel
