#include "numeric/symmetric_eigen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace vandrel {
namespace {

using Matrix = std::array<float, 9>;
using Point = std::array<double, 3>;

Matrix symmetric(float a00, float a01, float a02, float a11, float a12, float a22) {
  return {a00, a01, a02, a01, a11, a12, a02, a12, a22};
}

double max_entry(const Matrix& a) {
  double m = 0.0;
  for (const float x : a) m = std::max(m, std::fabs(static_cast<double>(x)));
  return m;
}

double dot(const float* u, const Point& v) { return u[0] * v[0] + u[1] * v[1] + u[2] * v[2]; }

// What every decomposition must satisfy, checked in double (long double for the
// characteristic polynomial): small residuals, an orthonormal right-handed frame, the values
// ordered by magnitude and matching the polynomial's coefficients, and the sign rule on the
// first two columns.
void expect_valid(const Matrix& a, const SymmetricEigen& e) {
  const double norm = max_entry(a);
  for (int k = 0; k < 3; ++k) {
    const float* v = &e.vectors[3 * k];
    for (int i = 0; i < 3; ++i) {
      double r = -static_cast<double>(e.values[k]) * v[i];
      for (int j = 0; j < 3; ++j) r += static_cast<double>(a[i + 3 * j]) * v[j];
      EXPECT_LE(std::fabs(r), 1e-6 * norm) << "residual of column " << k << ", row " << i;
    }
    for (int l = 0; l < 3; ++l) {
      double g = 0.0;
      for (int i = 0; i < 3; ++i) g += static_cast<double>(v[i]) * e.vectors[3 * l + i];
      EXPECT_NEAR(g, k == l ? 1.0 : 0.0, 1e-6) << "columns " << k << ", " << l;
    }
  }
  const float* v = e.vectors.data();
  const double det = v[0] * (static_cast<double>(v[4]) * v[8] - static_cast<double>(v[5]) * v[7]) -
                     v[3] * (static_cast<double>(v[1]) * v[8] - static_cast<double>(v[2]) * v[7]) +
                     v[6] * (static_cast<double>(v[1]) * v[5] - static_cast<double>(v[2]) * v[4]);
  EXPECT_NEAR(det, 1.0, 1e-6) << "right-handed";
  EXPECT_GE(std::fabs(e.values[0]), std::fabs(e.values[1]));
  EXPECT_GE(std::fabs(e.values[1]), std::fabs(e.values[2]));
  for (int k = 0; k < 2; ++k) {
    const float* c = &e.vectors[3 * k];
    const auto largest = std::max_element(c, c + 3, [](float x, float y) { return std::fabs(x) < std::fabs(y); });
    EXPECT_GT(*largest, 0.0f) << "sign of column " << k;
  }

  using Long = long double;
  auto at = [&](int i, int j) { return static_cast<Long>(a[i + 3 * j]); };
  const Long trace = at(0, 0) + at(1, 1) + at(2, 2);
  const Long minors = at(0, 0) * at(1, 1) - at(0, 1) * at(0, 1) + at(0, 0) * at(2, 2) - at(0, 2) * at(0, 2) +
                      at(1, 1) * at(2, 2) - at(1, 2) * at(1, 2);
  const Long determinant = at(0, 0) * (at(1, 1) * at(2, 2) - at(1, 2) * at(1, 2)) -
                           at(0, 1) * (at(0, 1) * at(2, 2) - at(1, 2) * at(0, 2)) +
                           at(0, 2) * (at(0, 1) * at(1, 2) - at(1, 1) * at(0, 2));
  const Long l0 = e.values[0], l1 = e.values[1], l2 = e.values[2];
  const Long n = norm > 0.0 ? static_cast<Long>(norm) : 1.0L;
  EXPECT_LE(std::fabs(static_cast<double>((l0 + l1 + l2 - trace) / n)), 1e-6);
  EXPECT_LE(std::fabs(static_cast<double>((l0 * l1 + l0 * l2 + l1 * l2 - minors) / (n * n))), 1e-6);
  EXPECT_LE(std::fabs(static_cast<double>((l0 * l1 * l2 - determinant) / (n * n * n))), 1e-6);
}

TEST(symmetric_eigen_3x3, WorkedExamples) {
  const float h = static_cast<float>(1.0 / std::sqrt(2.0));
  struct Case {
    std::string name;
    Matrix a;
    std::array<float, 3> values;
    std::array<float, 9> vectors;
  };
  const Case cases[] = {
      {"distinct diagonal", symmetric(1, 0, 0, -3, 0, 2), {-3, 2, 1}, {0, 1, 0, 0, 0, 1, 1, 0, 0}},
      {"repeated pair", symmetric(2, 0, 0, 1, 0, 1), {2, 1, 1}, {1, 0, 0, 0, 1, 0, 0, 0, 1}},
      {"identity", symmetric(1, 0, 0, 1, 0, 1), {1, 1, 1}, {1, 0, 0, 0, 1, 0, 0, 0, 1}},
      {"zero", symmetric(0, 0, 0, 0, 0, 0), {0, 0, 0}, {1, 0, 0, 0, 1, 0, 0, 0, 1}},
      // -1 and 1 tie in magnitude and keep their diagonal order; the third column is
      // e0 x e2 = -e1, its sign set by right-handedness, not by the component rule.
      {"equal magnitudes", symmetric(-1, 0, 0, 0.5f, 0, 1), {-1, 1, 0.5f}, {1, 0, 0, 0, 0, 1, 0, -1, 0}},
      {"2 x 2 block", symmetric(2, 1, 0, 2, 0, 5), {5, 3, 1}, {0, 0, 1, h, h, 0, -h, h, 0}},
      // Graded: each value is the diagonal entry less a^2/b of its neighbour, far below the
      // largest entry, and still correct to single precision.
      {"graded 1e30 .. 1e-30", symmetric(1e30f, 1e10f, 0, 1, 1e-20f, 1e-30f), {1e30f, 1, 1e-30f},
       {1, 0, 0, 0, 1, 0, 0, 0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SymmetricEigen e = symmetric_eigen_3x3(c.a);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(e.values[k], c.values[k], 1e-6 * std::fabs(c.values[k])) << k;
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(e.vectors[i], c.vectors[i], 1e-6) << i;
    expect_valid(c.a, e);
  }
}

// A random right-handed orthonormal frame (Gram-Schmidt on two random directions).
std::array<Point, 3> random_frame(std::mt19937& rng) {
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  Point u{uniform(rng), uniform(rng), uniform(rng)};
  Point w{uniform(rng), uniform(rng), uniform(rng)};
  const double un = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
  for (double& x : u) x /= un;
  const double d = u[0] * w[0] + u[1] * w[1] + u[2] * w[2];
  for (int i = 0; i < 3; ++i) w[i] -= d * u[i];
  const double wn = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
  for (double& x : w) x /= wn;
  return {u, w, Point{u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2], u[0] * w[1] - u[1] * w[0]}};
}

// Random symmetric matrices: general ones at three scales, and ones built from chosen
// eigenvalues in a random frame (repeated, triple, rank 1 and 2, a close pair).
TEST(symmetric_eigen_3x3, RandomMatricesAreDecomposed) {
  struct Family {
    std::string name;
    double factor;
    std::vector<double> eigenvalues;  // empty: independent uniform entries in [-1, 1]
  };
  const Family families[] = {
      {"general", 1.0, {}},
      {"general x 1e30", 1e30, {}},
      {"general x 1e-30", 1e-30, {}},
      {"repeated 1, 1, -2", 1.0, {1.0, 1.0, -2.0}},
      {"triple 3 x 1e-20", 1e-20, {3.0, 3.0, 3.0}},
      {"rank 1", 1.0, {4.0, 0.0, 0.0}},
      {"rank 2", 1.0, {4.0, 1.0, 0.0}},
      {"close pair", 1e25, {1.0, 1.0 + 1e-7, 0.1}},
  };
  std::mt19937 rng(20261208);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (const Family& family : families) {
    for (int trial = 0; trial < 100; ++trial) {
      SCOPED_TRACE(family.name + ", trial " + std::to_string(trial));
      Matrix a;
      if (family.eigenvalues.empty()) {
        for (int j = 0; j < 3; ++j) {
          for (int i = 0; i <= j; ++i) a[i + 3 * j] = a[j + 3 * i] = static_cast<float>(family.factor * uniform(rng));
        }
      } else {
        const std::array<Point, 3> frame = random_frame(rng);
        for (int i = 0; i < 3; ++i) {
          for (int j = 0; j < 3; ++j) {
            double sum = 0.0;
            for (int k = 0; k < 3; ++k) sum += family.eigenvalues[k] * frame[k][i] * frame[k][j];
            a[i + 3 * j] = static_cast<float>(family.factor * sum);
          }
        }
      }
      expect_valid(a, symmetric_eigen_3x3(a));
      if (::testing::Test::HasFailure()) return;
    }
  }
}

TEST(symmetric_eigen_3x3, NonFiniteUpperTriangleGivesNaN) {
  const Matrix base = symmetric(2, 0.5f, -1, 3, 0.25f, 1);
  const float bad[] = {std::nanf(""), INFINITY, -INFINITY};
  for (const int index : {0, 3, 4, 6, 7, 8}) {
    for (const float x : bad) {
      SCOPED_TRACE("entry " + std::to_string(index) + " = " + std::to_string(x));
      Matrix a = base;
      a[index] = x;
      const SymmetricEigen e = symmetric_eigen_3x3(a);
      for (const float v : e.values) EXPECT_TRUE(std::isnan(v));
      for (const float v : e.vectors) EXPECT_TRUE(std::isnan(v));
    }
  }
  // The lower triangle is not read.
  const SymmetricEigen expected = symmetric_eigen_3x3(base);
  for (const int index : {1, 2, 5}) {
    SCOPED_TRACE("lower entry " + std::to_string(index));
    Matrix a = base;
    a[index] = std::nanf("");
    const SymmetricEigen e = symmetric_eigen_3x3(a);
    EXPECT_EQ(e.values, expected.values);
    EXPECT_EQ(e.vectors, expected.vectors);
  }
}

// Centred scatter matrix of points, summed in single in the given order, as the local frame does.
Matrix scatter(const std::vector<Point>& points) {
  Point mean{0, 0, 0};
  for (const Point& p : points) {
    for (int i = 0; i < 3; ++i) mean[i] += p[i] / static_cast<double>(points.size());
  }
  Matrix a{};
  for (const Point& p : points) {
    const std::array<float, 3> c = {static_cast<float>(p[0] - mean[0]), static_cast<float>(p[1] - mean[1]),
                                    static_cast<float>(p[2] - mean[2])};
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) a[i + 3 * j] += c[i] * c[j];
    }
  }
  return a;
}

