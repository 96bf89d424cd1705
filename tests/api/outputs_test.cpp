#include "vandrel/outputs.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

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

}  // namespace
}  // namespace vandrel
