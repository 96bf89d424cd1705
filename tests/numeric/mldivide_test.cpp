#include "numeric/mldivide.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "emx_fixture.h"
#include "host/native_host.h"
#include "numeric/b_mldivide.h"

namespace vandrel {
namespace {

using fixtures::TestArray;

// Dense double-precision solve with partial pivoting, the reference for single results.
std::vector<double> reference_solve(const float A[9], const std::vector<float>& B, int m) {
  double a[9];
  for (int k = 0; k < 9; ++k) a[k] = A[k];
  std::vector<double> x(B.begin(), B.end());
  for (int col = 0; col < 3; ++col) {
    int p = col;
    for (int r = col + 1; r < 3; ++r) {
      if (std::fabs(a[r + 3 * col]) > std::fabs(a[p + 3 * col])) p = r;
    }
    for (int c = 0; c < 3; ++c) std::swap(a[col + 3 * c], a[p + 3 * c]);
    for (int j = 0; j < m; ++j) std::swap(x[col + 3 * j], x[p + 3 * j]);
    for (int r = col + 1; r < 3; ++r) {
      const double f = a[r + 3 * col] / a[col + 3 * col];
      for (int c = col; c < 3; ++c) a[r + 3 * c] -= f * a[col + 3 * c];
      for (int j = 0; j < m; ++j) x[r + 3 * j] -= f * x[col + 3 * j];
    }
  }
  for (int j = 0; j < m; ++j) {
    for (int r = 2; r >= 0; --r) {
      double s = x[r + 3 * j];
      for (int c = r + 1; c < 3; ++c) s -= a[r + 3 * c] * x[c + 3 * j];
      x[r + 3 * j] = s / a[r + 3 * r];
    }
  }
  return x;
}

void random_well_conditioned(std::mt19937& rng, float A[9]) {
  std::uniform_real_distribution<float> entry(-1.0f, 1.0f);
  for (int k = 0; k < 9; ++k) A[k] = entry(rng);
  for (int k = 0; k < 3; ++k) A[k + 3 * k] += 4.0f;
}

TEST(b_mldivide, IdentityAndPermutationsReturnPermutedBExactly) {
  const float B[3] = {0.1f, -3.0e7f, 1.0e-30f};
  const int perms[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  for (const auto& perm : perms) {
    SCOPED_TRACE(::testing::Message() << perm[0] << perm[1] << perm[2]);
    // Row i of A has its 1 in column perm[i], so (A y)(i) = y(perm[i]) = B(i).
    float A[9] = {};
    for (int i = 0; i < 3; ++i) A[i + 3 * perm[i]] = 1.0f;
    float Y[3];
    b_mldivide(A, B, Y);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Y[perm[i]], B[i]);
  }
}

TEST(b_mldivide, PivotTiesKeepTheEarlierRow) {
  struct Case {
    const char* name;
    float A[9];
    float B[3];
    float expected[3];
  };
  // In the first system all three first-column entries have magnitude 1: with row 0 as
  // pivot the elimination is exact and gives the exact solution, any other first pivot
  // rounds. In the second, the two candidates for the second pivot tie at magnitude 1
  // and only keeping the earlier one yields the correctly rounded solution.
  const Case cases[] = {
      {"first pivot", {1, -1, -1, -3, -4, 6, -1, 5, 9}, {-4, -6, 1}, {-1.75f, 1.0f, -0.75f}},
      {"second pivot",
       {8, -6, 4, -4, 2, -3, 2, -7, -8},
       {6, -5, -4},
       {static_cast<float>(-32.0 / 7.0), static_cast<float>(-68.0 / 7.0), static_cast<float>(13.0 / 7.0)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    float Y[3];
    b_mldivide(c.A, c.B, Y);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Y[i], c.expected[i]) << "component " << i;
  }
}

TEST(b_mldivide, SingularMatrixGivesNonFiniteValues) {
  const float A[9] = {1, 1, 2, 2, 2, 1, 3, 3, 1};  // rows 0 and 1 are equal
  const float B[3] = {1, 2, 3};
  float Y[3];
  b_mldivide(A, B, Y);
  EXPECT_FALSE(std::isfinite(Y[0]) && std::isfinite(Y[1]) && std::isfinite(Y[2]));
}

TEST(mldivide, AgreesWithDoubleSolveOnWellConditionedSystems) {
  NativeHost host;
  Context ctx(host);
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> rhs(-10.0f, 10.0f);
  const std::int32_t A_size[2] = {3, 3};
  for (int trial = 0; trial < 200; ++trial) {
    SCOPED_TRACE(trial);
    const int m = 1 + trial % 5;
    float A[9];
    random_well_conditioned(rng, A);
    std::vector<float> values(static_cast<std::size_t>(3 * m));
    for (float& v : values) v = rhs(rng);
    TestArray B(ctx, {3, m}, values);
    TestArray X(ctx, {0, 0});
    mldivide(ctx, A, A_size, B.get(), X.get());
    ASSERT_EQ(X.size(0), 3);
    ASSERT_EQ(X.size(1), m);
    const std::vector<double> x = reference_solve(A, values, m);
    for (int k = 0; k < 3 * m; ++k) EXPECT_NEAR(X[k], x[static_cast<std::size_t>(k)], 1e-5 * (1.0 + std::fabs(x[k])));
  }
}

TEST(mldivide, PivotsThreeTwoThreeExchangeRowsOneAndThreeOnce) {
  NativeHost host;
  Context ctx(host);
  // The largest first-column entry is in row 3; after that exchange row 2 keeps the
  // larger second-column entry, so the LU pivots are (3, 2, 3).
  const float A[9] = {1, 0, 4, 1, 2, 0, 0, 3, 1};
  const std::int32_t A_size[2] = {3, 3};
  // Exact solution X = [1 2; -1 0.5; 2 -3], B = A X.
  const float expected[6] = {1, -1, 2, 2, 0.5f, -3};
  TestArray B(ctx, {3, 2}, {0, 4, 6, 2.5f, -8, 5});
  TestArray X(ctx, {0, 0});
  mldivide(ctx, A, A_size, B.get(), X.get());
  // Tolerance: the triangular solves may divide by multiplying with reciprocals.
  for (int k = 0; k < 6; ++k) EXPECT_NEAR(X[k], expected[k], 1e-6f) << "entry " << k;
}

TEST(mldivide, EmptyAndSingularCases) {
  NativeHost host;
  Context ctx(host);
  const std::int32_t A_size[2] = {3, 3};
  {
    SCOPED_TRACE("B is 3 x 0");
    const float A[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    TestArray B(ctx, {3, 0});
    TestArray X(ctx, {2, 2}, {1, 1, 1, 1});
    mldivide(ctx, A, A_size, B.get(), X.get());
    EXPECT_EQ(X.size(0), 3);
    EXPECT_EQ(X.size(1), 0);
  }
  {
    SCOPED_TRACE("A is 0 x 0");
    const std::int32_t empty_size[2] = {0, 0};
    TestArray B(ctx, {0, 4});
    TestArray X(ctx, {0, 0});
    mldivide(ctx, nullptr, empty_size, B.get(), X.get());
    EXPECT_EQ(X.size(0), 0);
    EXPECT_EQ(X.size(1), 4);
  }
  {
    SCOPED_TRACE("two equal rows");
    const float A[9] = {1, 1, 2, 2, 2, 1, 3, 3, 1};
    TestArray B(ctx, {3, 2}, {1, 2, 3, -1, 0, 4});
    TestArray X(ctx, {0, 0});
    mldivide(ctx, A, A_size, B.get(), X.get());
    for (int j = 0; j < 2; ++j) {
      bool all_finite = true;
      for (int i = 0; i < 3; ++i) all_finite = all_finite && std::isfinite(X[i + 3 * j]);
      EXPECT_FALSE(all_finite) << "column " << j;
    }
  }
}

}  // namespace
}  // namespace vandrel
