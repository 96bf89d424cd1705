#include "host/kd_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

#include "host/native_host.h"
#include "api/error.h"

namespace vandrel {
namespace {

// Column-major cloud on an integer grid with repeated points: many distances tie and
// many points lie exactly at integer radii.
std::vector<float> grid_cloud(std::int64_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> coordinate(-4, 4);
  std::vector<float> xyz(static_cast<std::size_t>(3 * n));
  for (auto& v : xyz) v = static_cast<float>(coordinate(rng));
  return xyz;
}

double squared_distance(const std::vector<float>& xyz, std::int64_t n, std::int64_t i, const float q[3]) {
  double d = 0.0;
  for (int c = 0; c < 3; ++c) {
    const double diff = static_cast<double>(q[c]) - static_cast<double>(xyz[static_cast<std::size_t>(i + n * c)]);
    d += diff * diff;
  }
  return d;
}

std::vector<std::pair<double, std::int32_t>> brute_force(const std::vector<float>& xyz, std::int64_t n,
                                                          const float q[3]) {
  std::vector<std::pair<double, std::int32_t>> all;
  for (std::int64_t i = 0; i < n; ++i) all.push_back({squared_distance(xyz, n, i, q), static_cast<std::int32_t>(i)});
  std::sort(all.begin(), all.end());
  return all;
}

TEST(KdSearch, RadiusSearchMatchesBruteForceIncludingTiesAtTheRadius) {
  const std::int64_t n = 400;
  const std::vector<float> xyz = grid_cloud(n, 7);
  const KdSearch search(xyz.data(), n);
  for (const float radius : {0.0f, 1.0f, 2.0f, 3.0f, 1.5f}) {
    for (std::int64_t i = 0; i < n; i += 13) {
      SCOPED_TRACE(testing::Message() << "radius " << radius << " query " << i);
      const float q[3] = {xyz[static_cast<std::size_t>(i)], xyz[static_cast<std::size_t>(n + i)],
                          xyz[static_cast<std::size_t>(2 * n + i)]};
      std::vector<std::int32_t> expected;
      for (const auto& [d, row] : brute_force(xyz, n, q)) {
        if (d <= static_cast<double>(radius) * radius) expected.push_back(row);
      }
      const std::vector<std::int32_t> found = search.within(q, radius);
      EXPECT_EQ(found, expected);
      EXPECT_NE(std::find(found.begin(), found.end(), i), found.end());  // the point itself
    }
  }
}

TEST(KdSearch, NearestSettlesTiesAtTheKthDistanceByRowNumber) {
  const std::int64_t n = 300;
  const std::vector<float> xyz = grid_cloud(n, 11);
  const KdSearch search(xyz.data(), n);
  for (const std::int32_t k : {1, 5, 50}) {
    for (std::int64_t i = 0; i < n; i += 17) {
      SCOPED_TRACE(testing::Message() << "k " << k << " query " << i);
      const float q[3] = {xyz[static_cast<std::size_t>(i)], xyz[static_cast<std::size_t>(n + i)],
                          xyz[static_cast<std::size_t>(2 * n + i)]};
      std::vector<std::int32_t> expected;
      for (const auto& [d, row] : brute_force(xyz, n, q)) {
        if (static_cast<std::int32_t>(expected.size()) < k) expected.push_back(row);
      }
      EXPECT_EQ(search.nearest(q, k), expected);
    }
  }
}

TEST(KdSearch, NonFinitePointsAreNeverFound) {
  const float nan = std::nanf("");
  const std::vector<float> xyz = {0, nan, 1, 0, 0, 0, 0, 0, 0};  // 3 points, the second has x = NaN
  const KdSearch search(xyz.data(), 3);
  const float q[3] = {0, 0, 0};
  EXPECT_EQ(search.within(q, 5.0f), (std::vector<std::int32_t>{0, 2}));
  EXPECT_EQ(search.nearest(q, 3), (std::vector<std::int32_t>{0, 2}));
  const float bad[3] = {nan, 0, 0};
  EXPECT_TRUE(search.within(bad, 5.0f).empty());
}

TEST(NativeHost, SearchesAnswerInTheHostsOwnShapes) {
  NativeHost host;
  const std::vector<float> xyz = {0, 1, 3, 0, 0, 0, 0, 0, 0};  // x = 0, 1, 3 on a line
  const Value points = Value::single_matrix(xyz.data(), 3, 3);
  const Value ranges = host.call("rangesearch", {points, points, Value::single_scalar(1.0f),
                                                 Value::char_row("Distance"), Value::char_row("euclidean"),
                                                 Value::char_row("NSMethod"), Value::char_row("kdtree")});
  ASSERT_EQ(ranges.cls, ValueClass::Cell);
  EXPECT_EQ(ranges.dims, (std::vector<std::int64_t>{3, 1}));
  EXPECT_EQ(ranges.cells[0].f64, (std::vector<double>{1, 2}));
  EXPECT_EQ(ranges.cells[1].f64, (std::vector<double>{2, 1}));
  EXPECT_EQ(ranges.cells[2].f64, (std::vector<double>{3}));

  const Value nearest = host.call("knnsearch", {points, points, Value::char_row("K"), Value::single_scalar(2.0f),
                                                Value::char_row("NSMethod"), Value::char_row("kdtree")});
  EXPECT_EQ(nearest.dims, (std::vector<std::int64_t>{3, 2}));
  EXPECT_EQ(nearest.f64, (std::vector<double>{1, 2, 3, 2, 1, 2}));  // column-major

  Value halves;
  halves.dims = {1, 4};
  halves.f64 = {2.5, -2.5, 1e12, std::nan("")};
  const Value rounded = host.call("int32", {halves});
  EXPECT_EQ(rounded.i32, (std::vector<std::int32_t>{3, -3, 2147483647, 0}));

  EXPECT_THROW(host.call("knnsearch", {points, points, Value::char_row("K"), Value::single_scalar(4.0f),
                                       Value::char_row("NSMethod"), Value::char_row("kdtree")}),
               Error);
  EXPECT_THROW(host.call("no_such_function", {}), Error);
}

}  // namespace
}  // namespace vandrel
