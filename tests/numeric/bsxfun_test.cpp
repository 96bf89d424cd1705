#include "numeric/bsxfun.h"

#include <gtest/gtest.h>

#include <vector>

#include "emx_fixture.h"
#include "host/native_host.h"
#include "numeric/b_bsxfun.h"
#include "numeric/c_bsxfun.h"
#include "numeric/d_bsxfun.h"

namespace vandrel {
namespace {

using fixtures::TestArray;

TEST(bsxfun, SubtractsWithOneRowExpansionOnEitherSide) {
  NativeHost host;
  Context ctx(host);
  struct Case {
    const char* name;
    std::int32_t a_rows;
    std::vector<float> a;
    std::int32_t b_rows;
    std::vector<float> b;
    std::int32_t rows;
    std::vector<float> expected;
  };
  const Case cases[] = {
      {"n x 3 minus 1 x 3", 2, {1, 2, 3, 4, 5, 6}, 1, {1, 10, 100}, 2, {0, 1, -7, -6, -95, -94}},
      {"1 x 3 minus n x 3", 1, {1, 10, 100}, 2, {1, 2, 3, 4, 5, 6}, 2, {0, -1, 7, 6, 95, 94}},
      {"n x 3 minus n x 3", 2, {1, 2, 3, 4, 5, 6}, 2, {1, 1, 1, 1, 1, 1}, 2, {0, 1, 2, 3, 4, 5}},
      {"1 x 3 minus 1 x 3", 1, {1, 2, 3}, 1, {3, 2, 1}, 1, {-2, 0, 2}},
      {"0 x 3 minus 1 x 3", 0, {}, 1, {1, 2, 3}, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestArray A(ctx, {c.a_rows, 3}, c.a);
    TestArray B(ctx, {c.b_rows, 3}, c.b);
    TestArray C(ctx, {0, 0});
    bsxfun(ctx, A.get(), B.get(), C.get());
    EXPECT_EQ(C.size(0), c.rows);
    EXPECT_EQ(C.size(1), 3);
    EXPECT_EQ(C.values(), c.expected);
  }
}

TEST(b_bsxfun, SubtractsARowOrAScalar) {
  NativeHost host;
  Context ctx(host);
  const float row[3] = {1, 10, 100};
  {
    SCOPED_TRACE("1 x 3 row");
    const std::int32_t b_size[2] = {1, 3};
    TestArray A(ctx, {2, 3}, {1, 2, 3, 4, 5, 6});
    TestArray C(ctx, {0, 0});
    b_bsxfun(ctx, A.get(), row, b_size, C.get());
    EXPECT_EQ(C.size(0), 2);
    EXPECT_EQ(C.size(1), 3);
    EXPECT_EQ(C.values(), (std::vector<float>{0, 1, -7, -6, -95, -94}));
  }
  {
    SCOPED_TRACE("1 x 1 scalar");
    const std::int32_t b_size[2] = {1, 1};
    TestArray A(ctx, {2, 3}, {1, 2, 3, 4, 5, 6});
    TestArray C(ctx, {0, 0});
    b_bsxfun(ctx, A.get(), row, b_size, C.get());
    EXPECT_EQ(C.size(1), 3);
    EXPECT_EQ(C.values(), (std::vector<float>{0, 1, 2, 3, 4, 5}));
  }
  {
    SCOPED_TRACE("1 x 2 row on n x 2, in place");
    const std::int32_t b_size[2] = {1, 2};
    TestArray A(ctx, {3, 2}, {1, 2, 3, 4, 5, 6});
    b_bsxfun(ctx, A.get(), row, b_size, A.get());
    EXPECT_EQ(A.values(), (std::vector<float>{0, 1, 2, -6, -5, -4}));
  }
}

TEST(c_bsxfun, AddsTheMatrixToEverySlice) {
  NativeHost host;
  Context ctx(host);
  const float B[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  std::vector<float> slices(18);
  for (int k = 0; k < 18; ++k) slices[static_cast<std::size_t>(k)] = static_cast<float>(100 * (k / 9) - k);
  TestArray A(ctx, {3, 3, 2}, slices);
  TestArray C(ctx, {0, 0, 0});
  c_bsxfun(ctx, A.get(), B, C.get());
  ASSERT_EQ(C.size(0), 3);
  ASSERT_EQ(C.size(1), 3);
  ASSERT_EQ(C.size(2), 2);
  for (int k = 0; k < 18; ++k) EXPECT_EQ(C[k], slices[static_cast<std::size_t>(k)] + B[k % 9]) << k;

  TestArray none(ctx, {3, 3, 0});
  c_bsxfun(ctx, none.get(), B, C.get());
  EXPECT_EQ(C.size(2), 0);
  EXPECT_EQ(C.numel(), 0);
}

TEST(d_bsxfun, AddsTheVectorToEverySlice) {
  NativeHost host;
  Context ctx(host);
  const float p[3] = {0.5f, -1.0f, 8.0f};
  TestArray A(ctx, {3, 1, 3}, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  d_bsxfun(ctx, A.get(), p, A.get());
  EXPECT_EQ(A.size(2), 3);
  EXPECT_EQ(A.values(), (std::vector<float>{1.5f, 1, 11, 4.5f, 4, 14, 7.5f, 7, 17}));
}

}  // namespace
}  // namespace vandrel
