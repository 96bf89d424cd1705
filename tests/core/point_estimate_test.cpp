#include "core/point_estimate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "clouds.h"
#include "core/quadrant_box.h"

namespace vandrel {
namespace {

using fixtures::brute_force_within;
using fixtures::squared_distance;

constexpr float r0 = std::bit_cast<float>(0x413FFFFFu);
const Frame identity_frame{{1, 0, 0, 0, 1, 0, 0, 0, 1}};

std::vector<std::int32_t> all_rows(std::size_t n) {
  std::vector<std::int32_t> rows(n);
  std::iota(rows.begin(), rows.end(), 0);
  return rows;
}

TEST(estimate_point, OnAnExactPlaneEveryQuadrantTakesTheLargestScaleWithZeroHeight) {
  const std::vector<Point> points = fixtures::grid(31, 31, 1.0f);
  const std::vector<float> noise(points.size(), 0.1f);
  const PassInputs in{points, noise, 0.55f, r0};
  const std::int32_t i = 15 * 31 + 15;  // (15, 15), in the middle
  const std::vector<std::int32_t> neighbours = brute_force_within(points, points[i], estimate_reach(in, i));
  EstimateScratch scratch;
  PointEstimate estimate;
  estimate_point(in, i, identity_frame, neighbours, scratch, estimate);
  for (const QuadrantEstimate& q : estimate.quadrants) {
    EXPECT_EQ(q.position, points[i]);
    ASSERT_TRUE(q.plane);
    EXPECT_EQ(*q.plane, (Point{0, 0, 1}));
    EXPECT_GT(q.deviation, 0.0f);
    EXPECT_LT(q.deviation, 0.1f);
    // The point and the 11 x 11 grid points strictly inside the largest box.
    EXPECT_EQ(q.support.size(), 122u);
  }
}

TEST(estimate_point, TheLargestScaleWhoseIntervalStillIntersects) {
  // Quadrant 1 only: four points at w = 0 in the scale-0 box and three further out, at
  // scale 1, raised by `step`. With noise 0.01 a step of 2 puts the scale-1 height's
  // interval apart from the scale-0 one: scale 0 is kept. Without a step both are accepted.
  struct Case {
    float step;
    std::vector<std::int32_t> support;
  };
  for (const Case& c : {Case{2.0f, {2, 1, 3, 5, 6}}, Case{0.0f, {2, 1, 3, 5, 6, 0, 4, 7}}}) {
    SCOPED_TRACE(c.step);
    const std::vector<Point> points = {{3.5f, 1, c.step}, {2, 2, 0}, {0, 0, 0}, {1, 1, 0},
                                       {1, 3.5f, c.step}, {2, 1, 0}, {1, 2, 0}, {3.5f, 3.5f, c.step}};
    const std::vector<float> noise(points.size(), 0.01f);
    const PassInputs in{points, noise, 0.55f, r0};
    EstimateScratch scratch;
    PointEstimate estimate;
    estimate_point(in, 2, identity_frame, all_rows(points.size()), scratch, estimate);
    const QuadrantEstimate& q1 = estimate.quadrants[0];
    EXPECT_EQ(q1.support, c.support);
    EXPECT_TRUE(q1.plane);
    EXPECT_EQ(q1.position, points[2]);
    for (std::size_t q = 1; q < 4; ++q) {
      EXPECT_EQ(estimate.quadrants[q].support, (std::vector<std::int32_t>{2})) << q;
      EXPECT_FALSE(estimate.quadrants[q].plane) << q;
    }
  }
}

TEST(estimate_point, ALonePointKeepsTheZeroScaleEstimate) {
  const std::vector<Point> points = fixtures::grid(4, 4, 100.0f);
  std::vector<float> noise(points.size());
  for (std::size_t k = 0; k < noise.size(); ++k) noise[k] = 0.5f + 0.01f * static_cast<float>(k);
  const PassInputs in{points, noise, 0.85f, r0};
  EstimateScratch scratch;
  PointEstimate estimate;
  for (const std::int32_t i : {0, 5, 15}) {
    SCOPED_TRACE(i);
    // Also with every block row listed: none is near enough to count.
    for (const std::vector<std::int32_t>& list : {std::vector<std::int32_t>{i}, all_rows(points.size())}) {
      estimate_point(in, i, identity_frame, list, scratch, estimate);
      for (const QuadrantEstimate& q : estimate.quadrants) {
        EXPECT_EQ(q.position, points[static_cast<std::size_t>(i)]);
        EXPECT_EQ(q.deviation, noise[static_cast<std::size_t>(i)]);
        EXPECT_EQ(q.support, (std::vector<std::int32_t>{i}));
        EXPECT_FALSE(q.plane);
      }
    }
  }
}

// A noisy tilted plane and a uniform cube, with noise levels from small to larger than
// the boxes.
std::vector<std::vector<Point>> random_clouds() {
  std::mt19937 rng(17);
  std::uniform_real_distribution<float> along(0.0f, 40.0f);
  std::normal_distribution<float> off(0.0f, 0.7f);
  std::vector<Point> plane(700), cube(900);
  for (Point& p : plane) {
    const float a = along(rng), b = along(rng), c = off(rng);
    p = {a, 0.6f * b + 0.8f * c, 0.8f * b - 0.6f * c};
  }
  std::uniform_real_distribution<float> inside(0.0f, 25.0f);
  for (Point& p : cube) p = {inside(rng), inside(rng), inside(rng)};
  return {plane, cube};
}

TEST(estimate_point, SupportsLieWithinTheReachAndListOnlyRowsOfTheList) {
  std::mt19937 rng(23);
  std::uniform_real_distribution<float> level(0.05f, 5.0f);
  EstimateScratch scratch;
  PointEstimate estimate, narrowed;
  for (const std::vector<Point>& points : random_clouds()) {
    std::vector<float> noise(points.size());
    for (float& s : noise) s = level(rng);
    for (const float max_half_width : {r0, 25.0f}) {
      SCOPED_TRACE(testing::Message() << points.size() << " points, r0 " << max_half_width);
      const PassInputs in{points, noise, 0.55f, max_half_width};
      const std::vector<std::int32_t> everyone = all_rows(points.size());
      for (std::int32_t i = 0; i < static_cast<std::int32_t>(points.size()); i += 7) {
        SCOPED_TRACE(i);
        const Point& p = points[static_cast<std::size_t>(i)];
        // The frame of the 50 nearest points, as the filter builds it.
        std::vector<std::int32_t> order = everyone;
        std::partial_sort(order.begin(), order.begin() + frame_neighbours, order.end(), [&](std::int32_t a, std::int32_t b) {
          return squared_distance(points[static_cast<std::size_t>(a)], p) < squared_distance(points[static_cast<std::size_t>(b)], p);
        });
        std::array<Point, frame_neighbours> nearest;
        for (std::size_t k = 0; k < nearest.size(); ++k) nearest[k] = points[static_cast<std::size_t>(order[k])];
        const Frame frame = local_frame(nearest);

        const float reach = estimate_reach(in, i);
        const std::vector<std::int32_t> list = brute_force_within(points, p, reach);
        estimate_point(in, i, frame, everyone, scratch, estimate);
        estimate_point(in, i, frame, list, scratch, narrowed);
        for (std::size_t q = 0; q < 4; ++q) {
          const std::vector<std::int32_t>& support = estimate.quadrants[q].support;
          ASSERT_EQ(support.front(), i);
          for (const std::int32_t row : support) {
            ASSERT_LE(squared_distance(points[static_cast<std::size_t>(row)], p), static_cast<double>(reach) * reach) << row;
          }
          // Listing only the rows within reach changes nothing.
          ASSERT_EQ(narrowed.quadrants[q].support, support);
          ASSERT_EQ(narrowed.quadrants[q].position, estimate.quadrants[q].position);
          ASSERT_EQ(narrowed.quadrants[q].deviation, estimate.quadrants[q].deviation);
          for (std::size_t k = 1; k < narrowed.quadrants[q].support.size(); ++k) {
            ASSERT_TRUE(std::binary_search(list.begin(), list.end(), narrowed.quadrants[q].support[k]));
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace vandrel
