#include "vandrel/outputs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "api/wider_support.h"
#include "core/outliers.h"
#include "test_surfaces.h"
#include "vandrel/vandrel.h"

namespace vandrel {
namespace {

constexpr std::int32_t sphere_points = 4000;
constexpr float sphere_sigma = 0.01f;
// 4000 points on the unit sphere.
constexpr float sphere_density = sphere_points / (4.0f * 3.14159265f);

std::vector<Point> sphere_rows(unsigned seed) {
  const std::vector<float> xyz = fixtures::noisy_sphere(sphere_points, 1.0f, sphere_sigma, seed);
  std::vector<Point> points(sphere_points);
  for (std::size_t i = 0; i < points.size(); ++i) points[i] = {xyz[i], xyz[sphere_points + i], xyz[2 * sphere_points + i]};
  return points;
}

double outward_cosine(const Point& p, const Point& n) {
  const double length = std::sqrt(double{p[0]} * p[0] + double{p[1]} * p[1] + double{p[2]} * p[2]);
  return (double{p[0]} * n[0] + double{p[1]} * n[1] + double{p[2]} * n[2]) / length;
}

TEST(denoise_with_outputs, SphereNormalsPointOutwardAndNoiseIsBelowTheInputs) {
  const std::vector<Point> points = sphere_rows(3);
  OutputRequest request;
  request.normals = true;
  request.noise = true;
  DenoiseOptions one_thread;
  one_thread.threads = 1;
  const DenoiseResult result = denoise_with_outputs(points, sphere_sigma, sphere_density, request, one_thread);
  // The points are denoise's, bit for bit.
  const std::vector<Point> plain = denoise(points, sphere_sigma, sphere_density);
  ASSERT_EQ(std::memcmp(result.points.data(), plain.data(), plain.size() * sizeof(Point)), 0);
  ASSERT_EQ(result.normals.size(), points.size());
  double worst = 1.0;
  double mean_noise = 0.0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const Point& n = result.normals[i];
    EXPECT_NEAR(double{n[0]} * n[0] + double{n[1]} * n[1] + double{n[2]} * n[2], 1.0, 1e-5);
    worst = std::min(worst, outward_cosine(result.points[i], n));  // the consistent rule: outward on a sphere
    EXPECT_GE(result.curvature[i], 0.0f);
    EXPECT_LE(result.curvature[i], 1.0f / 3.0f);
    mean_noise += result.noise[i];
  }
  EXPECT_GT(worst, std::cos(15.0 * 3.14159265 / 180.0));
  mean_noise /= static_cast<double>(points.size());
  EXPECT_GT(mean_noise, 0.0);
  EXPECT_LT(mean_noise, sphere_sigma);  // in the cloud's units, and smaller than the input's noise

  // Outputs do not depend on the thread count.
  DenoiseOptions two_threads;
  two_threads.threads = 2;
  const DenoiseResult again = denoise_with_outputs(points, sphere_sigma, sphere_density, request, two_threads);
  EXPECT_EQ(std::memcmp(again.normals.data(), result.normals.data(), result.normals.size() * sizeof(Point)), 0);
  EXPECT_EQ(std::memcmp(again.noise.data(), result.noise.data(), result.noise.size() * sizeof(float)), 0);
}

TEST(denoise_with_outputs, OrientationRulesAndRowsNotFiltered) {
  const std::vector<Point> sphere = sphere_rows(4);
  std::vector<PointD> points(sphere.size());
  const PointD offset{5.0e5, 5.2e6, 100.0};
  for (std::size_t i = 0; i < sphere.size(); ++i)
    for (std::size_t c = 0; c < 3; ++c) points[i][c] = sphere[i][c] + offset[c];
  points[7][0] = std::nan("");
  std::vector<std::uint8_t> selection(points.size(), 1);
  selection[11] = 0;
  DenoiseOptions options;
  options.selection = selection;

  OutputRequest request;
  request.normals = true;
  request.noise = true;
  request.orientation = NormalOrientation::toward_viewpoint;
  request.target = offset;  // the centre: every normal turns inward
  const DenoiseResultD inward = denoise_with_outputs(points, sphere_sigma, sphere_density, request, options);
  request.orientation = NormalOrientation::along_direction;
  request.target = {0.0, 0.0, -1.0};
  const DenoiseResultD down = denoise_with_outputs(points, sphere_sigma, sphere_density, request, options);
  const std::vector<PointD> plain = denoise(points, sphere_sigma, sphere_density, options);
  ASSERT_EQ(std::memcmp(down.points.data(), plain.data(), plain.size() * sizeof(PointD)), 0);
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (i == 7 || i == 11) {
      // Not filtered: a NaN coordinate, a row left out of the selection.
      EXPECT_TRUE(std::isnan(inward.normals[i][0]) && std::isnan(inward.curvature[i]) && std::isnan(inward.noise[i]));
      continue;
    }
    const Point p{static_cast<float>(points[i][0] - offset[0]), static_cast<float>(points[i][1] - offset[1]),
                  static_cast<float>(points[i][2] - offset[2])};
    EXPECT_LT(outward_cosine(p, inward.normals[i]), 0.0) << i;
    EXPECT_LE(down.normals[i][2], 0.0f) << i;
  }
}

