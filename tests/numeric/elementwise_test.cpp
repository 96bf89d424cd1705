#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "emx_fixture.h"
#include "host/native_host.h"
#include "numeric/b_isequal.h"
#include "numeric/isequal.h"
#include "numeric/polyval.h"
#include "numeric/power.h"
#include "numeric/repmat.h"
#include "numeric/sum.h"

namespace vandrel {
namespace {

using fixtures::TestArray;

constexpr float nan_f = std::numeric_limits<float>::quiet_NaN();
constexpr float inf_f = std::numeric_limits<float>::infinity();

TEST(power, RaisesToMinusTwo) {
  const float x[4] = {0.0f, nan_f, -2.0f, 0.5f};
  float y[4];
  power(x, y);
  EXPECT_EQ(y[0], inf_f);
  EXPECT_TRUE(std::isnan(y[1]));
  EXPECT_EQ(y[2], 0.25f);
  EXPECT_EQ(y[3], 4.0f);
  const float more[4] = {-0.0f, inf_f, 4.0f, 1.0e-20f};
  power(more, y);
  EXPECT_EQ(y[0], inf_f);
  EXPECT_EQ(y[1], 0.0f);
  EXPECT_EQ(y[2], 0.0625f);
  EXPECT_EQ(y[3], inf_f);  // 1e40 overflows single
}

TEST(isequal, TrueOnlyWhenEveryEntryIsZero) {
  struct Case {
    const char* name;
    float value;  // written into one entry of an otherwise zero array
    bool expected;
  };
  const Case cases[] = {
      {"zero", 0.0f, true},
      {"negative zero", -0.0f, true},
      {"NaN", nan_f, false},
      {"smallest subnormal", 0x1p-149f, false},
      {"-1", -1.0f, false},
  };
  for (const Case& c : cases) {
    for (int position = 0; position < 9; ++position) {
      SCOPED_TRACE(::testing::Message() << c.name << " at " << position);
      float A[9] = {-0.0f, -0.0f, -0.0f, 0.0f, 0.0f, 0.0f, -0.0f, 0.0f, -0.0f};
      A[position] = c.value;
      EXPECT_EQ(isequal(A), c.expected);
      if (position < 3) {
        float x[3] = {-0.0f, 0.0f, -0.0f};
        x[position] = c.value;
        EXPECT_EQ(b_isequal(x), c.expected);
      }
    }
  }
}

TEST(repmat, RepeatsTheColumnThreeTimes) {
  const float v[4] = {1.0f, -2.0f, nan_f, 4.0f};
  float out[12];
  repmat(v, out);
  for (int k = 0; k < 12; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(out[k]), std::bit_cast<std::uint32_t>(v[k % 4]));
  }
}

TEST(sum, AddsEachColumnTopToBottom) {
  // e = 2^-24 is half an ulp of 1. Top to bottom, column 0 loses every e and column 2
  // gathers 3e before meeting 1: 1 + 1.5 ulp rounds to even, 1 + 2^-22. Bottom to top
  // would give the opposite.
  constexpr float e = 0x1p-24f;
  const float M[12] = {1.0f, e, e, e,  //
                       2.0f, 3.0f, -5.0f, 0.25f,  //
                       e, e, e, 1.0f};
  float s[3];
  sum(M, s);
  EXPECT_EQ(s[0], 1.0f);
  EXPECT_EQ(s[1], 0.25f);
  EXPECT_EQ(s[2], 1.0f + 0x1p-22f);
}

TEST(polyval, EvaluatesTheFixedSlopeLine) {
  NativeHost host;
  Context ctx(host);
  const float p[2] = {1.0805545f, 0.0f};
  {
    SCOPED_TRACE("x = 1 gives the slope's bits");
    TestArray x(ctx, {1}, {1.0f});
    TestArray y(ctx, {0});
    polyval(ctx, p, x.get(), y.get());
    ASSERT_EQ(y.size(0), 1);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(y[0]), 0x3F8A4F9Cu);
  }
  {
    SCOPED_TRACE("x = 0 gives the constant term");
    const float q[2] = {1.0805545f, -0.125f};
    TestArray x(ctx, {3, 1}, {0.0f, -0.0f, 2.0f});
    TestArray y(ctx, {0, 0});
    polyval(ctx, q, x.get(), y.get());
    ASSERT_EQ(y.size(0), 3);
    ASSERT_EQ(y.size(1), 1);
    EXPECT_EQ(y[0], -0.125f);
    EXPECT_EQ(y[1], -0.125f);
    EXPECT_EQ(y[2], 2.0f * 1.0805545f - 0.125f);
  }
  {
    SCOPED_TRACE("empty");
    TestArray x(ctx, {0});
    TestArray y(ctx, {5}, {1, 2, 3, 4, 5});
    polyval(ctx, p, x.get(), y.get());
    EXPECT_EQ(y.size(0), 0);
  }
}

}  // namespace
}  // namespace vandrel
