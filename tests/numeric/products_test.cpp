#include "numeric/products.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace vandrel {
namespace {

TEST(multiply, ColumnMajorMatrixTimesVector) {
  const Matrix3 m = {1, 4, 7, 2, 5, 8, 3, 6, 9};  // rows (1 2 3), (4 5 6), (7 8 9)
  EXPECT_EQ(multiply(m, {1, -1, 2}), (std::array<float, 3>{5, 11, 17}));
}

TEST(dot, SumsLeftToRight) {
  const std::vector<float> ones = {1, 1, 1, 1};
  struct Case {
    std::vector<float> x;
    float expected;
  };
  // 1e8 + 1 rounds back to 1e8, so left to right gives 1 where the exact value is 2
  // and a pairwise sum would give 0.
  const Case cases[] = {{{1e8f, 1, -1e8f, 1}, 1.0f}, {{1, 1e8f, 1, -1e8f}, 0.0f}, {{0.5f, 0.25f, 2, -1}, 1.75f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(dot(c.x, ones), c.expected);
  }
  EXPECT_EQ(dot({}, {}), 0.0f);
}

TEST(mean, SumsInBlocksOf1024) {
  // 2^24 first, then 2999 ones: left to right every 1 is rounded away (2^24 + 1 ties to
  // 2^24). In blocks, the first block gives 2^24, the second 1024, the third 952.
  std::vector<float> x(3000, 1.0f);
  x[0] = 16777216.0f;
  const float block_sums = (16777216.0f + 1024.0f) + 952.0f;
  EXPECT_EQ(block_sums, 16779192.0f);
  EXPECT_EQ(mean(x), 16779192.0f / 3000.0f);
  EXPECT_NE(mean(x), 16777216.0f / 3000.0f);  // what one left-to-right sum gives
}

TEST(mean, BlockBoundariesAndEmpty) {
  struct Case {
    std::size_t n;
    float expected;
  };
  // 2^24 then ones: the ones of the first block are rounded away, those of later blocks
  // are summed among themselves first and kept.
  const Case cases[] = {{1, 16777216.0f}, {1024, 16384.0f}, {1026, 16777218.0f / 1026.0f},
                        {2050, 16778242.0f / 2050.0f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n);
    std::vector<float> x(c.n, 1.0f);
    x[0] = 16777216.0f;
    EXPECT_EQ(mean(x), c.expected);
  }
  EXPECT_TRUE(std::isnan(mean({})));
}

TEST(mean, AgreesWithDoubleOnRandomData) {
  std::mt19937 rng(12);
  std::uniform_real_distribution<float> entry(-1.0f, 3.0f);
  for (const std::size_t n : {3u, 1000u, 5000u}) {
    SCOPED_TRACE(n);
    std::vector<float> x(n);
    double sum = 0.0;
    for (float& v : x) {
      v = entry(rng);
      sum += v;
    }
    EXPECT_NEAR(mean(x), sum / static_cast<double>(n), 1e-5);
  }
}

}  // namespace
}  // namespace vandrel
