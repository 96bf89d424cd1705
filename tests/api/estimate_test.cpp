#include "vandrel/estimate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "io/point_file.h"
#include "vandrel/error.h"

namespace vandrel {
namespace {

enum class Shape { plane, sphere };

// The points of a column-major N x 3 matrix, as x, y, z triples.
std::vector<Point> rows(const std::vector<float>& xyz) {
  const std::size_t n = xyz.size() / 3;
  std::vector<Point> points(n);
  for (std::size_t i = 0; i < n; ++i) points[i] = {xyz[i], xyz[n + i], xyz[2 * n + i]};
  return points;
}

struct Cloud {
  std::vector<float> xyz;  // column-major
  double density;
  double sigma;
};

// n points drawn uniformly on a 2 x 2 square or on a unit sphere, with Gaussian noise of
// `noise` / sqrt(density) on every coordinate.
Cloud synthetic(Shape shape, std::int32_t n, double noise, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 2.0);
  std::normal_distribution<double> normal(0.0, 1.0);
  const double area = shape == Shape::plane ? 4.0 : 4.0 * std::numbers::pi;
  Cloud cloud{std::vector<float>(static_cast<std::size_t>(3 * n)), n / area, 0.0};
  cloud.sigma = noise / std::sqrt(cloud.density);
  for (std::int32_t i = 0; i < n; ++i) {
    double p[3] = {u(rng), u(rng), 0.0};
    if (shape == Shape::sphere) {
      for (double& c : p) c = normal(rng);
      const double length = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
      for (double& c : p) c /= length;
    }
    for (int axis = 0; axis < 3; ++axis)
      cloud.xyz[static_cast<std::size_t>(axis * n + i)] = static_cast<float>(p[axis] + cloud.sigma * normal(rng));
  }
  return cloud;
}

TEST(estimate_density, RecoversKnownDensityAndSigmaOnSyntheticSurfaces) {
  struct Case {
    Shape shape;
    std::int32_t n;
    double noise;  // sigma * sqrt(density)
  };
  // From noise well below the spacing to twice it, where the patches must grow.
  const Case cases[] = {{Shape::plane, 8000, 0.25}, {Shape::plane, 8000, 2.0}, {Shape::sphere, 8000, 0.75},
                        {Shape::sphere, 20000, 0.1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.shape == Shape::plane ? "plane" : "sphere") << " n=" << c.n
                                    << " noise=" << c.noise);
    const Cloud cloud = synthetic(c.shape, c.n, c.noise, static_cast<unsigned>(c.n + 10 * c.noise));
    const double density = estimate_density(rows(cloud.xyz));
    const double sigma = estimate_sigma(rows(cloud.xyz));
    EXPECT_NEAR(density / cloud.density, 1.0, 0.10);
    EXPECT_NEAR(sigma / cloud.sigma, 1.0, 0.10);
  }
  const Cloud flat = synthetic(Shape::plane, 5000, 0.0, 5);
  EXPECT_NEAR(estimate_density(rows(flat.xyz)) / flat.density, 1.0, 0.10);
  EXPECT_EQ(estimate_sigma(rows(flat.xyz)), 0.0f);
}

TEST(estimate_density, LandsNearTheBunnySamplesKnownValues) {
  const PointFile bunny = read_point_file(VANDREL_DATA_DIR "/bunny_20k_noisy.xyz");
  // 20000 points on a surface of area 0.880786, noise 0.005.
  EXPECT_NEAR(estimate_density(rows(bunny.xyz)) / 22707.0, 1.0, 0.10);
  EXPECT_NEAR(estimate_sigma(rows(bunny.xyz)) / 0.005, 1.0, 0.10);
}

TEST(estimate_density, FollowsTheScaleOfTheCloudAndSkipsNonFiniteRows) {
  const Cloud cloud = synthetic(Shape::sphere, 3000, 0.5, 6);
  const float density = estimate_density(rows(cloud.xyz));
  const float sigma = estimate_sigma(rows(cloud.xyz));

  std::vector<float> scaled = cloud.xyz;
  for (float& v : scaled) v *= 4.0f;
  EXPECT_FLOAT_EQ(estimate_density(rows(scaled)), density / 16.0f);
  EXPECT_FLOAT_EQ(estimate_sigma(rows(scaled)), sigma * 4.0f);

  // Rows with a NaN or an infinity in front of every tenth point change nothing.
  const std::int64_t n = 3300;
  std::vector<float> holes(3 * n);
  const float bad[3] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), 0.0f};
  for (std::int64_t i = 0, src = 0; i < n; ++i) {
    const bool hole = i % 11 == 0;
    for (std::int64_t axis = 0; axis < 3; ++axis)
      holes[static_cast<std::size_t>(axis * n + i)] =
          hole ? bad[(axis + i) % 3] : cloud.xyz[static_cast<std::size_t>(axis * 3000 + src)];
    if (!hole) ++src;
  }
  EXPECT_EQ(estimate_density(rows(holes)), density);
  EXPECT_EQ(estimate_sigma(rows(holes)), sigma);
}

TEST(estimate_density, RejectsCloudsItCannotMeasure) {
  std::vector<float> few = synthetic(Shape::plane, 49, 0.1, 7).xyz;
  std::vector<float> same(300, 0.25f);
  struct Case {
    const char* label;
    const std::vector<float>& xyz;
    const char* identifier;
  };
  for (const Case& c : {Case{"49 points", few, "Vandrel:tooFewPoints"}, Case{"one point 100 times", same, "Vandrel:degenerateCloud"}}) {
    SCOPED_TRACE(c.label);
    for (auto estimate : {estimate_density, estimate_sigma}) {
      try {
        estimate(rows(c.xyz));
        ADD_FAILURE() << "no error";
      } catch (const Error& e) {
        EXPECT_EQ(e.identifier(), c.identifier);
      }
    }
  }
}

}  // namespace
}  // namespace vandrel
