#pragma once
// Helpers shared by the tests of the binary point-file formats.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "vandrel/error.h"
#include "scratch_dir.h"

namespace vandrel::testing {

inline std::string test_file(const std::string& name) {
  return read_file(std::filesystem::path(VANDREL_TEST_DATA_DIR) / "formats" / name);
}

/// Runs `action` and checks that it throws vandrel::Error `identifier` whose message holds `part`.
inline void expect_error(const std::function<void()>& action, const std::string& identifier, const std::string& part) {
  try {
    action();
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.identifier(), identifier);
    EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
  }
}

/// Equal floats, NaN equal to NaN.
inline bool same_values(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!(a[i] == b[i] || (std::isnan(a[i]) && std::isnan(b[i])))) return false;
  return true;
}

/// Expects the same points from two reads whose coordinates are relative to different
/// origins: equal to the last bit of single precision at the coordinates' magnitude (NaN
/// equal to NaN).
inline void expect_same_points(const std::vector<float>& a, const std::array<double, 3>& origin_a,
                               const std::vector<float>& b, const std::array<double, 3>& origin_b) {
  ASSERT_EQ(a.size(), b.size());
  const std::size_t n = a.size() / 3;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (std::isnan(a[k]) || std::isnan(b[k])) {
      EXPECT_TRUE(std::isnan(a[k]) && std::isnan(b[k])) << "value " << k;
      continue;
    }
    const double tolerance = 1.2e-7 * std::max(std::abs(a[k]), std::abs(b[k]));
    EXPECT_NEAR(a[k] + origin_a[k / n], b[k] + origin_b[k / n], tolerance) << "value " << k;
  }
}

}  // namespace vandrel::testing
