#include "core/fusion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace vandrel {
namespace {

// Columns u = (0, 1, 0), v = (0, 0, 1), w = (1, 0, 0): local normals (0, 0, c) point along x.
const Frame frame{{0, 1, 0, 0, 0, 1, 1, 0, 0}};
const std::vector<Point> points = {{0, 0, 0}, {0, 1, 0}, {0, 0, 1}};  // on the plane x = 0
const std::vector<float> noise = {0.5f, 0.5f, 0.5f};

QuadrantEstimate rejected(Point position, float deviation) { return {position, deviation, {0}, std::nullopt}; }

TEST(fuse_estimates, APointListedTwiceInASupportReceivesTheEstimateOnce) {
  // Quadrant 1: the plane x = 1, support {0, 1, 1, 2}: every point lies 1 from it, the
  // mean squared noise is 0.25, so the misfit is 1 - 0.75 x 0.25 = 0.8125.
  // Quadrant 2: the plane x = 0 (normal (0, 0, 2) before normalising), support {0, 2}: no
  // misfit, so the floor sqrt(2 / 2) x 0.25 = 0.25 holds and the weight is 16.
  PointEstimate estimate{frame,
                         {QuadrantEstimate{{1, 0, 0}, 0.2f, {0, 1, 1, 2}, Point{0, 0, 1}},
                          QuadrantEstimate{{0, 0, 0}, 0.4f, {0, 2}, Point{0, 0, 2}}, rejected({0, 0, 0}, 0.5f),
                          rejected({0, 0, 0}, 0.5f)}};
  Accumulators sums(points.size());
  FusionScratch scratch;
  fuse_estimates(points, noise, 0, estimate, sums, scratch);

  const float wa = 1.0f / (0.8125f * 0.8125f);
  const float wb = 16.0f;
  const float weights[3] = {wa + wb, wa, wa + wb};
  const float uses[3] = {2, 1, 2};
  const float variances[3] = {0.04f + 0.16f, 0.04f, 0.04f + 0.16f};
  for (std::size_t j = 0; j < 3; ++j) {
    SCOPED_TRACE(j);
    EXPECT_FLOAT_EQ(sums.weights[j], weights[j]);
    EXPECT_EQ(sums.uses[j], uses[j]);
    EXPECT_FLOAT_EQ(sums.variances[j], variances[j]);
    // n n' w with n = (1, 0, 0): only the xx entry; the target w n n' p only from plane x = 1.
    EXPECT_FLOAT_EQ(sums.normal[j][0], weights[j]);
    for (std::size_t e = 1; e < 9; ++e) EXPECT_EQ(sums.normal[j][e], 0.0f) << e;
    EXPECT_FLOAT_EQ(sums.target[j][0], wa);
    EXPECT_EQ(sums.target[j][1], 0.0f);
    EXPECT_EQ(sums.target[j][2], 0.0f);
  }
}

TEST(fuse_estimates, SumsAddAcrossEstimatesAndTheFloorScalesWithTheSupport) {
  // Twice the same exact plane x = 0 over four supports points: the floor is
  // sqrt(2 / 4) x 0.25, so each estimate weighs 1 / (0.5 x 0.0625) = 32.
  const QuadrantEstimate exact{{0, 0, 0}, 0.1f, {0, 1, 2, 2}, Point{0, 0, 1}};
  const PointEstimate estimate{frame, {exact, rejected({0, 0, 0}, 1), rejected({0, 0, 0}, 1), rejected({0, 0, 0}, 1)}};
  Accumulators sums(points.size());
  FusionScratch scratch;
  fuse_estimates(points, noise, 0, estimate, sums, scratch);
  fuse_estimates(points, noise, 1, estimate, sums, scratch);
  for (std::size_t j = 0; j < 3; ++j) {
    SCOPED_TRACE(j);
    EXPECT_FLOAT_EQ(sums.weights[j], 64.0f);
    EXPECT_EQ(sums.uses[j], 2.0f);
    EXPECT_EQ(sums.target[j], (Point{0, 0, 0}));
  }
}

TEST(fuse_estimates, TheFallbackIsTheInverseVarianceMeanOfTheQuadrantPositions) {
  // Deviations 1, 1, 2, 2 weigh 1, 1, 1/4, 1/4 (total 2.5).
  const PointEstimate estimate{frame,
                               {rejected({0, 0, 0}, 1), rejected({4, 0, 0}, 1), rejected({0, 8, 0}, 2),
                                rejected({2, 2, 2}, 2)}};
  Accumulators sums(points.size());
  FusionScratch scratch;
  fuse_estimates(points, noise, 2, estimate, sums, scratch);
  EXPECT_FLOAT_EQ(sums.fallback[2][0], 4.5f / 2.5f);
  EXPECT_FLOAT_EQ(sums.fallback[2][1], 2.5f / 2.5f);
  EXPECT_FLOAT_EQ(sums.fallback[2][2], 0.5f / 2.5f);
  // Without an accepted plane nothing is added to any sum, and only point 2's fallback is set.
  for (std::size_t j = 0; j < 3; ++j) {
    EXPECT_EQ(sums.weights[j], 0.0f);
    EXPECT_EQ(sums.uses[j], 0.0f);
  }
  EXPECT_EQ(sums.fallback[0], (Point{0, 0, 0}));
}

}  // namespace
}  // namespace vandrel