// 50 points near the plane through `origin` spanned by u and w (normal u x w): `in_plane`
// draws the plane coordinates, `noise` the offset along the normal.
struct PlanePatch {
  std::vector<Point> points;
  Point normal;
};

PlanePatch plane_patch(std::mt19937& rng, double in_plane_x, double in_plane_y, double noise, bool ring) {
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::normal_distribution<double> gaussian(0.0, noise);
  const auto [u, w, normal] = random_frame(rng);
  PlanePatch patch{{}, normal};
  const Point origin = {100.0 * uniform(rng), 100.0 * uniform(rng), 100.0 * uniform(rng)};
  for (int k = 0; k < 50; ++k) {
    // A ring of 10 equally spaced directions, five radii each, has exactly isotropic spread.
    const double phi = 2.0 * std::numbers::pi * (k % 10) / 10.0;
    const double x = ring ? in_plane_x * (1 + k / 10) * std::cos(phi) : in_plane_x * uniform(rng);
    const double y = ring ? in_plane_y * (1 + k / 10) * std::sin(phi) : in_plane_y * uniform(rng);
    const double h = noise > 0.0 ? gaussian(rng) : 0.0;
    Point p;
    for (int i = 0; i < 3; ++i) p[i] = origin[i] + x * u[i] + y * w[i] + h * normal[i];
    patch.points.push_back(p);
  }
  return patch;
}

