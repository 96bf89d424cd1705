#include "core/neighbours.h"

#include <gtest/gtest.h>

#include <array>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "clouds.h"

namespace vandrel {
namespace {

using fixtures::brute_force_within;
using fixtures::sorted_by_cell;

TEST(CellGrid, CellOrderIsAStableSortByCellNumberedXFastest) {
  struct Case {
    const char* what;
    std::vector<Point> points;
    float side;
    std::vector<std::int32_t> order;
  };
  const Case cases[] = {
      // Cells on the lattice from the origin: 2, 0, 1, 0, 2.
      {"along x", {{2.5f, 0, 0}, {0.1f, 0, 0}, {1.2f, 0, 0}, {0.3f, 0, 0}, {2.9f, 0, 0}}, 1.0f, {1, 3, 2, 0, 4}},
      // A 2 x 2 x 2 grid: cells 2, 1, 4, 0.
      {"x fastest, then y, then z", {{0, 1, 0}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}}, 1.0f, {3, 1, 0, 2}},
      {"one cell keeps input order", {{0.3f, 0.2f, 0.1f}, {0, 0, 0}, {0.1f, 0.3f, 0.2f}}, 1.0f, {0, 1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(CellGrid::cell_order(c.points, c.side), c.order);
  }
}

TEST(CellGrid, CellOrderSortsRandomCloudsStablyOnAnyNumberOfThreads) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> coordinate(-20.0f, 20.0f);
  std::vector<Point> points(9000);
  for (Point& p : points) p = {coordinate(rng), coordinate(rng), 0.1f * coordinate(rng)};
  const float side = 2.5f;
  // A cell as (z, y, x) lattice indices: compared lexicographically, as cells are ordered.
  std::vector<std::array<double, 3>> cells;
  for (const Point& p : points) {
    cells.push_back({std::floor(double{p[2]} / side), std::floor(double{p[1]} / side), std::floor(double{p[0]} / side)});
  }
  // Three threads sort three shares and merge an odd one out.
  for (const int threads : {1, 2, 3}) {
    SCOPED_TRACE(threads);
    const std::vector<std::int32_t> order = CellGrid::cell_order(points, side, threads);
    ASSERT_EQ(order.size(), points.size());
    std::vector<bool> seen(points.size(), false);
    for (std::size_t k = 0; k < order.size(); ++k) {
      const auto at = static_cast<std::size_t>(order[k]);
      ASSERT_FALSE(seen[at]);
      seen[at] = true;
      if (k == 0) continue;
      const auto before = static_cast<std::size_t>(order[k - 1]);
      ASSERT_TRUE(cells[before] < cells[at] || (cells[before] == cells[at] && before < at)) << k;
    }
  }
}

// within() over points sorted by cell, against comparing with every point.
void expect_within_matches_brute_force(const std::vector<Point>& cloud, float side, const std::vector<Point>& queries,
                                       const std::vector<float>& reaches) {
  const std::vector<Point> points = sorted_by_cell(cloud, side);
  const CellGrid grid(points, side);
  for (const float reach : reaches) {
    for (std::size_t k = 0; k < queries.size(); ++k) {
      SCOPED_TRACE(testing::Message() << "reach " << reach << ", query " << k);
      std::vector<std::int32_t> found = {-7};  // within() appends
      grid.within(points, queries[k], reach, found);
      std::vector<std::int32_t> expected = brute_force_within(points, queries[k], reach);
      expected.insert(expected.begin(), -7);
      ASSERT_EQ(found, expected);
    }
  }
}

TEST(CellGrid, WithinEqualsABruteForceSearch) {
  std::mt19937 rng(8);
  std::uniform_real_distribution<float> coordinate(-5.0f, 5.0f);
  std::vector<Point> cloud(1500);
  for (Point& p : cloud) p = {coordinate(rng), coordinate(rng), coordinate(rng)};
  std::vector<Point> queries(cloud.begin(), cloud.begin() + 40);
  queries.push_back({30.0f, -30.0f, 0.0f});   // outside the grid
  queries.push_back({-5.5f, 5.5f, 5.5f});     // just outside a corner
  expect_within_matches_brute_force(cloud, 1.0f, queries, {0.0f, 0.3f, 1.0f, 2.7f, 9.0f});
  // Sparse: a million cells for each point, boxes of up to 800^3 mostly empty cells, whose
  // walk jumps from occupied cell to occupied cell.
  std::uniform_real_distribution<float> far_coordinate(-500.0f, 500.0f);
  std::vector<Point> sparse(300);
  for (Point& p : sparse) p = {far_coordinate(rng), far_coordinate(rng), far_coordinate(rng)};
  const std::vector<Point> sparse_queries(sparse.begin(), sparse.begin() + 30);
  expect_within_matches_brute_force(sparse, 1.0f, sparse_queries, {5.0f, 60.0f, 150.0f, 400.0f});
}

TEST(CellGrid, NearestEqualsABruteForceSearchWithTiesByRow) {
  // An integer lattice with repeated points: many distances tie, and the k nearest are the
  // k smallest (squared distance, row) pairs. Also a cloud fewer than k, a sparse cloud and
  // queries off the grid.
  std::vector<Point> lattice;
  for (int k = 0; k < 900; ++k) lattice.push_back({static_cast<float>(k % 10), static_cast<float>((k / 10) % 9), static_cast<float>(k % 7 == 0 ? 0 : k / 90)});
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> far_coordinate(-500.0f, 500.0f);
  std::vector<Point> sparse(200);
  for (Point& p : sparse) p = {far_coordinate(rng), far_coordinate(rng), far_coordinate(rng)};
  std::vector<Point> few(lattice.begin(), lattice.begin() + 30);
  for (const std::vector<Point>* cloud : {&lattice, &sparse, &few}) {
    const CellGrid grid(*cloud, 6.0f);
    CellGrid::NearestScratch scratch;  // carried from query to query, as the search does
    std::vector<Point> queries(cloud->begin(), cloud->begin() + 25);
    queries.push_back({700.0f, -3.0f, 2.5f});
    for (const Point& q : queries) {
      std::vector<CellGrid::Neighbour> all;
      for (std::size_t r = 0; r < cloud->size(); ++r) {
        const double dx = static_cast<double>(q[0]) - (*cloud)[r][0];
        const double dy = static_cast<double>(q[1]) - (*cloud)[r][1];
        const double dz = static_cast<double>(q[2]) - (*cloud)[r][2];
        all.push_back({(dx * dx + dy * dy) + dz * dz, static_cast<std::int32_t>(r)});
      }
      std::sort(all.begin(), all.end());
      std::vector<std::int32_t> expected;
      for (std::size_t k = 0; k < std::min<std::size_t>(50, all.size()); ++k) expected.push_back(all[k].second);
      std::vector<std::int32_t> found;
      grid.nearest(q, 50, scratch, found);
      ASSERT_EQ(found, expected) << q[0] << " " << q[1] << " " << q[2];
    }
  }
}

TEST(CellGrid, EachRegionOfAGroupListsWhatItHolds) {
  // Regions of consecutive points, each in its own tilted frame, in groups of eight that
  // share one walk: a region's own runs list exactly the points it holds, in cell order, as
  // the group's runs do. A compact cloud (cells looked up in a table) and the same cloud
  // 40 times sparser (cells walked).
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> coordinate(-20.0f, 20.0f);
  std::normal_distribution<float> noise(0.0f, 1.5f);
  for (const float scale : {1.0f, 40.0f}) {
    SCOPED_TRACE(scale);
    std::vector<Point> cloud(3000);
    for (Point& p : cloud) {
      const float x = coordinate(rng);
      const float y = coordinate(rng);
      p = {scale * x, scale * y, scale * (0.3f * x + noise(rng))};
    }
    cloud = sorted_by_cell(cloud, block_cell_side);  // rows in cell order
    const CellGrid grid(cloud, block_cell_side);
    std::vector<EstimateRegion> regions;
    for (std::size_t i = 1200; i < 1264; ++i) {
      const double turn = 0.1 * static_cast<double>(i);
      const double c = std::cos(turn), s = std::sin(turn), ca = std::cos(0.3), sa = std::sin(0.3);
      const double axes[9] = {c, s * ca, s * sa, -s, c * ca, c * sa, 0, -sa, ca};
      Frame frame;
      for (std::size_t e = 0; e < 9; ++e) frame.axes[e] = static_cast<float>(axes[e]);
      regions.push_back({cloud[i], frame, scale * 7.0f, scale * 3.0f, {}, {}});
    }
    std::vector<CellGrid::Runs> runs_of;
    CellGrid::Runs runs;
    for (std::size_t first = 0; first < regions.size(); first += 8) {
      const std::span<const EstimateRegion> group(regions.data() + first, 8);
      grid.runs_meeting(group, runs_of);
      grid.runs_meeting(group, runs);
      ASSERT_EQ(runs_of.size(), group.size());
      for (std::size_t r = 0; r < group.size(); ++r) {
        std::vector<std::int32_t> expected;
        for (std::size_t k = 0; k < cloud.size(); ++k) {
          if (group[r].holds(cloud[k])) expected.push_back(static_cast<std::int32_t>(k));
        }
        std::vector<std::int32_t> own;
        std::vector<std::int32_t> shared;
        LocalCoordinates own_locals;
        LocalCoordinates shared_locals;
        EstimateBoxes boxes;
        grid.within(group[r], runs_of[r], nullptr, own, own_locals, boxes);
        grid.within(group[r], runs, nullptr, shared, shared_locals, boxes);
        ASSERT_FALSE(expected.empty());
        ASSERT_EQ(own, expected) << first + r;
        ASSERT_EQ(shared, expected) << first + r;
        ASSERT_TRUE(std::equal(own_locals.begin(), own_locals.end(), shared_locals.begin(), shared_locals.end()));
      }
    }
  }
}

TEST(CellGrid, WithinIncludesPointsExactlyAtTheReach) {
  // An integer grid: many points lie at exactly 1, 2, sqrt(2)... from a query, and on
  // cell boundaries.
  std::vector<Point> cloud;
  for (int z = 0; z < 4; ++z) {
    for (int y = 0; y < 6; ++y) {
      for (int x = 0; x < 6; ++x) cloud.push_back({static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)});
    }
  }
  const std::vector<Point> queries = {{0, 0, 0}, {2, 3, 1}, {5, 5, 3}, {2.5f, 2.5f, 1.5f}};
  expect_within_matches_brute_force(cloud, 1.0f, queries, {1.0f, 2.0f, 3.0f, std::sqrt(2.0f)});
  expect_within_matches_brute_force(cloud, 0.5f, queries, {1.0f, 2.0f});