TEST(denoise_with_outputs, ASigmaPerPointOfOneValueGivesTheOneSigmaOutputs) {
  const std::vector<Point> sphere = sphere_rows(4);
  std::vector<PointD> points(sphere.size());
  for (std::size_t i = 0; i < sphere.size(); ++i)
    for (std::size_t c = 0; c < 3; ++c) points[i][c] = sphere[i][c] + 1.0e4;
  points[7][0] = std::nan("");
  std::vector<std::uint8_t> selection(points.size(), 1);
  selection[11] = 0;
  DenoiseOptions options;
  options.selection = selection;
  OutputRequest request;
  request.normals = true;
  request.noise = true;
  const std::vector<float> sigmas(points.size(), sphere_sigma);
  const DenoiseResultD one = denoise_with_outputs(points, sphere_sigma, sphere_density, request, options);
  const DenoiseResultD each = denoise_with_outputs(points, sigmas, sphere_density, request, options);
  const auto same = [](const auto& a, const auto& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0;
  };
  EXPECT_TRUE(same(each.points, one.points));
  EXPECT_TRUE(same(each.normals, one.normals));
  EXPECT_TRUE(same(each.curvature, one.curvature));
  EXPECT_TRUE(same(each.noise, one.noise));
  EXPECT_FALSE(std::isnan(one.noise[0]));

  // Outliers come back from the double call too, and are refused with a sigma per point.
  request.outliers = true;
  EXPECT_EQ(denoise_with_outputs(points, sphere_sigma, sphere_density, request, options).outliers.size(), points.size());
  try {
    denoise_with_outputs(points, sigmas, sphere_density, request, options);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.identifier(), "Vandrel:invalidArgument");
  }
}

// A square grid of side x side points at spacing 1 in the plane z = 0, noise sigma on every
// coordinate, then `extra`.
std::vector<Point> grid_with(std::int32_t side, float sigma, std::span<const Point> extra, std::mt19937& rng) {
  std::normal_distribution<float> noise(0.0f, sigma);
  std::vector<Point> points;
  for (std::int32_t y = 0; y < side; ++y)
    for (std::int32_t x = 0; x < side; ++x)
      points.push_back({static_cast<float>(x) + noise(rng), static_cast<float>(y) + noise(rng), noise(rng)});
  points.insert(points.end(), extra.begin(), extra.end());
  return points;
}

TEST(denoise_with_outputs, AClusterOffTheSurfaceAndAVeilOfMixedPixelsAreFlaggedWholeAndNoSurfacePoint) {
  OutputRequest request;
  request.outliers = true;
  const auto flagged = [](const DenoiseResult& result, std::size_t begin, std::size_t end) {
    return std::count(result.outliers.begin() + static_cast<std::ptrdiff_t>(begin),
                      result.outliers.begin() + static_cast<std::ptrdiff_t>(end), 1);
  };
  {
    SCOPED_TRACE("20 points within 2 spacings of a point 6 spacings over a plane of noise 0.3");
    // The 50 nearest of the cluster's points reach only a few plane points, so that the
    // comparison with the densest of them missed most of it; linked, it is a group of 20.
    std::mt19937 rng(5);
    std::normal_distribution<float> direction(0.0f, 1.0f);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<Point> cluster(20);
    for (Point& p : cluster) {
      const Point d{direction(rng), direction(rng), direction(rng)};
      const float length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
      const float reach = 2.0f * std::cbrt(unit(rng)) / length;
      p = {30.0f + d[0] * reach, 30.0f + d[1] * reach, 6.0f + d[2] * reach};
    }
    const std::vector<Point> points = grid_with(60, 0.3f, cluster, rng);
    const DenoiseResult result = denoise_with_outputs(points, 0.3f, 1.0f, request);
    EXPECT_EQ(flagged(result, 3600, points.size()), 20);
    EXPECT_EQ(flagged(result, 0, 3600), 0);
  }
  {
    SCOPED_TRACE("a depth camera's 100 x 100 rays: a square at depth 1 before a wall at depth 2");
    // The rays that graze the square's edge return a depth between the two: a veil whose
    // points are mostly each other's nearest neighbours, many times sparser than the
    // surfaces on either side.
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> between(1.15f, 1.85f);
    std::normal_distribution<float> depth_noise(0.0f, 0.002f);
    constexpr std::int32_t side = 100;
    const float step = 1.2f / static_cast<float>(side - 1);
    std::vector<Point> points;
    std::vector<std::uint8_t> mixed;
    for (std::int32_t row = 0; row < side; ++row)
      for (std::int32_t column = 0; column < side; ++column) {
        const float u = -0.6f + step * static_cast<float>(column);
        const float v = -0.6f + step * static_cast<float>(row);
        const float edge = std::max(std::fabs(u), std::fabs(v)) - 0.25f;
        const bool grazing = std::fabs(edge) < 0.5f * step;
        const float depth = (grazing ? between(rng) : edge <= 0.0f ? 1.0f : 2.0f) * (1.0f + depth_noise(rng));
        points.push_back({u * depth, v * depth, depth});
        mixed.push_back(grazing ? 1 : 0);
      }
    DenoiseOptions one_thread;
    one_thread.threads = 1;
    const DenoiseResult result = denoise_with_outputs(points, 0.003f, 1.0f / (step * step), request, one_thread);
    std::int64_t veil = 0, veil_flagged = 0, surface_flagged = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
      veil += mixed[i];
      veil_flagged += mixed[i] != 0 && result.outliers[i] != 0 ? 1 : 0;
      surface_flagged += mixed[i] == 0 && result.outliers[i] != 0 ? 1 : 0;
    }
    // The comparison with the densest of a point's own 50 nearest found three in four.
    ASSERT_GT(veil, 100);
    EXPECT_GE(veil_flagged, veil - veil / 32);
    EXPECT_EQ(surface_flagged, 0);
    // Flagged alike by any number of threads.
    DenoiseOptions three_threads;
    three_threads.threads = 3;
    EXPECT_TRUE(denoise_with_outputs(points, 0.003f, 1.0f / (step * step), request, three_threads).outliers ==
                result.outliers);
  }
}

