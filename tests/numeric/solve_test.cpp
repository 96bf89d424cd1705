#include "numeric/solve.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>
#include <utility>

namespace vandrel {
namespace {

// Gaussian elimination with partial pivoting in double: the reference for single results.
std::array<double, 3> reference_solve(const Matrix3& A, const std::array<float, 3>& b) {
  double a[9];
  for (int k = 0; k < 9; ++k) a[k] = A[static_cast<std::size_t>(k)];
  std::array<double, 3> x = {b[0], b[1], b[2]};
  for (int col = 0; col < 3; ++col) {
    int p = col;
    for (int r = col + 1; r < 3; ++r) {
      if (std::fabs(a[r + 3 * col]) > std::fabs(a[p + 3 * col])) p = r;
    }
    for (int c = 0; c < 3; ++c) std::swap(a[col + 3 * c], a[p + 3 * c]);
    std::swap(x[static_cast<std::size_t>(col)], x[static_cast<std::size_t>(p)]);
    for (int r = col + 1; r < 3; ++r) {
      const double f = a[r + 3 * col] / a[col + 3 * col];
      for (int c = col; c < 3; ++c) a[r + 3 * c] -= f * a[col + 3 * c];
      x[static_cast<std::size_t>(r)] -= f * x[static_cast<std::size_t>(col)];
    }
  }
  for (int r = 2; r >= 0; --r) {
    double s = x[static_cast<std::size_t>(r)];
    for (int c = r + 1; c < 3; ++c) s -= a[r + 3 * c] * x[static_cast<std::size_t>(c)];
    x[static_cast<std::size_t>(r)] = s / a[r + 3 * r];
  }
  return x;
}

TEST(solve_3x3, AgreesWithADoubleSolveOnWellConditionedSystems) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> entry(-1.0f, 1.0f);
  std::uniform_real_distribution<float> rhs(-10.0f, 10.0f);
  for (int trial = 0; trial < 500; ++trial) {
    SCOPED_TRACE(trial);
    Matrix3 A;
    for (float& a : A) a = entry(rng);
    for (std::size_t k = 0; k < 3; ++k) A[4 * k] += 3.0f;  // diagonally dominant
    const std::array<float, 3> b = {rhs(rng), rhs(rng), rhs(rng)};
    const std::array<float, 3> x = solve_3x3(A, b);
    const std::array<double, 3> expected = reference_solve(A, b);
    for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(x[k], expected[k], 1e-5 * (1.0 + std::fabs(expected[k]))) << k;
  }
}

TEST(solve_3x3, PivotTiesKeepTheEarlierRow) {
  struct Case {
    const char* name;
    Matrix3 A;
    std::array<float, 3> b;
    std::array<float, 3> expected;
  };
  // First: all first-column entries have magnitude 1; with row 0 as pivot every step is
  // exact (solution -7/4, 1, -3/4), another pivot rounds. Second: the candidates for the
  // second pivot tie at magnitude 1, and only the earlier one gives the correctly rounded
  // solution (-32/7, -68/7, 13/7).
  const Case cases[] = {
      {"first pivot", {1, -1, -1, -3, -4, 6, -1, 5, 9}, {-4, -6, 1}, {-1.75f, 1.0f, -0.75f}},
      {"second pivot",
       {8, -6, 4, -4, 2, -3, 2, -7, -8},
       {6, -5, -4},
       {static_cast<float>(-32.0 / 7.0), static_cast<float>(-68.0 / 7.0), static_cast<float>(13.0 / 7.0)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::array<float, 3> x = solve_3x3(c.A, c.b);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(x[i], c.expected[i]) << "component " << i;
  }
}

TEST(solve_3x3, IntegerSystemsWithExactEliminationAreSolvedExactly) {
  // Upper triangular with power-of-two pivots, and a system whose multipliers are 1/2.
  struct Case {
    Matrix3 A;
    std::array<float, 3> x;
  };
  const Case cases[] = {
      {{2, 0, 0, 1, 4, 0, 3, -1, 8}, {1, -2, 3}},
      {{4, 2, 2, 2, 5, 3, 2, 3, 6}, {-1, 2, 1}},
      {{1, 0, 0, 0, 1, 0, 0, 0, 1}, {5, -7, 11}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.x[0] << " " << c.x[1] << " " << c.x[2]);
    const std::array<float, 3> b = multiply(c.A, c.x);
    EXPECT_EQ(solve_3x3(c.A, b), c.x);
  }
}

TEST(solve_3x3, SingularSystemsGiveNonFiniteValues) {
  const Matrix3 cases[] = {
      {1, 1, 2, 2, 2, 1, 3, 3, 1},  // rows 0 and 1 equal
      {0, 0, 0, 1, 2, 3, 4, 5, 6},  // a zero column
      {},
  };
  for (const Matrix3& A : cases) {
    const std::array<float, 3> x = solve_3x3(A, {1, 2, 3});
    EXPECT_FALSE(std::isfinite(x[0]) && std::isfinite(x[1]) && std::isfinite(x[2]));
  }
}

TEST(solve_spd_6x6, WorkedExampleAndMatricesWithoutAFactor) {
  // A = L L^T with L lower triangular of small integers and x = (1, -2, 3, -4, 5, -6): every
  // step of the factorisation and the substitutions is exact in single precision.
  const float L[6][6] = {{2, 0, 0, 0, 0, 0}, {1, 1, 0, 0, 0, 0}, {0, 1, 2, 0, 0, 0},
                         {1, 0, 1, 1, 0, 0}, {0, 2, 0, 1, 1, 0}, {1, 1, 1, 1, 1, 2}};
  const float x[6] = {1, -2, 3, -4, 5, -6};
  std::array<float, 21> A{};
  std::array<float, 6> b{};
  for (std::size_t r = 0, entry = 0; r < 6; ++r) {
    for (std::size_t c = 0; c <= r; ++c, ++entry) {
      for (std::size_t j = 0; j < 6; ++j) A[entry] += L[r][j] * L[c][j];
    }
  }
  for (std::size_t r = 0; r < 6; ++r) {
    for (std::size_t c = 0; c < 6; ++c) {
      float a = 0.0f;
      for (std::size_t j = 0; j < 6; ++j) a += L[r][j] * L[c][j];
      b[r] += a * x[c];
    }
  }
  const std::optional<std::array<float, 6>> solved = solve_spd_6x6(A, b);
  ASSERT_TRUE(solved.has_value());
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ((*solved)[i], x[i]) << i;

  // Singular (a zero row and column) and indefinite matrices have no factor.
  std::array<float, 21> singular = A;
  for (std::size_t c = 0; c <= 3; ++c) singular[6 + c] = 0.0f;  // row 3
  for (std::size_t r = 4; r < 6; ++r) singular[r * (r + 1) / 2 + 3] = 0.0f;
  EXPECT_FALSE(solve_spd_6x6(singular, b).has_value());
  std::array<float, 21> indefinite{};
  for (std::size_t r = 0; r < 6; ++r) indefinite[r * (r + 1) / 2 + r] = r == 4 ? -1.0f : 1.0f;
  EXPECT_FALSE(solve_spd_6x6(indefinite, b).has_value());
}

}  // namespace
}  // namespace vandrel
