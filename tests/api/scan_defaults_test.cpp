// What runs with estimated parameters filter by kind of scan: flight lines, parts filtered alone.
#include "vandrel/scan_defaults.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "vandrel/error.h"
#include "vandrel/estimate.h"
#include "vandrel/run_plan.h"
#include "vandrel/vandrel.h"

namespace vandrel {
namespace {

// Two flight lines over flat ground, 10 points per unit area each, noise 0.03; the second
// 5 cm above the first (a strip misalignment) and shifted to overlap it on 3/4.
struct Strips {
  std::vector<Point> points;
  std::vector<std::uint16_t> lines;
};

Strips strips() {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(0.0f, 30.0f);
  std::normal_distribution<float> noise(0.0f, 0.03f);
  Strips s;
  for (int line = 0; line < 2; ++line)
    for (int i = 0; i < 9000; ++i) {
      s.points.push_back({u(rng) + 7.5f * static_cast<float>(line), u(rng), 0.05f * static_cast<float>(line) + noise(rng)});
      s.lines.push_back(static_cast<std::uint16_t>(11 + line));
    }
  return s;
}

TEST(estimate_sigma_by_line, ReadsEachStripsOwnNoiseWhereTheWholeReadsTheirOffsetToo) {
  const Strips s = strips();
  // Together the strips read as one surface as thick as their noise and offset.
  EXPECT_GT(estimate_sigma(s.points), 1.15f * 0.03f);
  const float by_line = estimate_sigma_by_line(s.points, s.lines);
  EXPECT_NEAR(by_line, 0.03f, 0.003f);
  // A classified file's ground is estimated line by line; its density from both lines, the cloud filtered.
  const std::vector<std::uint8_t> ground(s.points.size(), 2);
  const Parameters p = resolve_parameters(s.points, ground, s.lines, std::nullopt, std::nullopt);
  EXPECT_EQ(p.sigma, by_line);
  EXPECT_EQ(p.density, estimate_density(s.points));
  // One flight line: the estimate of all the points, bit for bit.
  const std::vector<std::uint16_t> one(s.points.size(), 3);
  EXPECT_EQ(estimate_sigma_by_line(s.points, one), estimate_sigma(s.points));
}

TEST(denoise_groups, FiltersEachPartAsIfTheOthersWereAbsent) {
  // A noisy plane cut into three bands of x: the first two are filtered alone, the third kept.
  std::mt19937 rng(2);
  std::uniform_real_distribution<float> u(0.0f, 30.0f);
  std::normal_distribution<float> noise(0.0f, 0.1f);
  std::vector<Point> points;
  std::vector<std::uint8_t> first, second;
  for (int i = 0; i < 2700; ++i) {
    const float x = u(rng);
    points.push_back({x, u(rng), noise(rng)});
    first.push_back(x < 10.0f ? 1 : 0);
    second.push_back(x >= 10.0f && x < 20.0f ? 1 : 0);
  }
  const std::vector<std::uint8_t> parts[] = {first, second};
  const std::vector<Point> grouped = denoise_groups(points, parts, 0.1f, 3.0f);
  DenoiseOptions alone;
  alone.selection = first;
  const std::vector<Point> only_first = denoise(points, 0.1f, 3.0f, alone);
  alone.selection = second;
  const std::vector<Point> only_second = denoise(points, 0.1f, 3.0f, alone);
  int moved = 0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const Point& expected = first[i] ? only_first[i] : second[i] ? only_second[i] : points[i];
    ASSERT_EQ(std::memcmp(&grouped[i], &expected, sizeof(Point)), 0) << "point " << i;
    moved += grouped[i] != points[i];
  }
  EXPECT_GT(moved, 1500);

  // Parts that share a point are refused.
  const std::vector<std::uint8_t> overlapping[] = {first, first};
  try {
    denoise_groups(points, overlapping, 0.1f, 3.0f);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.identifier(), "Vandrel:invalidArgument");
  }
}

}  // namespace
}  // namespace vandrel