TEST(outlier_flags, IsolationAndFarMovesNeedADistanceOffTheSurfaceAndTwoAgreeingDistancesFlagTogether) {
  // One row per case: first move, median move around, isolation, offset, offset around.
  struct Case {
    const char* what;
    float move, move_around, isolation, offset, offset_around;
    std::uint8_t flagged;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Case cases[] = {
      {"a gap in the surface's sampling: sparse but on the surface", 1.5f, 0.9f, 3.4f, 1.2f, 1.0f, 0},
      {"as sparse, and 3.5 noise levels off", 3.6f, 0.9f, 3.4f, 3.4f, 1.0f, 1},
      {"as sparse, no offset measured: isolation alone", 0.0f, 0.0f, 3.4f, nan, nan, 1},
      {"4.4 and 4.5 off, neither enough alone", 4.4f, 0.9f, 1.5f, 4.5f, 1.5f, 1},
      {"the same in a neighbourhood that moves and spreads alike", 4.4f, 2.0f, 1.5f, 4.5f, 1.5f, 0},
      {"far off its neighbours' plane but not moved (a noisier far wall)", 0.2f, 0.1f, 1.2f, 9.0f, 3.0f, 0},
      {"the surface's own tail at 4 noise levels", 4.1f, 0.9f, 2.5f, 4.1f, 1.0f, 0},
      {"moved far, off its neighbours' plane", 6.0f, 0.9f, 1.5f, 2.0f, 1.0f, 1},
      {"moved as far, on that plane: pulled by a cluster beside it", 6.0f, 0.9f, 1.5f, 0.6f, 1.0f, 0},
  };
  FilterOutputs measured;
  measured.outlier_measures = true;
  measured.reset(std::size(cases));
  WiderSupport wider;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    measured.first_move[i] = cases[i].move;
    measured.move_around[i] = cases[i].move_around;
    measured.isolation[i] = cases[i].isolation;
    measured.spread[i] = 1.2f;
    wider.veil.push_back(1.0f);
    wider.small_group.push_back(0);
    wider.offset.push_back(cases[i].offset);
    wider.offset_around.push_back(cases[i].offset_around);
  }
  const std::vector<std::uint8_t> flags = outlier_flags(measured, wider);
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(flags[i], cases[i].flagged) << cases[i].what;
  // Without the wider support every sparse point is isolated and every far move counts.
  const std::vector<std::uint8_t> alone = outlier_flags(measured, WiderSupport{});
  EXPECT_EQ(alone[0], 1);
  EXPECT_EQ(alone[3], 0);
  EXPECT_EQ(alone[8], 1);
}

TEST(wider_support, SmallGroupsAreThoseBesideALargerOne) {
  // Two rows of points at spacing 1, 10 apart: 60 and 40 points, then 45 and 45.
  const auto rows_of = [](std::int32_t first, std::int32_t second) {
    std::vector<Point> points;
    for (std::int32_t i = 0; i < first; ++i) points.push_back({static_cast<float>(i), 0.0f, 0.0f});
    for (std::int32_t i = 0; i < second; ++i) points.push_back({static_cast<float>(i), 10.0f, 0.0f});
    return points;
  };
  const WiderSupport beside = wider_support(rows_of(60, 40), 0.1f, 1.0f, {}, 2);
  EXPECT_EQ(std::count(beside.small_group.begin(), beside.small_group.begin() + 60, 1), 0);
  EXPECT_EQ(std::count(beside.small_group.begin() + 60, beside.small_group.end(), 1), 40);
  // No group of 50: none is small beside another.
  const WiderSupport alike = wider_support(rows_of(45, 45), 0.1f, 1.0f, {}, 2);
  EXPECT_EQ(std::count(alike.small_group.begin(), alike.small_group.end(), 1), 0);
}

}  // namespace
}  // namespace vandrel
