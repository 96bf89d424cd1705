#pragma once
// Checks shared by the reader harnesses: what a writer produces must read back.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "api/error.h"
#include "io/ply_file.h"
#include "io/text_table.h"

namespace vandrel::fuzz {

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "round trip: %s\n", what);
  std::abort();
}

// The same coordinates bit for bit; any NaN matches any NaN (text keeps no payload).
inline void expect_same(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) fail("the number of points changed");
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::isnan(a[i]) && std::isnan(b[i])) continue;
    if (std::bit_cast<std::uint32_t>(a[i]) != std::bit_cast<std::uint32_t>(b[i])) fail("a coordinate changed");
  }
}

inline std::int64_t rows(const std::vector<float>& xyz) { return static_cast<std::int64_t>(xyz.size() / 3); }

// A text table written in `dialect` reads back to the same coordinates and extra fields.
inline void check_text(const TextTable& table, const std::vector<float>& xyz, TextDialect dialect) {
  std::ostringstream out;
  write_text_table(out, table, dialect, xyz.data(), rows(xyz));
  std::vector<float> back;
  TextTable again;
  try {
    again = read_text_table(out.str(), dialect, "written", back);
  } catch (const Error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    fail("written text does not read back");
  }
  expect_same(xyz, back);
  if (again.extra_text != table.extra_text || again.extra_end != table.extra_end) fail("an extra field changed");
}

// A PLY document written back reads back to the same coordinates.
inline void check_ply(const PlyDocument& document, const std::vector<float>& xyz) {
  std::ostringstream out;
  write_ply(out, document, xyz.data());
  std::vector<float> back;
  try {
    read_ply(out.str(), "written.ply", back);
  } catch (const Error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    fail("written PLY does not read back");
  }
  expect_same(xyz, back);
}

// A text table converted to PLY keeps its coordinates, when it converts at all.
inline void check_text_to_ply(const TextTable& table, const std::vector<float>& xyz) {
  PlyDocument document;
  try {
    document = ply_from_table(table, rows(xyz), "in", "out.ply");
  } catch (const Error& e) {
    if (e.identifier() != "Vandrel:cannotConvert") {
      std::fprintf(stderr, "%s\n", e.what());
      fail("conversion to PLY failed other than by refusing");
    }
    return;
  }
  check_ply(document, xyz);
}

}  // namespace vandrel::fuzz
