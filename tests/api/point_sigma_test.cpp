// Noise that varies per point: the per-point denoise and the model of noise by range.
#include "vandrel/noise_model.h"
#include "vandrel/vandrel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

namespace vandrel {
namespace {

// A noisy, gently curved patch 1 unit across, 3000 points, noise 0.005; row 17 is NaN.
std::vector<Point> noisy_patch() {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  std::normal_distribution<float> noise(0.0f, 0.005f);
  std::vector<Point> points(3000);
  for (Point& p : points) p = {u(rng), u(rng), 0.1f * u(rng) * u(rng) + noise(rng)};
  points[17][0] = std::numeric_limits<float>::quiet_NaN();
  return points;
}

template <class P>
bool same_bits(const std::vector<P>& a, const std::vector<P>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(P)) == 0;
}

TEST(denoise, PerPointSigmasAllOneValueGiveTheBitsOfThatSigma) {
  const std::vector<Point> points = noisy_patch();
  std::vector<float> sigmas(points.size(), 0.005f);
  sigmas[17] = std::numeric_limits<float>::quiet_NaN();  // a NaN row's value is not read
  DenoiseOptions two_threads;
  two_threads.threads = 2;
  EXPECT_TRUE(same_bits(denoise(points, sigmas, 3000.0f, two_threads), denoise(points, 0.005f, 3000.0f)));

  std::vector<std::uint8_t> selection(points.size(), 1);
  for (std::size_t i = 0; i < selection.size(); i += 3) selection[i] = 0;
  DenoiseOptions selected;
  selected.selection = selection;
  EXPECT_TRUE(same_bits(denoise(points, sigmas, 3000.0f, selected), denoise(points, 0.005f, 3000.0f, selected)));

  std::vector<PointD> far(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) far[i] = {points[i][0] + 450000.0, points[i][1] + 5.2e6, points[i][2]};
  EXPECT_TRUE(same_bits(denoise(std::span<const PointD>(far), sigmas, 3000.0f),
                        denoise(std::span<const PointD>(far), 0.005f, 3000.0f)));
}

TEST(denoise, EachPointIsSmoothedForItsOwnNoise) {
  // Left half noise-free and declared exact (sigma 0), right half noisy: the left comes back
  // bit for bit, the right is smoothed as with its sigma alone.
  std::vector<Point> points = noisy_patch();
  std::vector<float> sigmas(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    const bool left = points[i][0] < 0.5f;
    sigmas[i] = left ? 0.0f : 0.005f;
  }
  const std::vector<Point> out = denoise(points, sigmas, 3000.0f);
  std::size_t right_moved = 0, right = 0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (sigmas[i] == 0.0f) {
      EXPECT_EQ(std::memcmp(&out[i], &points[i], sizeof(Point)), 0) << "row " << i;
    } else if (i != 17) {
      ++right;
      right_moved += std::memcmp(&out[i], &points[i], sizeof(Point)) != 0;
    }
  }
  EXPECT_GT(right_moved, right * 9 / 10);

  const std::vector<float> too_few(10, 0.005f);
  std::vector<float> negative(points.size(), 0.005f);
  negative[41] = -1.0f;
  for (const auto& [values, message] : {std::pair{too_few, "holds 10 values for 3000 points"},
                                        std::pair{negative, "sigma of point 42 must be"}}) {
    SCOPED_TRACE(message);
    try {
      denoise(points, values, 3000.0f);
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.identifier(), "Vandrel:invalidSigma");
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
  }
}

TEST(estimate_range_noise, RecoversNoiseThatGrowsAsTheSquareOfRange) {
  // A depth camera at the origin looking along +z at a floor that runs from 1 to 4 units
  // away and a wall at 4: noise a + b r^2 on every coordinate, a = 0.001, b = 0.0005.
  const double a = 0.001, b = 0.0005;
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<Point> points;
  for (int i = 0; i < 60000; ++i) {
    const bool floor = i % 3 != 0;
    const double x = 3.0 * u(rng) - 1.5;
    const double y = floor ? -1.0 : 2.0 * u(rng) - 1.0;
    const double z = floor ? 1.0 + 3.0 * u(rng) : 4.0;
    const double sigma = a + b * (x * x + y * y + z * z);
    points.push_back({static_cast<float>(x + sigma * normal(rng)), static_cast<float>(y + sigma * normal(rng)),
                      static_cast<float>(z + sigma * normal(rng))});
  }
  const RangeNoise model = estimate_range_noise(points, {0.0, 0.0, 0.0});
  EXPECT_EQ(model.bands.size(), 8u);
  // Coordinates that vary continuously are not quantised: each band keeps estimate_sigma's bits.
  for (const RangeNoise::Band& band : model.bands) EXPECT_EQ(band.step, 0.0);
  for (const double range : {1.5, 4.0}) {
    SCOPED_TRACE(range);
    EXPECT_NEAR(model.at(range), a + b * range * range, 0.1 * (a + b * range * range));
  }
  const std::vector<float> sigmas = range_sigmas(points, model);
  EXPECT_FLOAT_EQ(sigmas[0], static_cast<float>(model.at(std::sqrt(
                                 double{points[0][0]} * points[0][0] + double{points[0][1]} * points[0][1] +
                                 double{points[0][2]} * points[0][2]))));
}

