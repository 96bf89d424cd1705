#include "host/kd_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <random>
#include <utility>
#include <vector>

#include "host/native_host.h"
#include "vandrel/error.h"

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

TEST(NativeHost, SearchesAnswerAnyRangeOfPointsInOrder) {
  std::string console;
  NativeHost host({2, [&](std::string_view text) { console.append(text); }, {}});
  const std::vector<Point> points = {{0, 0, 0}, {1, 0, 0}, {3, 0, 0}, {3.5f, 0, 0}};  // on a line
  NeighbourLists ranges;
  const std::unique_ptr<NeighbourSearch> radius = host.radius_neighbours(points, 1.0f);
  radius->find(1, 4, nullptr, ranges);
  // The square |x - 0.5| < 1, |y - 0.5| < 1 round (0.5, 0.5, 0), off its axes.
  const std::vector<EstimateRegion> region = {{{0.5f, 0.5f, 0}, Frame{{1, 0, 0, 0, 1, 0, 0, 0, 1}}, 1.0f, 1.0f}};
  const CellGrid grid(points, 1.0f);
  const NeighbourSearch::Narrowing narrowing{points, region, grid};
  radius->find(0, 1, &narrowing, ranges);
  ASSERT_EQ(ranges.size(), 4);
  EXPECT_EQ(std::vector<std::int32_t>(ranges[0].begin(), ranges[0].end()), (std::vector<std::int32_t>{0, 1}));
  EXPECT_EQ(std::vector<std::int32_t>(ranges[1].begin(), ranges[1].end()), (std::vector<std::int32_t>{2, 3}));
  EXPECT_EQ(std::vector<std::int32_t>(ranges[2].begin(), ranges[2].end()), (std::vector<std::int32_t>{2, 3}));
  EXPECT_EQ(std::vector<std::int32_t>(ranges[3].begin(), ranges[3].end()), (std::vector<std::int32_t>{0, 1}));

  NeighbourLists nearest;
  host.nearest_neighbours(points, 2, nullptr)->find(0, 4, nullptr, nearest);
  EXPECT_EQ(std::vector<std::int32_t>(nearest[0].begin(), nearest[0].end()), (std::vector<std::int32_t>{0, 1}));
  EXPECT_EQ(std::vector<std::int32_t>(nearest[2].begin(), nearest[2].end()), (std::vector<std::int32_t>{2, 3}));

  host.pass_done(2);
  host.points_processed(41.666668f);
  EXPECT_EQ(console, "////////////////////// itr = 2 done ////////////////////// \n41.67% of points processed\n");
}

}  // namespace
}  // namespace vandrel
