#include "core/local_frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>

namespace vandrel {
namespace {

using Neighbourhood = std::array<Point, frame_neighbours>;

double dot(const float* a, const std::array<double, 3>& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// 50 points on the plane through `origin` spanned by unit e1 and e2, spread 3 along e1
// and 1 along e2, with noise of the given deviation along the normal.
Neighbourhood tilted_plane(std::mt19937& rng, const std::array<double, 3>& e1, const std::array<double, 3>& e2,
                           const std::array<double, 3>& n, float noise) {
  std::uniform_real_distribution<double> along(-3.0, 3.0), across(-1.0, 1.0);
  std::normal_distribution<double> off(0.0, noise);
  Neighbourhood points;
  for (Point& p : points) {
    const double a = along(rng), b = across(rng), c = off(rng);
    for (std::size_t k = 0; k < 3; ++k) p[k] = static_cast<float>(10.0 + a * e1[k] + b * e2[k] + c * n[k]);
  }
  return points;
}

TEST(local_frame, AxesOfATiltedPlane) {
  // An orthonormal frame tilted against the cloud's axes; n = e1 x e2.
  const double s = 1.0 / std::sqrt(2.0), t = 1.0 / std::sqrt(3.0), r = 1.0 / std::sqrt(6.0);
  const std::array<double, 3> e1 = {s, -s, 0.0}, e2 = {r, r, -2.0 * r}, n = {t, t, t};
  std::mt19937 rng(4);
  for (const float noise : {0.0f, 0.01f}) {
    SCOPED_TRACE(noise);
    const Frame frame = local_frame(tilted_plane(rng, e1, e2, n, noise));
    const float* u = &frame.axes[0];
    const float* v = &frame.axes[3];
    const float* w = &frame.axes[6];
    EXPECT_NEAR(std::fabs(dot(w, n)), 1.0, 1e-4);
    EXPECT_NEAR(std::fabs(dot(u, e1)), 1.0, 1e-4);
    // Orthonormal and right-handed: w = u x v.
    const std::array<double, 3> u_cross_v = {static_cast<double>(u[1]) * v[2] - static_cast<double>(u[2]) * v[1],
                                             static_cast<double>(u[2]) * v[0] - static_cast<double>(u[0]) * v[2],
                                             static_cast<double>(u[0]) * v[1] - static_cast<double>(u[1]) * v[0]};
    for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(w[k], u_cross_v[k], 1e-6);
    EXPECT_NEAR(dot(u, {u[0], u[1], u[2]}), 1.0, 1e-6);
    EXPECT_NEAR(dot(v, {v[0], v[1], v[2]}), 1.0, 1e-6);
    EXPECT_NEAR(dot(u, {v[0], v[1], v[2]}), 0.0, 1e-6);
  }
}

TEST(local_frame, TheOrderOfTheNeighboursDoesNotMatter) {
  std::mt19937 rng(6);
  const std::array<double, 3> e1 = {0.6, 0.8, 0.0}, e2 = {0.0, 0.0, 1.0}, n = {0.8, -0.6, 0.0};
  Neighbourhood points = tilted_plane(rng, e1, e2, n, 0.05f);
  const Frame reference = local_frame(points);
  for (int trial = 0; trial < 10; ++trial) {
    SCOPED_TRACE(trial);
    std::shuffle(points.begin(), points.end(), rng);
    const Frame frame = local_frame(points);
    for (std::size_t k = 0; k < 9; ++k) EXPECT_NEAR(frame.axes[k], reference.axes[k], 1e-6) << k;
  }
}

TEST(local_frame, ANonFiniteCoordinateGivesNaNAxes) {
  std::mt19937 rng(2);
  for (const float bad : {std::nanf(""), INFINITY}) {
    SCOPED_TRACE(bad);
    Neighbourhood points = tilted_plane(rng, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, 0.1f);
    points[17][1] = bad;
    const Frame frame = local_frame(points);
    EXPECT_TRUE(std::all_of(frame.axes.begin(), frame.axes.end(), [](float a) { return std::isnan(a); }));
  }
}

}  // namespace
}  // namespace vandrel
