#include "numeric/mtimes.h"

#include <gtest/gtest.h>

#include <vector>

#include "emx_fixture.h"
#include "host/native_host.h"
#include "numeric/b_mtimes.h"
#include "numeric/c_mtimes.h"
#include "numeric/d_mtimes.h"
#include "numeric/e_mtimes.h"
#include "numeric/f_mtimes.h"

namespace vandrel {
namespace {

using fixtures::TestArray;

// A = [1 2 3; 4 5 6], column-major. Small integers keep every product exact.
const std::vector<float> A23 = {1, 4, 2, 5, 3, 6};

TEST(mtimes, MultipliesAndHandlesEmptyOperands) {
  NativeHost host;
  Context ctx(host);
  {
    SCOPED_TRACE("2 x 3 times 3 x 2");
    TestArray A(ctx, {2, 3}, A23);
    const float B[6] = {1, 0, -1, 2, 1, 0};  // [1 2; 0 1; -1 0]
    const std::int32_t B_size[2] = {3, 2};
    TestArray C(ctx, {0, 0});
    mtimes(ctx, A.get(), B, B_size, C.get());
    EXPECT_EQ(C.size(0), 2);
    EXPECT_EQ(C.size(1), 2);
    EXPECT_EQ(C.values(), (std::vector<float>{-2, -2, 4, 13}));
  }
  {
    SCOPED_TRACE("0-row A");
    TestArray A(ctx, {0, 3});
    const float B[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const std::int32_t B_size[2] = {3, 3};
    TestArray C(ctx, {2, 2}, {1, 1, 1, 1});
    mtimes(ctx, A.get(), B, B_size, C.get());
    EXPECT_EQ(C.size(0), 0);
    EXPECT_EQ(C.size(1), 3);
  }
  {
    SCOPED_TRACE("empty inner dimension");
    TestArray A(ctx, {2, 0});
    const std::int32_t B_size[2] = {0, 3};
    TestArray C(ctx, {2, 3}, {1, 1, 1, 1, 1, 1});
    mtimes(ctx, A.get(), nullptr, B_size, C.get());
    EXPECT_EQ(C.size(0), 2);
    EXPECT_EQ(C.size(1), 3);
    EXPECT_EQ(C.values(), std::vector<float>(6, 0.0f));
  }
}

TEST(b_mtimes, MultipliesByAColumnAndGivesZerosForEmptyOperands) {
  NativeHost host;
  Context ctx(host);
  const float x[3] = {1, -1, 2};
  {
    SCOPED_TRACE("2 x 3 times 3, 1-D result");
    TestArray A(ctx, {2, 3}, A23);
    TestArray y(ctx, {0});
    b_mtimes(ctx, A.get(), x, 3, y.get());
    EXPECT_EQ(y.size(0), 2);
    EXPECT_EQ(y.values(), (std::vector<float>{5, 11}));
  }
  {
    SCOPED_TRACE("2-D result");
    TestArray A(ctx, {2, 3}, A23);
    TestArray y(ctx, {0, 0});
    b_mtimes(ctx, A.get(), x, 3, y.get());
    EXPECT_EQ(y.size(0), 2);
    EXPECT_EQ(y.size(1), 1);
  }
  struct Empty {
    const char* name;
    std::int32_t rows, cols, x_length;
  };
  const Empty empties[] = {{"no columns", 4, 0, 0}, {"no rows", 0, 3, 3}, {"empty x", 4, 3, 0}};
  for (const Empty& e : empties) {
    SCOPED_TRACE(e.name);
    TestArray A(ctx, {e.rows, e.cols}, std::vector<float>(static_cast<std::size_t>(e.rows * e.cols), 1.0f));
    TestArray y(ctx, {2}, {7, 7});
    b_mtimes(ctx, A.get(), x, e.x_length, y.get());
    EXPECT_EQ(y.size(0), e.rows);
    EXPECT_EQ(y.values(), std::vector<float>(static_cast<std::size_t>(e.rows), 0.0f));
  }
}

TEST(c_mtimes, DotProductAndEmptyVectors) {
  NativeHost host;
  Context ctx(host);
  const std::int64_t live_before = host.live_allocations();
  {
    TestArray x(ctx, {4}, {1, 2, 3, 4});
    TestArray y(ctx, {4, 1}, {0.5f, -1, 2, 0.25f});
    EXPECT_EQ(c_mtimes(ctx, x.get(), y.get()), 5.5f);
    EXPECT_EQ(x.values(), (std::vector<float>{1, 2, 3, 4}));
    TestArray empty(ctx, {0});
    EXPECT_EQ(c_mtimes(ctx, empty.get(), empty.get()), 0.0f);
  }
  EXPECT_EQ(host.live_allocations(), live_before);
}

TEST(d_e_f_mtimes, RowTimesTransposeAndMatrixTimesTransposedRow) {
  // B = [1 2 3; 4 5 6] (2 x 3): a B' gives one dot product per row of B.
  const float a[3] = {1, -1, 2};
  float c[2] = {-9, -9};
  d_mtimes(a, A23.data(), 2, c);
  EXPECT_EQ(c[0], 5.0f);
  EXPECT_EQ(c[1], 11.0f);

  const float a2[2] = {2, -1};
  const float B2[6] = {1, 4, 7, 2, 5, 8};  // [1 2; 4 5; 7 8]
  float c3[3] = {-9, -9, -9};
  e_mtimes(a2, 2, B2, 3, c3);
  EXPECT_EQ(c3[0], 0.0f);
  EXPECT_EQ(c3[1], 3.0f);
  EXPECT_EQ(c3[2], 6.0f);

  float m[2] = {-9, -9};
  f_mtimes(A23.data(), 2, 3, a, m);
  EXPECT_EQ(m[0], 5.0f);
  EXPECT_EQ(m[1], 11.0f);
}

TEST(d_e_f_mtimes, EmptyOperandsDoNotReachBlas) {
  const float a[3] = {1, 2, 3};
  float c[3] = {-9, -9, -9};
  d_mtimes(a, nullptr, 0, c);
  e_mtimes(a, 3, nullptr, 0, c);
  f_mtimes(nullptr, 0, 3, a, c);
  EXPECT_EQ(c[0], -9.0f);  // nothing to write
  e_mtimes(nullptr, 0, nullptr, 3, c);
  EXPECT_EQ(c[0], 0.0f);
  EXPECT_EQ(c[2], 0.0f);
  c[0] = c[1] = c[2] = -9;
  f_mtimes(nullptr, 3, 0, nullptr, c);
  EXPECT_EQ(c[0], 0.0f);
  EXPECT_EQ(c[2], 0.0f);
}

}  // namespace
}  // namespace vandrel
