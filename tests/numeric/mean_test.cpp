#include "numeric/mean.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "emx_fixture.h"
#include "host/native_host.h"

namespace vandrel {
namespace {

using fixtures::TestArray;

constexpr float tiny = 0x1p-24f;  // half an ulp of 1: 1 + tiny rounds back to 1

float plain_left_to_right_sum(const std::vector<float>& x) {
  float s = 0.0f;
  for (const float v : x) s += v;
  return s;
}

TEST(mean, SumsInBlocksOf1024) {
  // x = 1 followed by n - 1 copies of 2^-24. Added one by one to 1 each copy is lost;
  // summed on their own within a later block they survive. The totals below are exact.
  struct Case {
    std::int32_t n;
    float blocked_total;
    bool differs_from_plain_sum;  // up to 1025 values the two orders coincide
  };
  const Case cases[] = {
      {1, 1.0f, false},
      {1024, 1.0f, false},
      {1025, 1.0f, false},
      {1500, 1.0f + 476.0f * tiny, true},
      {2048, 1.0f + 1024.0f * tiny, true},
      {3000, 1.0f + 1024.0f * tiny + 952.0f * tiny, true},
  };
  NativeHost host;
  Context ctx(host);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n);
    std::vector<float> values(static_cast<std::size_t>(c.n), tiny);
    values[0] = 1.0f;
    TestArray x(ctx, {c.n}, values);
    const float expected = c.blocked_total / static_cast<float>(c.n);
    EXPECT_EQ(mean(x.get()), expected);
    const float plain = plain_left_to_right_sum(values) / static_cast<float>(c.n);
    EXPECT_EQ(expected != plain, c.differs_from_plain_sum);
  }
}

TEST(mean, ReadsTheLengthFromTheFirstDimensionAndPropagatesNaN) {
  NativeHost host;
  Context ctx(host);
  TestArray column(ctx, {4, 1}, {1.0f, 2.0f, 3.0f, 6.0f});
  EXPECT_EQ(mean(column.get()), 3.0f);
  TestArray with_nan(ctx, {3}, {1.0f, NAN, 3.0f});
  EXPECT_TRUE(std::isnan(mean(with_nan.get())));
  TestArray empty(ctx, {0});
  EXPECT_TRUE(std::isnan(mean(empty.get())));
}

}  // namespace
}  // namespace vandrel
