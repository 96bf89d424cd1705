#include "numeric/eig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <limits>
#include <vector>

#define lapack_complex_float std::complex<float>
#define lapack_complex_double std::complex<double>
#include <lapacke.h>

namespace vandrel {
namespace {

struct Eigen {
  creal32_T V[9];
  std::int32_t V_size[2] = {-1, -1};
  creal32_T D[3];
  std::int32_t D_size = -1;
};

Eigen run_eig(const float* A, std::int32_t n) {
  Eigen e;
  const std::int32_t size[2] = {n, n};
  eig(A, size, e.V, e.V_size, e.D, &e.D_size);
  return e;
}

std::complex<double> z(const creal32_T& c) { return {c.re, c.im}; }

// max over columns k of |A v_k - d_k v_k|, in double complex arithmetic.
double residual(const float* A, const Eigen& e, int n) {
  double worst = 0.0;
  for (int k = 0; k < n; ++k) {
    for (int i = 0; i < n; ++i) {
      std::complex<double> r = -z(e.D[k]) * z(e.V[i + n * k]);
      for (int j = 0; j < n; ++j) r += static_cast<double>(A[i + n * j]) * z(e.V[j + n * k]);
      worst = std::max(worst, std::abs(r));
    }
  }
  return worst;
}

// max |V' V - I| for a real V.
double orthogonality_error(const Eigen& e, int n) {
  double worst = 0.0;
  for (int a = 0; a < n; ++a) {
    for (int b = 0; b < n; ++b) {
      double d = 0.0;
      for (int i = 0; i < n; ++i) d += static_cast<double>(e.V[i + n * a].re) * e.V[i + n * b].re;
      worst = std::max(worst, std::fabs(d - (a == b ? 1.0 : 0.0)));
    }
  }
  return worst;
}

std::vector<double> sorted_real_parts(const Eigen& e, int n) {
  std::vector<double> d;
  for (int k = 0; k < n; ++k) d.push_back(e.D[k].re);
  std::sort(d.begin(), d.end());
  return d;
}

TEST(eig, SymmetricMatricesGiveRealOrthogonalFactors) {
  struct Case {
    const char* name;
    int n;
    std::vector<float> A;
    std::vector<double> eigenvalues;  // ascending
  };
  const Case cases[] = {
      {"3 x 3", 3, {2, 1, 0, 1, 2, 0, 0, 0, 5}, {1, 3, 5}},
      {"tridiagonal", 3, {4, 1, 0, 1, 3, 1, 0, 1, 2}, {3 - std::sqrt(3.0), 3, 3 + std::sqrt(3.0)}},
      {"2 x 2", 2, {2, 1, 1, 2}, {1, 3}},
      {"1 x 1", 1, {-4}, {-4}},
      {"zero", 3, {0, 0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Eigen e = run_eig(c.A.data(), c.n);
    ASSERT_EQ(e.V_size[0], c.n);
    ASSERT_EQ(e.V_size[1], c.n);
    ASSERT_EQ(e.D_size, c.n);
    for (int k = 0; k < c.n * c.n; ++k) EXPECT_EQ(std::bit_cast<std::uint32_t>(e.V[k].im), 0u);
    for (int k = 0; k < c.n; ++k) EXPECT_EQ(std::bit_cast<std::uint32_t>(e.D[k].im), 0u);
    const std::vector<double> d = sorted_real_parts(e, c.n);
    for (int k = 0; k < c.n; ++k) EXPECT_NEAR(d[static_cast<std::size_t>(k)], c.eigenvalues[static_cast<std::size_t>(k)], 1e-5);
    EXPECT_LT(orthogonality_error(e, c.n), 1e-6);
    EXPECT_LT(residual(c.A.data(), e, c.n), 1e-5);
  }
}

TEST(eig, RealRouteLeavesTheSchurOrderUnsorted) {
  // A diagonal matrix is its own Schur form: the eigenvalues come back in place.
  const float A[9] = {3, 0, 0, 0, 1, 0, 0, 0, 2};
  const Eigen e = run_eig(A, 3);
  EXPECT_EQ(e.D[0].re, 3.0f);
  EXPECT_EQ(e.D[1].re, 1.0f);
  EXPECT_EQ(e.D[2].re, 2.0f);
  for (int k = 0; k < 9; ++k) EXPECT_EQ(std::fabs(e.V[k].re), k % 4 == 0 ? 1.0f : 0.0f) << k;
}

TEST(eig, NonSymmetricMatrixTakesTheComplexRoute) {
  // A rotation-scaling block and a separate axis: eigenvalues 1 + 2i, 1 - 2i and 3,
  // which the real Schur route, reading only T's diagonal, cannot produce.
  const float A[9] = {1, 2, 0, -2, 1, 0, 0, 0, 3};
  const Eigen e = run_eig(A, 3);
  std::vector<std::complex<double>> d = {z(e.D[0]), z(e.D[1]), z(e.D[2])};
  const std::complex<double> expected[3] = {{1, 2}, {1, -2}, {3, 0}};
  for (const auto& x : expected) {
    SCOPED_TRACE(::testing::Message() << x);
    EXPECT_TRUE(std::any_of(d.begin(), d.end(), [&](auto v) { return std::abs(v - x) < 1e-5; }));
  }
  EXPECT_LT(residual(A, e, 3), 1e-5);
}

TEST(eig, OneBitOfAsymmetryIsEnoughForTheComplexRoute) {
  const float symmetric[9] = {4, 1, 0.5f, 1, 3, 1, 0.5f, 1, 2};
  const Eigen schur = run_eig(symmetric, 3);
  // Each off-diagonal pair in turn gets its lower entry moved by one ulp.
  const int lower_entries[3] = {1, 2, 5};
  for (const int entry : lower_entries) {
    SCOPED_TRACE(entry);
    float A[9];
    std::copy(symmetric, symmetric + 9, A);
    A[entry] = std::nextafter(A[entry], 10.0f);
    const Eigen e = run_eig(A, 3);

    std::complex<float> a[9], w[3], vl[1], vr[9];
    for (int k = 0; k < 9; ++k) a[k] = A[k];
    ASSERT_EQ(LAPACKE_cgeev(LAPACK_COL_MAJOR, 'N', 'V', 3, a, 3, w, vl, 1, vr, 3), 0);
    bool differs_from_schur = false;
    for (int k = 0; k < 9; ++k) {
      EXPECT_EQ(e.V[k].re, vr[k].real()) << k;
      EXPECT_EQ(e.V[k].im, vr[k].imag()) << k;
      differs_from_schur = differs_from_schur || e.V[k].re != schur.V[k].re;
    }
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(e.D[k].re, w[k].real());
      EXPECT_EQ(e.D[k].im, w[k].imag());
      differs_from_schur = differs_from_schur || e.D[k].re != schur.D[k].re;
    }
    EXPECT_TRUE(differs_from_schur) << "this case cannot tell the routes apart";
  }
}

TEST(eig, NonFiniteEntryMakesEverythingNaN) {
  const float values[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity()};
  for (const float bad : values) {
    for (const int position : {0, 4, 7, 8}) {
      SCOPED_TRACE(::testing::Message() << bad << " at " << position);
      float A[9] = {2, 1, 0, 1, 2, 0, 0, 0, 5};
      A[position] = bad;
      const Eigen e = run_eig(A, 3);
      ASSERT_EQ(e.D_size, 3);
      for (int k = 0; k < 9; ++k) {
        EXPECT_TRUE(std::isnan(e.V[k].re));
        EXPECT_EQ(e.V[k].im, 0.0f);
      }
      for (int k = 0; k < 3; ++k) {
        EXPECT_TRUE(std::isnan(e.D[k].re));
        EXPECT_EQ(e.D[k].im, 0.0f);
      }
    }
  }
}

}  // namespace
}  // namespace vandrel
