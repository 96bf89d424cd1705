#include "core/root_block.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace vandrel {
namespace {

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

TEST(root_block, TakesEveryFiniteRowInOrder) {
  struct Case {
    const char* what;
    std::vector<Point> cloud;
    std::vector<std::int32_t> rows;
  };
  const Case cases[] = {
      {"empty", {}, {}},
      {"finite rows, ascending", {{1, 2, 3}, {4, 5, 6}, {0, 0, 1}}, {0, 1, 2}},
      {"NaN and infinite coordinates stay out, one row at a time",
       {{1, 2, 3}, {nan, 5, 6}, {0, inf, 1}, {0, 0, -inf}, {7, 8, 9}},
       {0, 4}},
      {"all at the origin: nothing to filter", {{0, 0, 0}, {0, -0.0f, 0}, {nan, 5, 0}}, {}},
      {"copies of a point among others are members", {{2, 2, 2}, {2, 2, 2}, {3, 2, 2}}, {0, 1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(root_block(c.cloud), c.rows);
  }
}

}  // namespace
}  // namespace vandrel
