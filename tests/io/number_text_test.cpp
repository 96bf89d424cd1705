#include "io/number_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>

namespace vandrel {
namespace {

TEST(parse_float, ReadsWholeNumberTokensOnly) {
  struct Case {
    const char* token;
    bool ok;
    float value;
  };
  const Case cases[] = {
      {"1.5", true, 1.5f},       {"+2", true, 2.0f},        {"-0.25e2", true, -25.0f}, {".5", true, 0.5f},
      {"1e-50", true, 0.0f},     {"3.4028235e38", true, 3.4028235e38f},                {"3.5e38", false, 0.0f},
      {"1e400", false, 0.0f},    {"abc", false, 0.0f},      {"1.5x", false, 0.0f},     {"", false, 0.0f},
      {"+", false, 0.0f},        {"+-1", false, 0.0f},      {"1,5", false, 0.0f},      {"0x10", false, 0.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.token);
    float value = -1.0f;
    ASSERT_EQ(parse_float(c.token, value), c.ok);
    if (c.ok) {
      EXPECT_EQ(value, c.value);
    }
  }
  float subnormal = 0.0f;
  ASSERT_TRUE(parse_float("1e-40", subnormal));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(subnormal), 71362u);  // 1e-40 rounded to the nearest subnormal
  float nan = 0.0f;
  EXPECT_TRUE(parse_float("nan", nan) && std::isnan(nan));
}

TEST(parse_float, RoundsTheDecimalOnceNotThroughDouble) {
  // Decimal -> double -> float rounds this value the other way than a single rounding does.
  float value = 0.0f;
  ASSERT_TRUE(parse_float("1.00000005960464477550", value));
  EXPECT_EQ(value, 1.00000011920928955078125f);
}

TEST(append_float9, GivesNineDigitsThatReadBackToTheSameBits) {
  std::string text;
  append_float9(text, 0.1f);
  EXPECT_EQ(text, "0.100000001");
  text.clear();
  append_float9(text, -2.0f);
  EXPECT_EQ(text, "-2");

  std::mt19937 rng(7);
  std::uniform_int_distribution<std::uint32_t> bits(0, 0x7f7fffffu);
  for (int i = 0; i < 20000; ++i) {
    const float x = std::bit_cast<float>(bits(rng) | (i % 2 == 0 ? 0x80000000u : 0u));
    text.clear();
    append_float9(text, x);
    float back = 0.0f;
    ASSERT_TRUE(parse_float(text, back)) << text;
    ASSERT_EQ(std::bit_cast<std::uint32_t>(back), std::bit_cast<std::uint32_t>(x)) << text;
  }
}

}  // namespace
}  // namespace vandrel
