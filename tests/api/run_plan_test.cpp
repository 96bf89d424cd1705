#include "vandrel/run_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "vandrel/error.h"

namespace vandrel {
namespace {

constexpr ParameterNames cli_names{"--sigma", "--density"};

// A jittered 80 x 80 grid of unit spacing on a plane rising by `slope` along x, its depth
// noise of 0.1 quantised in unit steps: terraces wider than the noise, as a depth camera
// gives far from the sensor. Slope 0: one flat terrace.
std::vector<Point> terraces(float slope) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> jitter(0.0f, 0.3f);
  std::normal_distribution<float> noise(0.0f, 0.1f);
  std::vector<Point> points;
  for (int i = 0; i < 80; ++i)
    for (int j = 0; j < 80; ++j) {
      const float x = static_cast<float>(i) + jitter(rng);
      const float y = static_cast<float>(j) + jitter(rng);
      points.push_back({x, y, slope == 0.0f ? 0.0f : std::round(slope * x + noise(rng))});
    }
  return points;
}

// Ground of noise 0.1 under a canopy: 600 points on a 25 x 25 square (class 2), 600
// scattered through the volume 3 to 9 above it (class 5).
struct Forest {
  std::vector<Point> points;
  std::vector<std::uint8_t> classes;
};

Forest forest() {
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  std::normal_distribution<float> noise(0.0f, 0.1f);
  Forest f;
  for (int i = 0; i < 1200; ++i) {
    const bool ground = i < 600;
    f.points.push_back({25.0f * u(rng), 25.0f * u(rng), ground ? noise(rng) : 3.0f + 6.0f * u(rng)});
    f.classes.push_back(ground ? 2 : 5);
  }
  return f;
}

std::string refusal(std::span<const Point> points, std::span<const std::uint8_t> classes, std::optional<float> sigma,
                    std::optional<float> density, const ParameterNames& names) {
  try {
    resolve_parameters(points, classes, sigma, density, names);
  } catch (const Error& e) {
    EXPECT_EQ(e.identifier(), "Vandrel:untrustedEstimate");
    return e.what();
  }
  return {};
}

TEST(resolve_parameters, RefusesEstimatesTheEstimatorsDoNotHoldFor) {
  // Sigma estimated 0 on terraces that spread off their plane: refused, naming the option.
  const std::vector<Point> quantised = terraces(0.05f);
  const std::string zero = refusal(quantised, {}, std::nullopt, std::nullopt, cli_names);
  EXPECT_NE(zero.find("The estimated sigma is 0"), std::string::npos) << zero;
  EXPECT_NE(zero.find("Pass --sigma"), std::string::npos) << zero;
  // A flat terrace has no spread: its sigma of 0 stands; a given sigma is trusted.
  EXPECT_EQ(resolve_parameters(terraces(0.0f), std::nullopt, std::nullopt).sigma, 0.0f);
  EXPECT_EQ(refusal(quantised, {}, 0.3f, std::nullopt, cli_names), "");

  // The canopy makes sigma several point spacings: refused, asking for both in Python's names.
  const Forest f = forest();
  const std::string wide = refusal(f.points, {}, std::nullopt, std::nullopt, {"sigma=", "density="});
  EXPECT_NE(wide.find("point spacings"), std::string::npos) << wide;
  EXPECT_NE(wide.find("Pass sigma= and density="), std::string::npos) << wide;
  // With the density given, only sigma is asked for; with sigma given, nothing is refused.
  const std::string given_density = refusal(f.points, {}, std::nullopt, 0.8f, cli_names);
  EXPECT_NE(given_density.find("density 0.8 given"), std::string::npos) << given_density;
  EXPECT_EQ(given_density.find("--density with"), std::string::npos) << given_density;
  EXPECT_EQ(refusal(f.points, {}, 0.1f, std::nullopt, cli_names), "");
}

// A room 5 wide, 2.7 high and 6 deep seen by a 160 x 120 depth camera (focal length 131
// pixels) 1.2 above its floor: floor, ceiling, walls from 0.5 to 6 away, depth noise
// 0.001 + 0.001 z^2. Its density falls with range squared and on the floor's grazing parts.
std::vector<Point> room() {
  std::mt19937 rng(4);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<Point> points;
  for (int row = 0; row < 120; ++row)
    for (int column = 0; column < 160; ++column) {
      const double ray[3] = {(column - 79.5) / 131.0, (row - 59.5) / 131.0, 1.0};
      double depth = 6.0;
      for (const auto& [axis, wall] : {std::pair{1, -1.2}, {1, 1.5}, {0, -2.5}, {0, 2.5}})
        if (wall / ray[axis] > 0.0) depth = std::min(depth, wall / ray[axis]);
      depth += (0.001 + 0.001 * depth * depth) * normal(rng);
      points.push_back({static_cast<float>(ray[0] * depth), static_cast<float>(ray[1] * depth), static_cast<float>(depth)});
    }
  return points;
}

TEST(resolve_parameters, RefusesADensityThatCannotDescribeTheCloud) {
  // A square of 10000 points 100 units wide beside one of 3000 points 1 unit wide: local
  // densities 1 and 3000, one number for both is wrong for one of them by far.
  std::mt19937 rng(6);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  std::vector<Point> two_scans;
  for (int i = 0; i < 13000; ++i)
    two_scans.push_back(i < 10000 ? Point{100.0f * u(rng), 100.0f * u(rng), 0.0f} : Point{101.0f + u(rng), u(rng), 0.0f});
  const std::string odd = refusal(two_scans, {}, 0.01f, std::nullopt, cli_names);
  EXPECT_NE(odd.find("cannot describe the cloud"), std::string::npos) << odd;
  EXPECT_NE(odd.find("Pass --density"), std::string::npos) << odd;
  EXPECT_EQ(refusal(two_scans, {}, 0.01f, 1.0f, cli_names), "");  // given: trusted

  // A depth camera's falloff with range is one cloud's density varying a few times over.
  const std::vector<Point> scan = room();
  EXPECT_EQ(refusal(scan, {}, std::nullopt, std::nullopt, cli_names), "");
}

TEST(resolve_parameters, EstimatesAClassifiedCloudFromItsGroundElseItsBuildings) {
  Forest f = forest();
  const Parameters ground = resolve_parameters(f.points, f.classes, std::nullopt, std::nullopt);
  EXPECT_NEAR(ground.sigma, 0.1f, 0.01f);
  EXPECT_EQ(ground.estimated_from, "the 600 points of class 2");

  // Too few of class 2: class 6 instead; too few of both: every point (and then refused).
  for (std::size_t i = 20; i < 600; ++i) f.classes[i] = 6;
  const Parameters buildings = resolve_parameters(f.points, f.classes, std::nullopt, std::nullopt);
  EXPECT_NEAR(buildings.sigma, 0.1f, 0.01f);
  EXPECT_EQ(buildings.estimated_from, "the 580 points of class 6");
  for (std::size_t i = 20; i < 520; ++i) f.classes[i] = 1;
  EXPECT_NE(refusal(f.points, f.classes, std::nullopt, std::nullopt, {}), "");

  // Both given: nothing estimated, nothing named. Classes that are not one per point are refused.
  EXPECT_EQ(resolve_parameters(f.points, f.classes, 0.1f, 0.8f).estimated_from, "");
  f.classes.pop_back();
  try {
    resolve_parameters(f.points, f.classes, std::nullopt, std::nullopt);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.identifier(), "Vandrel:invalidArgument");
  }
}

}  // namespace
}  // namespace vandrel