TEST(symmetric_eigen_3x3, LastVectorOfPlanarScatterIsTheNormal) {
  struct Case {
    std::string name;
    double x, y, noise;
    bool ring;
    double tolerance;  // on 1 - |cos| between the last vector and the plane's normal
  };
  const Case cases[] = {
      {"exact plane", 1.0, 0.5, 0.0, false, 1e-6},
      {"noisy plane", 1.0, 1.0, 0.01, false, 1e-3},
      {"isotropic in-plane spread", 1.0, 1.0, 0.0, true, 1e-6},
      {"isotropic, noisy", 1.0, 1.0, 0.01, true, 1e-3},
      {"thin strip", 1.0, 0.05, 0.001, false, 1e-3},
  };
  std::mt19937 rng(7);
  for (const Case& c : cases) {
    for (int trial = 0; trial < 20; ++trial) {
      SCOPED_TRACE(c.name + ", trial " + std::to_string(trial));
      const PlanePatch patch = plane_patch(rng, c.x, c.y, c.noise, c.ring);
      const Matrix a = scatter(patch.points);
      const SymmetricEigen e = symmetric_eigen_3x3(a);
      expect_valid(a, e);
      EXPECT_GE(std::fabs(dot(&e.vectors[6], patch.normal)), 1.0 - c.tolerance);
      EXPECT_LE(e.values[2], 1e-6 * e.values[0] + 50 * 9 * c.noise * c.noise);
    }
  }
}

TEST(symmetric_eigen_3x3, InvariantUnderPointOrderNegationAndPowerOfTwoScaling) {
  struct Variant {
    std::string name;
    float factor;  // on the matrix; the values scale with it, the vectors stay
  };
  const Variant variants[] = {{"points permuted", 1.0f}, {"negated", -1.0f}, {"x 2^100", 0x1p100f}, {"x 2^-100", 0x1p-100f}};
  std::mt19937 rng(11);
  for (int trial = 0; trial < 50; ++trial) {
    PlanePatch patch = plane_patch(rng, 1.0, 0.4, 0.05, false);
    const Matrix a = scatter(patch.points);
    const SymmetricEigen e = symmetric_eigen_3x3(a);
    std::shuffle(patch.points.begin(), patch.points.end(), rng);
    const Matrix permuted = scatter(patch.points);
    for (const Variant& variant : variants) {
      SCOPED_TRACE(variant.name + ", trial " + std::to_string(trial));
      Matrix b = variant.factor == 1.0f ? permuted : a;
      for (float& x : b) x *= variant.factor;
      const SymmetricEigen f = symmetric_eigen_3x3(b);
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(f.values[k] / variant.factor, e.values[k], 1e-6f * e.values[0]) << k;
      for (int i = 0; i < 9; ++i) EXPECT_NEAR(f.vectors[i], e.vectors[i], 1e-6) << i;
    }
  }
}

}  // namespace
}  // namespace vandrel
