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

// The rows whose points a region holds, ascending.
std::vector<std::int32_t> held_by(const std::vector<Point>& points, const EstimateRegion& region) {
  std::vector<std::int32_t> rows;
  for (std::size_t k = 0; k < points.size(); ++k) {
    if (region.holds(points[k])) rows.push_back(static_cast<std::int32_t>(k));
  }
  return rows;
}

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
  const std::vector<std::int32_t> neighbours = held_by(points, estimate_region(in, i, identity_frame));
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

// A noisy tilted plane and a uniform cube.
std::vector<std::vector<Point>> random_clouds() {
  std::mt19937 rng(17);
  std::uniform_real_distribution<float> along(0.0f, 40.0f);
  std::normal_distribution<float> off(0.0f, 0.7f);
  std::vector<Point> plane(700), cube(2500);
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
  EstimateScratch scratch;
  PointEstimate estimate, narrowed, told, sorted_here;
  for (const std::vector<Point>& points : random_clouds()) {
    const CellGrid grid(points, block_cell_side);
    // Small levels on the plane; in the cube, levels whose bands are thicker than the boxes
    // are wide and make every point's ICI accept the large scales.
    std::uniform_real_distribution<float> level(points.size() == 700 ? 0.05f : 3.0f, points.size() == 700 ? 1.0f : 7.0f);
    std::vector<float> noise(points.size());
    for (float& s : noise) s = level(rng);
    for (const float max_half_width : {r0, 25.0f}) {
      SCOPED_TRACE(testing::Message() << points.size() << " points, r0 " << max_half_width);
      const PassInputs in{points, noise, 0.55f, max_half_width};
      const std::vector<std::int32_t> everyone = all_rows(points.size());
      for (std::int32_t i = 0; i < static_cast<std::int32_t>(points.size()); i += 5) {
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

        const EstimateRegion region = estimate_region(in, i, frame);
        const std::vector<std::int32_t> list = held_by(points, region);
        estimate_point(in, i, frame, everyone, scratch, estimate);
        estimate_point(in, i, frame, list, scratch, narrowed);
        for (std::size_t q = 0; q < 4; ++q) {
          const std::vector<std::int32_t>& support = estimate.quadrants[q].support;
          ASSERT_EQ(support.front(), i);
          for (std::size_t k = 1; k < support.size(); ++k) {  // after the point itself
            ASSERT_TRUE(region.holds(points[static_cast<std::size_t>(support[k])])) << support[k];
          }
          // Listing only the rows the region holds changes nothing.
          ASSERT_EQ(narrowed.quadrants[q].support, support);
          ASSERT_EQ(narrowed.quadrants[q].position, estimate.quadrants[q].position);
          ASSERT_EQ(narrowed.quadrants[q].deviation, estimate.quadrants[q].deviation);
          for (std::size_t k = 1; k < narrowed.quadrants[q].support.size(); ++k) {
            ASSERT_TRUE(std::binary_search(list.begin(), list.end(), narrowed.quadrants[q].support[k]));
          }
        }
        // The grid's search in the region tells each listed point's local coordinates and
        // box: the estimates made from them are those made by sorting its list here.
        CellGrid::Runs runs;
        grid.runs_meeting({&region, 1}, runs);
        std::vector<std::int32_t> rows;
        LocalCoordinates locals;
        EstimateBoxes boxes;
        grid.within(region, runs, nullptr, rows, locals, boxes);
        ASSERT_EQ(rows.size(), list.size());
        ASSERT_EQ(boxes.size(), rows.size());
        estimate_point(in, i, frame, rows, scratch, told, locals, boxes);
        estimate_point(in, i, frame, rows, scratch, sorted_here);
        for (std::size_t q = 0; q < 4; ++q) {
          ASSERT_EQ(told.quadrants[q].support, sorted_here.quadrants[q].support);
          ASSERT_EQ(told.quadrants[q].position, sorted_here.quadrants[q].position);
          ASSERT_EQ(told.quadrants[q].deviation, sorted_here.quadrants[q].deviation);
        }
      }
    }
  }
}

TEST(estimate_region, HoldsExactlyThePointsOfTheBoxes) {
  // Points just inside and just outside the far corners of every quadrant's largest box,
  // and on its axes, in a tilted frame and far from the origin: the region holds a point
  // exactly when a box does.
  const double c = std::cos(0.7), s = std::sin(0.7), ca = std::cos(0.4), sa = std::sin(0.4);
  // Rotation about z by 0.7, then about x by 0.4; columns u, v, w.
  const double axes[9] = {c, s * ca, s * sa, -s, c * ca, c * sa, 0, -sa, ca};
  const Frame frame{{static_cast<float>(axes[0]), static_cast<float>(axes[1]), static_cast<float>(axes[2]),
                     static_cast<float>(axes[3]), static_cast<float>(axes[4]), static_cast<float>(axes[5]),
                     static_cast<float>(axes[6]), static_cast<float>(axes[7]), static_cast<float>(axes[8])}};
  struct Case {
    float noise, max_half_width;
  };
  for (const Case k : {Case{0.1f, r0}, Case{5.0f, r0}, Case{5.0f, 25.0f}, Case{3.0f, 30.0f}}) {
    SCOPED_TRACE(testing::Message() << "noise " << k.noise << ", r0 " << k.max_half_width);
    const Point centre = {1000.5f, -2000.25f, 300.125f};
    const QuadrantBoxes boxes = quadrant_boxes(k.noise, k.max_half_width);
    const double side = boxes.half_width.back();
    const double across = std::min(boxes.thickness.back(), k.max_half_width);
    std::vector<Point> points = {centre};
    for (const double scale : {1.0 + 1e-5, 1.0, 1.0 - 1e-7, 1.0 - 1e-6, 1.0 - 1e-5, 0.5, 0.0}) {
      for (const double su : {-1.0, 1.0}) {
        for (const double sv : {-1.0, 0.0, 1.0}) {
          for (const double sw : {-1.0, 1.0}) {
            const double local[3] = {su * side * scale, sv * side * scale, sw * across * scale};
            Point p;
            for (std::size_t a = 0; a < 3; ++a) {
              p[a] = static_cast<float>(centre[a] + (local[0] * axes[a] + local[1] * axes[3 + a] + local[2] * axes[6 + a]));
            }
            points.push_back(p);
          }
        }
      }
    }
    const std::vector<float> noise(points.size(), k.noise);
    const PassInputs in{points, noise, 0.55f, k.max_half_width};
    const EstimateRegion region = estimate_region(in, 0, frame);
    int in_a_box = 0;
    for (const Point& p : points) {
      const Point local = to_local(frame, {p[0] - centre[0], p[1] - centre[1], p[2] - centre[2]});
      const bool boxed = boxes.smallest_box(local).quadrant != 0;
      in_a_box += static_cast<int>(boxed);
      EXPECT_EQ(region.holds(p), boxed);
    }
    EXPECT_GE(in_a_box, 16);
    EXPECT_LT(in_a_box, static_cast<int>(points.size()) - 16);
  }
}

}  // namespace
}  // namespace vandrel
