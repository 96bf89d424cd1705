#include "source_code_withOctree/polynom_kernel_ICI_octant_single_est_order1.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "emx_fixture.h"
#include "host/native_host.h"

namespace vandrel {
namespace {

using fixtures::TestArray;

struct Fit {
  float estimate = -99.0f;
  std::vector<float> g;
  std::int32_t g_rows = -1;
  float normal[3] = {-99.0f, -99.0f, -99.0f};
};

// P given as rows (u, v, w).
Fit fit(Context& ctx, const std::vector<std::vector<float>>& rows) {
  const auto n = static_cast<std::int32_t>(rows.size());
  std::vector<float> values(3 * rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (std::size_t k = 0; k < 3; ++k) values[i + rows.size() * k] = rows[i][k];
  }
  TestArray P(ctx, {n, 3}, values);
  TestArray g(ctx, {0, 0});
  Fit f;
  polynom_kernel_ICI_octant_single_est_order1(ctx, P.get(), &f.estimate, g.get(), f.normal);
  f.g_rows = g.size(0);
  EXPECT_EQ(g.size(1), n);
  f.g = g.values();
  return f;
}

TEST(polynom_kernel_ICI_octant_single_est_order1, FourCornersOfTheUnitSquare) {
  NativeHost host;
  Context ctx(host);
  // Least-squares plane w = 2u + 2v - 1.
  const Fit f = fit(ctx, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 4}});
  EXPECT_EQ(f.g_rows, 1);
  const float kernel[4] = {0.75f, 0.25f, 0.25f, -0.25f};
  ASSERT_EQ(f.g.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(f.g[static_cast<std::size_t>(i)], kernel[i], 1e-6f) << i;
  EXPECT_NEAR(f.estimate, -1.0f, 1e-5f);
  EXPECT_NEAR(f.normal[0], -2.0f, 1e-5f);
  EXPECT_NEAR(f.normal[1], -2.0f, 1e-5f);
  EXPECT_EQ(f.normal[2], 1.0f);
}

TEST(polynom_kernel_ICI_octant_single_est_order1, PointsOnAPlaneGiveItsOffsetAndNormal) {
  NativeHost host;
  Context ctx(host);
  const float c1 = 0.5f, c2 = -0.25f, c3 = 0.75f;
  std::vector<std::vector<float>> rows = {{0, 0, c3}};
  for (const float u : {-2.0f, 1.0f, 3.0f}) {
    for (const float v : {-1.0f, 0.5f, 2.0f}) rows.push_back({u, v, c1 * u + c2 * v + c3});
  }
  const Fit f = fit(ctx, rows);
  EXPECT_NEAR(f.estimate, c3, 1e-5f);
  EXPECT_NEAR(f.normal[0], -c1, 1e-5f);
  EXPECT_NEAR(f.normal[1], -c2, 1e-5f);
  EXPECT_EQ(f.normal[2], 1.0f);
}

TEST(polynom_kernel_ICI_octant_single_est_order1, KernelReproducesConstantsAndLinearFunctions) {
  NativeHost host;
  Context ctx(host);
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> coordinate(-6.0f, 6.0f);
  for (const int n : {3, 4, 10, 50, 150}) {
    for (int trial = 0; trial < 20; ++trial) {
      SCOPED_TRACE(::testing::Message() << "n = " << n << ", trial " << trial);
      // Row 1 is the origin, the point being estimated.
      std::vector<std::vector<float>> rows = {{0, 0, 0}};
      for (int i = 1; i < n; ++i) rows.push_back({coordinate(rng), coordinate(rng), coordinate(rng)});
      const Fit f = fit(ctx, rows);
      double sum = 0.0, moment_u = 0.0, moment_v = 0.0, estimate = 0.0, scale = 0.0;
      for (int i = 0; i < n; ++i) {
        const double g = f.g[static_cast<std::size_t>(i)];
        sum += g;
        moment_u += g * rows[static_cast<std::size_t>(i)][0];
        moment_v += g * rows[static_cast<std::size_t>(i)][1];
        estimate += g * rows[static_cast<std::size_t>(i)][2];
        scale += std::fabs(g) * 6.0;
      }
      EXPECT_NEAR(sum, 1.0, 1e-4);
      EXPECT_NEAR(moment_u, 0.0, 1e-5 * scale);
      EXPECT_NEAR(moment_v, 0.0, 1e-5 * scale);
      EXPECT_NEAR(f.estimate, estimate, 1e-5 * scale);
    }
  }
}

TEST(polynom_kernel_ICI_octant_single_est_order1, DegenerateNeighbourhoods) {
  NativeHost host;
  Context ctx(host);
  const std::int64_t live_before = host.live_allocations();
  struct Case {
    const char* name;
    std::vector<std::vector<float>> rows;
  };
  const Case collinear[] = {
      {"along u", {{0, 0, 0}, {1, 0, 1}, {3, 0, 2}}},
      {"along v", {{0, 0, 0}, {0, 2, 1}, {0, 5, -1}}},
      {"four on u", {{0, 0, 0}, {1, 0, 1}, {2, 0, 2}, {-4, 0, 0.5f}}},
  };
  for (const Case& c : collinear) {
    SCOPED_TRACE(c.name);
    const Fit f = fit(ctx, c.rows);
    bool any_non_finite = false;
    for (const float g : f.g) any_non_finite = any_non_finite || !std::isfinite(g);
    EXPECT_TRUE(any_non_finite);
  }
  {
    SCOPED_TRACE("one point");
    const Fit f = fit(ctx, {{0, 0, 2}});
    EXPECT_EQ(f.g.size(), 1u);
    EXPECT_EQ(f.normal[2], 1.0f);
  }
  {
    SCOPED_TRACE("no points");
    const Fit f = fit(ctx, {});
    EXPECT_EQ(f.g_rows, 1);
    EXPECT_TRUE(f.g.empty());
    EXPECT_EQ(f.estimate, 0.0f);
    EXPECT_EQ(f.normal[0], 0.0f);
    EXPECT_EQ(f.normal[1], 0.0f);
    EXPECT_EQ(f.normal[2], 1.0f);
  }
  EXPECT_EQ(host.live_allocations(), live_before);
}

}  // namespace
}  // namespace vandrel
