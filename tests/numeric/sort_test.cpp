#include "numeric/sort.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "numeric/b_sort.h"
#include "numeric/sortLE.h"

namespace vandrel {
namespace {

constexpr float nan_f = std::numeric_limits<float>::quiet_NaN();
constexpr float inf_f = std::numeric_limits<float>::infinity();

TEST(iseq, IsExactEqualityUpToTheSignOfZeroAndSameSignInfinities) {
  struct Case {
    float p, q;
    bool expected;
  };
  // The tolerance is half the spacing of q, so distinct finite values never tie.
  const Case cases[] = {
      {1.0f, 1.0f, true},
      {1.0f, 1.0f + 0x1p-23f, false},
      {1.0f + 0x1p-23f, 1.0f, false},
      {2.0f - 0x1p-23f, 2.0f, false},
      {0.0f, -0.0f, true},
      {0x1p-149f, 0.0f, false},
      {0.0f, 0x1p-149f, false},
      {0x1p-140f, 0x1p-140f, true},
      {inf_f, inf_f, true},
      {-inf_f, -inf_f, true},
      {-inf_f, inf_f, false},
      {3.0e38f, inf_f, false},
      {nan_f, nan_f, false},
      {1.0f, nan_f, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.p << " vs " << c.q);
    EXPECT_EQ(iseq(c.p, c.q), c.expected);
  }
}

struct SortCase {
  const char* name;
  std::vector<creal32_T> x;
  std::vector<std::int32_t> idx;
};

void expect_sorted(const SortCase& c) {
  SCOPED_TRACE(c.name);
  const auto n = static_cast<std::int32_t>(c.x.size());
  creal32_T x[3] = {};
  for (std::int32_t k = 0; k < n; ++k) x[k] = c.x[static_cast<std::size_t>(k)];
  std::int32_t idx[3] = {-1, -1, -1};
  sort(x, n, idx);
  for (std::int32_t k = 0; k < n; ++k) {
    const std::int32_t expected = c.idx[static_cast<std::size_t>(k)];
    EXPECT_EQ(idx[k], expected) << "position " << k;
    // x is permuted by idx (compare bits: NaN and signed zeros included).
    const creal32_T& original = c.x[static_cast<std::size_t>(expected - 1)];
    EXPECT_EQ(std::signbit(x[k].re), std::signbit(original.re));
    EXPECT_TRUE(x[k].re == original.re || (std::isnan(x[k].re) && std::isnan(original.re)));
    EXPECT_TRUE(x[k].im == original.im || (std::isnan(x[k].im) && std::isnan(original.im)));
  }
  for (std::int32_t k = n; k < 3; ++k) EXPECT_EQ(idx[k], -1) << "idx beyond n written";
}

TEST(sort, OrdersByDecreasingMagnitudeStably) {
  const SortCase cases[] = {
      {"empty", {}, {}},
      {"one", {{7.0f, 0.0f}}, {1}},
      {"1, 3, 2", {{1, 0}, {3, 0}, {2, 0}}, {2, 3, 1}},
      {"-1, 3, -2", {{-1, 0}, {3, 0}, {-2, 0}}, {2, 3, 1}},
      {"complex magnitudes", {{1, 1}, {-2, 0}, {0, 0.5f}}, {2, 1, 3}},
      {"3, 2, 1 stays", {{3, 0}, {2, 0}, {1, 0}}, {1, 2, 3}},
      {"equal pair", {{2, 0}, {2, 0}}, {1, 2}},
      {"three equal", {{0, 0}, {0, 0}, {0, 0}}, {1, 2, 3}},
      {"equal pair behind a larger value", {{1, 0}, {5, 0}, {1, 0}}, {2, 1, 3}},
      {"+0 and -0 imaginary, same real", {{1, 0.0f}, {1, -0.0f}}, {1, 2}},
      {"-0 and +0 imaginary, same real", {{1, -0.0f}, {1, 0.0f}}, {1, 2}},
  };
  for (const SortCase& c : cases) expect_sorted(c);
}

TEST(sort, EqualMagnitudesGoByAngle) {
  const SortCase cases[] = {
      // Angles 0 and pi: -1 comes first.
      {"1, -1+0i", {{1, 0.0f}, {-1, 0.0f}}, {2, 1}},
      // -1-0i has angle -pi: now 1 comes first.
      {"1, -1-0i", {{1, 0.0f}, {-1, -0.0f}}, {1, 2}},
      // Both have magnitude 5 exactly; 3+4i has the larger angle 0.927.
      {"5, 3+4i", {{5, 0}, {3, 4}}, {2, 1}},
      {"3+4i, 5", {{3, 4}, {5, 0}}, {1, 2}},
      {"i, -i, 1", {{0, 1}, {0, -1}, {1, 0}}, {1, 3, 2}},
  };
  for (const SortCase& c : cases) expect_sorted(c);
}

TEST(sort, MagnitudesThatRoundTogetherAreComparedExactly) {
  // hypot rounds both magnitudes of each pair to the same single, but |wide|^2 exceeds
  // |tilted|^2 by about 7.5e-8 and |below|^2 exceeds 1 by 2^-26. Each time the angle alone
  // would put the other value first.
  const creal32_T wide = {0x1.000004p+0f, 0x1.54p-9f};
  const creal32_T tilted = {1.0f, 0x1.5ep-9f};
  const creal32_T below = {1.0f, -0x1p-13f};
  const creal32_T one = {1.0f, 0.0f};
  const SortCase cases[] = {
      {"tilted, wide", {tilted, wide}, {2, 1}},
      {"wide, tilted", {wide, tilted}, {1, 2}},
      {"one, below", {one, below}, {2, 1}},
  };
  for (const SortCase& c : cases) expect_sorted(c);
}

TEST(sort, NaNComesFirstAndNaNsKeepTheirOrder) {
  const SortCase cases[] = {
      {"1, NaN", {{1, 0}, {nan_f, 0}}, {2, 1}},
      {"NaN, 1", {{nan_f, 0}, {1, 0}}, {1, 2}},
      {"NaN imaginary part", {{5, 0}, {0, nan_f}}, {2, 1}},
      {"NaN, NaN", {{nan_f, 0}, {nan_f, 0}}, {1, 2}},
      {"3, NaN, NaN", {{3, 0}, {nan_f, 0}, {nan_f, 1}}, {2, 3, 1}},
      {"all NaN", {{nan_f, 0}, {nan_f, 0}, {nan_f, 0}}, {1, 2, 3}},
      {"NaN before Inf", {{inf_f, 0}, {nan_f, 0}}, {2, 1}},
  };
  for (const SortCase& c : cases) expect_sorted(c);
}

TEST(sort, HugeAndInfiniteMagnitudes) {
  const SortCase cases[] = {
      // Magnitudes beyond the single range still order, and equal ones go by angle.
      {"3e38(1+i), -3.3e38", {{-3.3e38f, 0}, {3e38f, 3e38f}}, {2, 1}},
      {"3e38(-1-i), 3e38(1+i)", {{-3e38f, -3e38f}, {3e38f, 3e38f}}, {2, 1}},
      {"Inf, 3e38", {{3e38f, 0}, {inf_f, 0}}, {2, 1}},
  };
  for (const SortCase& c : cases) expect_sorted(c);
}

TEST(b_sort, AllOrdersOfThreeValuesAndTies) {
  struct Case {
    std::vector<double> x;
    std::vector<std::int32_t> idx;
  };
  const Case cases[] = {
      {{}, {}},
      {{4}, {1}},
      {{1, 2}, {1, 2}},
      {{2, 1}, {2, 1}},
      {{2, 2}, {1, 2}},
      {{1, 2, 3}, {1, 2, 3}},
      {{1, 3, 2}, {1, 3, 2}},
      {{2, 1, 3}, {2, 1, 3}},
      {{2, 3, 1}, {3, 1, 2}},
      {{3, 1, 2}, {2, 3, 1}},
      {{3, 2, 1}, {3, 2, 1}},
      {{2, 2, 1}, {3, 1, 2}},
      {{1, 2, 1}, {1, 3, 2}},
      {{2, 1, 1}, {2, 3, 1}},
      {{1, 1, 1}, {1, 2, 3}},
  };
  for (const Case& c : cases) {
    const auto n = static_cast<std::int32_t>(c.x.size());
    SCOPED_TRACE(::testing::Message() << "n = " << n << ", x = " << (n > 0 ? c.x[0] : 0) << " "
                                      << (n > 1 ? c.x[1] : 0) << " " << (n > 2 ? c.x[2] : 0));
    double x[3] = {};
    for (std::int32_t k = 0; k < n; ++k) x[k] = c.x[static_cast<std::size_t>(k)];
    std::int32_t idx[3] = {-1, -1, -1};
    b_sort(x, n, idx);
    for (std::int32_t k = 0; k < n; ++k) {
      EXPECT_EQ(idx[k], c.idx[static_cast<std::size_t>(k)]) << "position " << k;
      EXPECT_EQ(x[k], c.x[static_cast<std::size_t>(idx[k] - 1)]);
      if (k > 0) {
        EXPECT_LE(x[k - 1], x[k]);
      }
    }
    for (std::int32_t k = n; k < 3; ++k) EXPECT_EQ(idx[k], -1);
  }
}

}  // namespace
}  // namespace vandrel
