#include "core/fusion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

namespace vandrel {
namespace {

// Columns u = (0, 1, 0), v = (0, 0, 1), w = (1, 0, 0): local normals (0, 0, c) point along x.
const Frame frame{{0, 1, 0, 0, 0, 1, 1, 0, 0}};
const std::vector<Point> points = {{0, 0, 0}, {0, 1, 0}, {0, 0, 1}};  // on the plane x = 0
const std::vector<float> noise = {0.5f, 0.5f, 0.5f};

QuadrantEstimate rejected(Point position, float deviation) { return {position, deviation, {0}, std::nullopt}; }

// Fuses the estimates of the points `rows` on `threads` threads.
void fuse(Accumulators& sums, const std::vector<std::int32_t>& rows, const std::vector<PointEstimate>& estimates,
          int threads = 1) {
  Fusion fusion;
  fusion.fuse(threads, points, noise, rows, estimates, sums);
}

TEST(Fusion, APointListedTwiceInASupportReceivesTheEstimateOnce) {
  // Quadrant 1: the plane x = 1, support {0, 1, 1, 2}: every point lies 1 from it, the
  // mean squared noise is 0.25, so the misfit is 1 - 0.75 x 0.25 = 0.8125.
  // Quadrant 2: the plane x = 0 (normal (0, 0, 2) before normalising), support {0, 2}: no
  // misfit, so the floor sqrt(2 / 2) x 0.25 = 0.25 holds and the weight is 16.
  PointEstimate estimate{frame,
                         {QuadrantEstimate{{1, 0, 0}, 0.2f, {0, 1, 1, 2}, Point{0, 0, 1}},
                          QuadrantEstimate{{0, 0, 0}, 0.4f, {0, 2}, Point{0, 0, 2}}, rejected({0, 0, 0}, 0.5f),
                          rejected({0, 0, 0}, 0.5f)}};
  Accumulators sums(points.size());
  fuse(sums, {0}, {estimate});

  const float wa = 1.0f / (0.8125f * 0.8125f);
  const float wb = 16.0f;
  const float weights[3] = {wa + wb, wa, wa + wb};
  const float uses[3] = {2, 1, 2};
  const float variances[3] = {0.04f + 0.16f, 0.04f, 0.04f + 0.16f};
  for (std::size_t j = 0; j < 3; ++j) {
    SCOPED_TRACE(j);
    EXPECT_FLOAT_EQ(sums.sums[j].weight, weights[j]);
    EXPECT_EQ(sums.sums[j].uses, uses[j]);
    EXPECT_FLOAT_EQ(sums.sums[j].variance, variances[j]);
    // n n' w with n = (1, 0, 0): only the xx entry; the target w n n' p only from plane x = 1.
    EXPECT_FLOAT_EQ(sums.sums[j].normal[0], weights[j]);
    for (std::size_t e = 1; e < 9; ++e) EXPECT_EQ(sums.sums[j].normal[e], 0.0f) << e;
    EXPECT_FLOAT_EQ(sums.sums[j].target[0], wa);
    EXPECT_EQ(sums.sums[j].target[1], 0.0f);
    EXPECT_EQ(sums.sums[j].target[2], 0.0f);
  }
}

TEST(Fusion, SumsAddAcrossEstimatesAndTheFloorScalesWithTheSupport) {
  // Twice the same exact plane x = 0 over four supports points: the floor is
  // sqrt(2 / 4) x 0.25, so each estimate weighs 1 / (0.5 x 0.0625) = 32.
  const QuadrantEstimate exact{{0, 0, 0}, 0.1f, {0, 1, 2, 2}, Point{0, 0, 1}};
  const PointEstimate estimate{frame, {exact, rejected({0, 0, 0}, 1), rejected({0, 0, 0}, 1), rejected({0, 0, 0}, 1)}};
  Accumulators sums(points.size());
  fuse(sums, {0, 1}, {estimate, estimate});
  for (std::size_t j = 0; j < 3; ++j) {
    SCOPED_TRACE(j);
    EXPECT_FLOAT_EQ(sums.sums[j].weight, 64.0f);
    EXPECT_EQ(sums.sums[j].uses, 2.0f);
    EXPECT_EQ(sums.sums[j].target, (Point{0, 0, 0}));
  }
}

TEST(Fusion, TheFallbackIsTheInverseVarianceMeanOfTheQuadrantPositions) {
  // Deviations 1, 1, 2, 2 weigh 1, 1, 1/4, 1/4 (total 2.5).
  const PointEstimate estimate{frame,
                               {rejected({0, 0, 0}, 1), rejected({4, 0, 0}, 1), rejected({0, 8, 0}, 2),
                                rejected({2, 2, 2}, 2)}};
  Accumulators sums(points.size());
  fuse(sums, {2}, {estimate});
  EXPECT_FLOAT_EQ(sums.fallback[2][0], 4.5f / 2.5f);
  EXPECT_FLOAT_EQ(sums.fallback[2][1], 2.5f / 2.5f);
  EXPECT_FLOAT_EQ(sums.fallback[2][2], 0.5f / 2.5f);
  // Without an accepted plane nothing is added to any sum, and only point 2's fallback is set.
  for (std::size_t j = 0; j < 3; ++j) {
    EXPECT_EQ(sums.sums[j].weight, 0.0f);
    EXPECT_EQ(sums.sums[j].uses, 0.0f);
  }
  EXPECT_EQ(sums.fallback[0], (Point{0, 0, 0}));
}

TEST(Fusion, SumsDoNotDependOnTheThreadsAcrossChunks) {
  // 600 points on a wavy sheet, each estimate supported by scattered points (some listed
  // twice), fused in three chunks: every sum keeps its bits on 1, 2 and 3 threads, where
  // entries are owned by different threads.
  std::vector<Point> sheet;
  std::vector<float> levels;
  for (int k = 0; k < 600; ++k) {
    sheet.push_back({static_cast<float>(k % 30), static_cast<float>(k / 30), 0.1f * static_cast<float>((k * 7) % 5)});
    levels.push_back(0.2f + 0.01f * static_cast<float>(k % 7));
  }
  std::vector<PointEstimate> estimates;
  for (int k = 0; k < 600; ++k) {
    PointEstimate e{frame, {}};
    for (int q = 0; q < 4; ++q) {
      std::vector<std::int32_t> support = {k};
      for (int j = 1; j < 12; ++j) support.push_back((k * 37 + q * 101 + j * j * 13) % 600);
      support.push_back(support[3]);
      const Point normal{0.1f * static_cast<float>(q), 0.05f * static_cast<float>(k % 3), 1.0f};
      e.quadrants[static_cast<std::size_t>(q)] = QuadrantEstimate{sheet[static_cast<std::size_t>(k)], 0.1f + 0.01f * static_cast<float>(q), support,
                                                                  q == 3 && k % 2 == 0 ? std::nullopt : std::optional<Point>(normal)};
    }
    estimates.push_back(e);
  }
  std::vector<std::int32_t> rows(600);
  for (std::int32_t k = 0; k < 600; ++k) rows[static_cast<std::size_t>(k)] = k;
  std::vector<Accumulators> results;
  for (const int threads : {1, 2, 3}) {
    Accumulators sums(sheet.size());
    Fusion fusion;
    for (std::size_t from = 0; from < 600; from += 250) {
      const std::size_t count = std::min<std::size_t>(250, 600 - from);
      fusion.fuse(threads, sheet, levels, std::span(rows).subspan(from, count), std::span(estimates).subspan(from, count), sums);
    }
    results.push_back(std::move(sums));
  }
  EXPECT_GT(results[0].sums[599].uses, 1.0f);
  for (std::size_t t = 1; t < results.size(); ++t) {
    for (std::size_t j = 0; j < sheet.size(); ++j) {
      const auto& sum = results[t].sums[j];
      const auto& first = results[0].sums[j];
      EXPECT_EQ(sum.normal, first.normal);
      EXPECT_EQ(sum.target, first.target);
      EXPECT_EQ((std::array{sum.weight, sum.variance, sum.uses}), (std::array{first.weight, first.variance, first.uses}));
    }
    EXPECT_EQ(results[t].fallback, results[0].fallback);
  }
}

}  // namespace
}  // namespace vandrel
