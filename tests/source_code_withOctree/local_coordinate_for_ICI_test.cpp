#include "source_code_withOctree/local_coordinate_for_ICI.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <vector>

namespace vandrel {
namespace {

struct Frame {
  float V[9];
  std::int32_t V_size[2] = {-1, -1};
  double order[3] = {-1, -1, -1};
  std::int32_t order_size = -1;
};

Frame frame_of(const float X[150]) {
  Frame f;
  const std::int32_t X_size[2] = {50, 3};
  local_coordinate_for_ICI(X, X_size, f.V, f.V_size, f.order, &f.order_size);
  return f;
}

// |cos| of the angle between column `column` (1-based) of V and the unit vector d.
double alignment(const Frame& f, double column, const double d[3]) {
  const int c = static_cast<int>(column) - 1;
  double dot = 0.0;
  double norm = 0.0;
  for (int i = 0; i < 3; ++i) {
    dot += f.V[i + 3 * c] * d[i];
    norm += static_cast<double>(f.V[i + 3 * c]) * f.V[i + 3 * c];
  }
  return std::fabs(dot) / std::sqrt(norm);
}

void expect_permutation(const Frame& f) {
  ASSERT_EQ(f.order_size, 3);
  bool seen[3] = {false, false, false};
  for (const double o : f.order) {
    ASSERT_TRUE(o == 1.0 || o == 2.0 || o == 3.0) << o;
    seen[static_cast<int>(o) - 1] = true;
  }
  EXPECT_TRUE(seen[0] && seen[1] && seen[2]);
}

TEST(local_coordinate_for_ICI, IdenticalNeighboursGiveAnOrthogonalFrameInInputOrder) {
  float X[150];
  for (int r = 0; r < 50; ++r) {
    X[r] = 12.5f;
    X[r + 50] = -3.0f;
    X[r + 100] = 0.375f;
  }
  // Partial sums of these values are exact, so the means are too and the centred
  // neighbourhood is exactly zero. (With 0.1f the mean would round off the value.)
  const Frame f = frame_of(X);
  EXPECT_EQ(f.V_size[0], 3);
  EXPECT_EQ(f.V_size[1], 3);
  // The scatter matrix is exactly zero: three tied eigenvalues keep their order.
  EXPECT_EQ(f.order[0], 1.0);
  EXPECT_EQ(f.order[1], 2.0);
  EXPECT_EQ(f.order[2], 3.0);
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) {
      double d = 0.0;
      for (int i = 0; i < 3; ++i) d += static_cast<double>(f.V[i + 3 * a]) * f.V[i + 3 * b];
      EXPECT_NEAR(d, a == b ? 1.0 : 0.0, 1e-6) << a << ", " << b;
    }
  }
}

TEST(local_coordinate_for_ICI, PlanarNeighboursOrderTheAxesBySpreadWithTheNormalLast) {
  // An orthonormal basis: e1 and e2 span the plane, n is its normal.
  const double e1[3] = {2.0 / 3, 1.0 / 3, -2.0 / 3};
  const double e2[3] = {2.0 / 3, -2.0 / 3, 1.0 / 3};
  const double n[3] = {1.0 / 3, 2.0 / 3, 2.0 / 3};
  struct Case {
    const char* name;
    double offset_along_normal;  // 0: exactly on the plane
    bool swap_axes;
  };
  const Case cases[] = {{"on the plane", 0.0, false}, {"axes swapped", 0.0, true}, {"slightly off", 0.05, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A symmetric 10 x 5 grid: the in-plane spreads (8.25 and 2 per point) differ and
    // the cross terms cancel, so the principal axes are e1, e2 and n.
    const double* wide = c.swap_axes ? e2 : e1;
    const double* narrow = c.swap_axes ? e1 : e2;
    float X[150];
    for (int r = 0; r < 50; ++r) {
      const double s = (r % 10) - 4.5;
      const double t = (r / 10) - 2.0;
      // Off-plane offsets with zero mean and no correlation with s or t.
      const double h = (t == 0.0 ? -4.0 : 1.0) * c.offset_along_normal;
      const double centre[3] = {10.0, -5.0, 3.0};
      for (int k = 0; k < 3; ++k) {
        X[r + 50 * k] = static_cast<float>(centre[k] + s * wide[k] + t * narrow[k] + h * n[k]);
      }
    }
    const Frame f = frame_of(X);
    expect_permutation(f);
    EXPECT_GT(alignment(f, f.order[0], wide), 1.0 - 1e-5);
    EXPECT_GT(alignment(f, f.order[1], narrow), 1.0 - 1e-5);
    EXPECT_GT(alignment(f, f.order[2], n), 1.0 - 1e-5);
  }
}

TEST(local_coordinate_for_ICI, NonFiniteNeighbourMakesTheFrameNaN) {
  const float bad_values[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()};
  for (const float bad : bad_values) {
    for (const int position : {0, 77, 149}) {
      SCOPED_TRACE(::testing::Message() << bad << " at " << position);
      float X[150];
      for (int k = 0; k < 150; ++k) X[k] = static_cast<float>((k * 37) % 11) - 5.0f;
      X[position] = bad;
      const Frame f = frame_of(X);
      for (int k = 0; k < 9; ++k) EXPECT_TRUE(std::isnan(f.V[k])) << k;
      // All-NaN eigenvalues tie and keep their order.
      EXPECT_EQ(f.order[0], 1.0);
      EXPECT_EQ(f.order[1], 2.0);
      EXPECT_EQ(f.order[2], 3.0);
    }
  }
}

TEST(local_coordinate_for_ICI, ConcurrentCallsGiveTheSerialBits) {
  constexpr int count = 400;
  std::mt19937 rng(99);
  std::uniform_real_distribution<float> coordinate(-20.0f, 20.0f);
  std::vector<float> clouds(150 * count);
  for (float& x : clouds) x = coordinate(rng);
  std::vector<Frame> serial(count);
  for (int i = 0; i < count; ++i) serial[static_cast<std::size_t>(i)] = frame_of(&clouds[150 * static_cast<std::size_t>(i)]);

  std::vector<Frame> parallel(count);
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&, t] {
      for (int i = t; i < count; i += 4) {
        parallel[static_cast<std::size_t>(i)] = frame_of(&clouds[150 * static_cast<std::size_t>(i)]);
      }
    });
  }
  for (std::thread& w : workers) w.join();
  for (int i = 0; i < count; ++i) {
    SCOPED_TRACE(i);
    const Frame& a = serial[static_cast<std::size_t>(i)];
    const Frame& b = parallel[static_cast<std::size_t>(i)];
    EXPECT_EQ(std::memcmp(a.V, b.V, sizeof a.V), 0);
    EXPECT_EQ(std::memcmp(a.order, b.order, sizeof a.order), 0);
  }
}

}  // namespace
}  // namespace vandrel
