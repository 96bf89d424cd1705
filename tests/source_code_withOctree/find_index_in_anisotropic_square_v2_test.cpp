#include "source_code_withOctree/find_index_in_anisotropic_square_v2.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "emx_fixture.h"
#include "host/native_host.h"

namespace vandrel {
namespace {

using fixtures::TestArray;

constexpr float nan_f = std::numeric_limits<float>::quiet_NaN();

struct Point {
  float u, v, w;
};

std::vector<float> column_major(const std::vector<Point>& points) {
  const std::size_t K = points.size();
  std::vector<float> values(3 * K);
  for (std::size_t r = 0; r < K; ++r) {
    values[r] = points[r].u;
    values[r + K] = points[r].v;
    values[r + 2 * K] = points[r].w;
  }
  return values;
}

// The quadrant boxes written out from their geometric description, as the reference.
bool inside_quadrant(const Point& p, const Point& c, float a, float b, int q) {
  const bool positive_u = q == 1 || q == 4;
  const bool positive_v = q == 1 || q == 2;
  const bool in_u = positive_u ? (c.u < p.u && p.u < c.u + a) : (c.u - a < p.u && p.u < c.u);
  const bool in_v = positive_v ? (c.v < p.v && p.v < c.v + a) : (c.v - a < p.v && p.v < c.v);
  const bool in_w = c.w - b < p.w && p.w < c.w + b;
  return in_u && in_v && in_w;
}

std::vector<float> select(Context& ctx, const Point& centre, const std::vector<Point>& points, float a, float b,
                          int q, std::int32_t result_dims = 2) {
  TestArray c(ctx, {1, 3}, {centre.u, centre.v, centre.w});
  TestArray P(ctx, {static_cast<std::int32_t>(points.size()), 3}, column_major(points));
  TestArray result = result_dims == 1 ? TestArray(ctx, {7}) : TestArray(ctx, {7, 7});
  find_index_in_anisotropic_square_v2(ctx, c.get(), P.get(), result.get(), a, b, static_cast<float>(q));
  EXPECT_EQ(result.size(0), result.numel());
  if (result_dims == 2) {
    EXPECT_EQ(result.size(1), 1);
  }
  return result.values();
}

TEST(find_index_in_anisotropic_square_v2, QuadrantBoxesMatchTheirGeometry) {
  NativeHost host;
  Context ctx(host);
  const Point centre = {1.0f, 2.0f, 3.0f};
  // A grid that puts points inside, outside and exactly on every face of every box.
  const float du[] = {-2.5f, -2.0f, -1.0f, -0.5f, 0.0f, 0.5f, 1.0f, 2.0f, 2.5f};
  const float dw[] = {-1.5f, -0.5f, -0.25f, 0.0f, 0.5f, 1.0f, 2.0f};
  std::vector<Point> points;
  for (const float x : du) {
    for (const float y : du) {
      for (const float z : dw) points.push_back({centre.u + x, centre.v + y, centre.w + z});
    }
  }
  struct Case {
    float a, b;
  };
  const Case sizes[] = {{2.0f, 0.5f}, {2.0f, 2.0f}, {1.0f, 1.5f}, {0.75f, 0.25f}};
  for (const Case& s : sizes) {
    for (int q = 1; q <= 4; ++q) {
      SCOPED_TRACE(::testing::Message() << "a = " << s.a << ", b = " << s.b << ", q = " << q);
      std::vector<float> expected;
      for (std::size_t r = 0; r < points.size(); ++r) {
        if (inside_quadrant(points[r], centre, s.a, s.b, q)) expected.push_back(static_cast<float>(r + 1));
      }
      EXPECT_FALSE(expected.empty());
      EXPECT_EQ(select(ctx, centre, points, s.a, s.b, q), expected);
    }
  }
}

TEST(find_index_in_anisotropic_square_v2, FacesAndTheCentreLinesAreOutside) {
  NativeHost host;
  Context ctx(host);
  const Point centre = {0.0f, 0.0f, 0.0f};
  const float a = 1.0f;
  const float b = 0.5f;
  struct Case {
    const char* name;
    Point p;
  };
  const Case outside_all[] = {
      {"centre", {0.0f, 0.0f, 0.0f}},
      {"same u", {0.0f, 0.5f, 0.0f}},
      {"same u, negative v", {0.0f, -0.5f, 0.1f}},
      {"same v", {0.5f, 0.0f, 0.0f}},
      {"u at +a", {1.0f, 0.5f, 0.0f}},
      {"u at -a", {-1.0f, 0.5f, 0.0f}},
      {"v at -a", {0.5f, -1.0f, 0.0f}},
      {"w at +b", {0.5f, 0.5f, 0.5f}},
      {"w at -b", {-0.5f, -0.5f, -0.5f}},
      {"NaN u", {nan_f, 0.5f, 0.0f}},
      {"NaN w", {0.5f, 0.5f, nan_f}},
  };
  for (const Case& c : outside_all) {
    for (int q = 1; q <= 4; ++q) {
      SCOPED_TRACE(::testing::Message() << c.name << ", q = " << q);
      EXPECT_TRUE(select(ctx, centre, {c.p}, a, b, q).empty());
    }
  }
  // Just inside each face of quadrant 1.
  const std::vector<Point> inside = {{std::nextafter(0.0f, 1.0f), 0.5f, 0.0f},
                                     {std::nextafter(1.0f, 0.0f), 0.5f, 0.0f},
                                     {0.5f, 0.5f, std::nextafter(0.5f, 0.0f)},
                                     {0.5f, 0.5f, std::nextafter(-0.5f, 0.0f)}};
  EXPECT_EQ(select(ctx, centre, inside, a, b, 1), (std::vector<float>{1, 2, 3, 4}));
}

TEST(find_index_in_anisotropic_square_v2, EmptyInputsAndNaNSizesSelectNothing) {
  NativeHost host;
  Context ctx(host);
  const std::int64_t live_before = host.live_allocations();
  {
    const Point centre = {0.0f, 0.0f, 0.0f};
    for (const std::int32_t dims : {1, 2}) {
      SCOPED_TRACE(dims);
      EXPECT_TRUE(select(ctx, centre, {}, 1.0f, 1.0f, 1, dims).empty());
    }
    const std::vector<Point> points = {{0.5f, 0.5f, 0.0f}, {-0.5f, 0.5f, 0.0f}};
    EXPECT_EQ(select(ctx, centre, points, 1.0f, 1.0f, 1, 1), std::vector<float>{1});
    EXPECT_EQ(select(ctx, centre, points, 1.0f, 1.0f, 2, 1), std::vector<float>{2});
    EXPECT_TRUE(select(ctx, centre, points, nan_f, 1.0f, 1).empty());
    EXPECT_TRUE(select(ctx, centre, points, 1.0f, nan_f, 1).empty());
  }
  EXPECT_EQ(host.live_allocations(), live_before);
}

}  // namespace
}  // namespace vandrel