  const std::vector<Point> points = sorted_by_cell(cloud, 1.0f);
  const CellGrid grid(points, 1.0f);
  std::vector<std::int32_t> found;
  grid.within(points, {2, 3, 1}, 1.0f, found);
  EXPECT_EQ(found.size(), 7u);  // the point and its six neighbours at exactly 1
  for (const float reach : {-1.0f, std::nanf("")}) {
    found.clear();
    grid.within(points, {2, 3, 1}, reach, found);
    EXPECT_TRUE(found.empty()) << reach;
  }
}

TEST(CellGrid, HugeExtentsWidenTheCells) {
  // Two clusters 1e7 apart with cells of side 0.5 would need 2e7 cells along x: the cells
  // widen by powers of two and the search stays exact.
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> coordinate(0.0f, 4.0f);
  std::vector<Point> cloud;
  for (int k = 0; k < 400; ++k) cloud.push_back({coordinate(rng) + (k % 2 ? 1.0e7f : 0.0f), coordinate(rng), 0.0f});
  const std::vector<Point> queries(cloud.begin(), cloud.begin() + 20);
  expect_within_matches_brute_force(cloud, 0.5f, queries, {1.0f, 3.0f, 20.0f});
}

TEST(CellGrid, CoordinatesNearTheSinglePrecisionRangeStayOnTheGrid) {
  // A flat patch far out along z (its cells counted from there), and queries anywhere in
  // single-precision range: the cell numbers stay within range and the search exact.
  std::mt19937 rng(10);
  std::uniform_real_distribution<float> coordinate(100.0f, 104.0f);
  for (const float z : {0.0f, 1.0e20f, -3.0e38f}) {
    SCOPED_TRACE(z);
    std::vector<Point> cloud;
    for (int k = 0; k < 200; ++k) cloud.push_back({coordinate(rng), coordinate(rng), z});
    const std::vector<Point> queries{cloud[0], cloud[1], {1.0e30f, 101.0f, z}, {-3.0e38f, 3.0e38f, z},
                                     {101.0f, 102.0f, 3.0e38f}};
    expect_within_matches_brute_force(cloud, 0.5f, queries, {1.0f, 3.0f, 20.0f});
  }
}

}  // namespace
}  // namespace vandrel