// A 320 x 240 depth camera (focal length 525 pixels) at the origin looking along +z at four
// boards, each a quarter of the image, at depths 1 to 4, the first three turned 30 degrees about
// the vertical and the last `last_tilt`: depth noise 0.0005 + 0.0004 z^2, then the disparity
// rounded so that depths sit on a lattice of step 0.002 z^2, 2 to 5 times the noise (terraces).
// `distance`: each point's distance from its board, quantisation included.
std::vector<Point> quantised_boards(double last_tilt, std::vector<double>& distance) {
  std::mt19937 rng(3);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<Point> points;
  for (int row = 0; row < 240; ++row)
    for (int column = 0; column < 320; ++column) {
      const double rx = (column - 159.5) / 525.0, ry = (row - 119.5) / 525.0;
      const int board = column / 80;
      const double tilt = board == 3 ? last_tilt : std::numbers::pi / 6;
      const double nx = std::sin(tilt), nz = std::cos(tilt);
      const double depth = 1.0 + board;
      const double ax = (board * 80 + 40 - 159.5) / 525.0 * depth;  // the board's centre, on its middle ray
      const double z = (ax * nx + depth * nz) / (rx * nx + nz);
      const double noisy = z + (0.0005 + 0.0004 * z * z) * normal(rng);
      const double quantised = 1.0 / (0.002 * std::round(1.0 / (0.002 * noisy)));
      const Point p{static_cast<float>(rx * quantised), static_cast<float>(ry * quantised), static_cast<float>(quantised)};
      points.push_back(p);
      distance.push_back((double{p[0]} - ax) * nx + (double{p[2]} - depth) * nz);
    }
  return points;
}

TEST(estimate_range_noise, MeasuresDepthBandsQuantisedInStepsWiderThanTheNoise) {
  // Each band's sigma is to be the RMS distance of its points from their board.
  std::vector<double> distance;
  const std::vector<Point> points = quantised_boards(std::numbers::pi / 6, distance);
  const RangeNoise model = estimate_range_noise(points, {0.0, 0.0, 0.0});
  ASSERT_EQ(model.bands.size(), 8u);
  // The bands as the model cuts them: by range, ties by row, eight of equal counts.
  std::vector<double> ranges;
  for (const Point& p : points) ranges.push_back(std::sqrt((double{p[0]} * p[0] + double{p[1]} * p[1]) + double{p[2]} * p[2]));
  std::vector<std::size_t> order(points.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t p, std::size_t q) { return ranges[p] < ranges[q]; });
  for (std::size_t b = 0; b < 8; ++b) {
    SCOPED_TRACE(b);
    double squares = 0.0;
    const std::size_t begin = order.size() * b / 8, end = order.size() * (b + 1) / 8;
    for (std::size_t k = begin; k < end; ++k) squares += distance[order[k]] * distance[order[k]];
    const double truth = std::sqrt(squares / static_cast<double>(end - begin));
    EXPECT_GT(model.bands[b].step, 0.0);
    EXPECT_NEAR(model.bands[b].sigma, truth, 0.1 * truth);
  }

  // The farthest board square to the camera lies on one terrace: its bands read no noise (the
  // quantisation is an offset there, not noise) and are left out, not taken for noise 0.
  std::vector<double> unused;
  const RangeNoise squared = estimate_range_noise(quantised_boards(0.0, unused), {0.0, 0.0, 0.0});
  for (const RangeNoise::Band& band : squared.bands) EXPECT_GT(band.sigma, 0.0f);
  EXPECT_LT(squared.bands.size(), 8u);
  EXPECT_NEAR(squared.at(4.0), model.at(4.0), 0.2 * model.at(4.0));
}

}  // namespace
}  // namespace vandrel
