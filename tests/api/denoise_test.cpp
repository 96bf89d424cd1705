#include "vandrel/vandrel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <limits>
#include <random>
#include <vector>

namespace vandrel {
namespace {

// A noisy patch of a plane, 1 unit across, 3000 points.
std::vector<PointD> noisy_patch(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, 0.005);
  std::vector<PointD> points(3000);
  for (PointD& p : points) p = {u(rng), u(rng), 0.1 * u(rng) * u(rng) + noise(rng)};
  return points;
}

TEST(denoise, DoublePointsFarFromTheOriginKeepTheirDetail) {
  const std::vector<PointD> local = noisy_patch(5);
  const PointD offset = {450000.0, 5200000.0, 100.0};
  std::vector<PointD> far = local;
  for (PointD& p : far) {
    for (std::size_t c = 0; c < 3; ++c) p[c] += offset[c];
  }
  far[17][1] = std::numeric_limits<double>::quiet_NaN();
  std::vector<PointD> near = local;
  near[17][1] = std::numeric_limits<double>::quiet_NaN();
  const std::vector<PointD> near_out = denoise(std::span<const PointD>(near), 0.005f, 3000.0f);
  const std::vector<PointD> far_out = denoise(std::span<const PointD>(far), 0.005f, 3000.0f);
  // Recentring rounds the two clouds a little differently (by about 1e-10), which may tip
  // a scale decision here and there; single precision at 5.2 million units would be off
  // by 0.25 (the noise is 0.005).
  double worst = 0.0;
  double moved = 0.0;
  std::size_t close = 0;
  for (std::size_t i = 0; i < local.size(); ++i) {
    if (i == 17) continue;
    double difference = 0.0;
    for (std::size_t c = 0; c < 3; ++c) {
      difference = std::max(difference, std::fabs((far_out[i][c] - offset[c]) - near_out[i][c]));
      moved = std::max(moved, std::fabs(near_out[i][c] - near[i][c]));
    }
    worst = std::max(worst, difference);
    close += difference < 1e-6;
  }
  EXPECT_GT(moved, 1e-3);                                     // it did filter
  EXPECT_LT(worst, 0.1 * 0.005);                              // the same way
  EXPECT_GT(static_cast<double>(close), 0.98 * static_cast<double>(local.size()));
  EXPECT_EQ(std::memcmp(&far_out[17], &far[17], sizeof(PointD)), 0);  // NaN row: input bits
}

TEST(denoise, RefusesWhatItCannotTake) {
  struct Case {
    const char* what;
    std::vector<PointD> points;
    int threads;
    const char* identifier;
  };
  std::vector<PointD> spread = noisy_patch(6);
  spread[3] = {1e300, 0, 0};
  const Case cases[] = {
      {"a coordinate beyond single precision after recentring", spread, 0, "Vandrel:outOfRange"},
      {"a negative thread count", noisy_patch(7), -1, "Vandrel:invalidThreads"},
      {"more than 1024 threads", noisy_patch(7), 1025, "Vandrel:invalidThreads"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DenoiseOptions options;
    options.threads = c.threads;
    try {
      denoise(std::span<const PointD>(c.points), 0.005f, 3000.0f, options);
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.identifier(), c.identifier);
    }
  }
}

TEST(denoise, HugeNeighbourhoodsAreRefusedUnlessAllowed) {
  // A density 10^4 times too small puts the whole patch in every neighbourhood.
  std::vector<Point> points;
  for (const PointD& p : noisy_patch(8)) points.push_back({static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2])});
  std::vector<Point> many;
  for (int copy = 0; copy < 10; ++copy) many.insert(many.end(), points.begin(), points.end());
  try {
    denoise(many, 0.00005f, 0.3f);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.identifier(), "Vandrel:hugeNeighbourhood");
  }
  // A cloud below 20000 points is refused too when nearly all of it lies in every
  // neighbourhood: here 6000 points, for a density 10^4 times too small.
  const std::vector<Point> fewer(many.begin(), many.begin() + 6000);
  try {
    denoise(fewer, 0.00005f, 0.3f);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.identifier(), "Vandrel:hugeNeighbourhood");
    EXPECT_NE(std::string(e.what()).find("nearly the whole cloud"), std::string::npos) << e.what();
  }
  EXPECT_NO_THROW(denoise(fewer, 0.005f, 3000.0f));
  // Copies of one point (and a NaN row) come back as given, at once, whatever their number.
  std::vector<Point> copies(30000, Point{1.1f, 2.2f, 3.3f});
  copies[7] = {std::nanf(""), 0.0f, 0.0f};
  const std::vector<Point> same = denoise(copies, 0.01f, 1.0f);
  EXPECT_EQ(std::memcmp(same.data(), copies.data(), copies.size() * sizeof(Point)), 0);
}

}  // namespace
}  // namespace vandrel
