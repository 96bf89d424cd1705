#pragma once
// Helpers shared by the tests of the binary point-file formats.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "api/error.h"
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

}  // namespace vandrel::testing
