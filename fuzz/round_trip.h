#pragma once
// Checks shared by the reader harnesses: what a writer produces must read back.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "vandrel/error.h"
#include "io/ply_file.h"
#include "io/point_file.h"
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

// Every finite coordinate moved one step towards zero, as a filter would move it: written
// anew rather than copied as read.
inline std::vector<float> moved(std::vector<float> xyz) {
  for (float& v : xyz)
    if (std::isfinite(v) && v != 0.0f) v = std::nextafter(v, 0.0f);
  return xyz;
}

// The same coordinates, origin added, up to the rounding of single precision (a cloud read
// back may have another origin, and single-precision values relative to an origin far from
// them are coarse) and half a step of the format's grid along each axis
// (LAS); NaN stays NaN.
inline void expect_close(const std::vector<float>& a, const std::array<double, 3>& a_origin,
                         const std::vector<float>& b, const std::array<double, 3>& b_origin,
                         const std::array<double, 3>& step = {}) {
  if (a.size() != b.size()) fail("the number of points changed");
  const std::size_t n = a.size() / 3;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::isnan(a[i]) || std::isnan(b[i])) {
      if (std::isnan(a[i]) != std::isnan(b[i])) fail("a NaN coordinate changed");
      continue;
    }
    const double x = static_cast<double>(a[i]) + a_origin[i / n];
    const double y = static_cast<double>(b[i]) + b_origin[i / n];
    // Read back, a value is rounded to single relative to its origin: one step of that too.
    const double single = 0x1p-23 * std::max(std::abs(static_cast<double>(a[i])), std::abs(static_cast<double>(b[i])));
    const double grid = std::abs(step[i / n]) * 0.5000001;
    if (!(std::abs(x - y) <= 0x1p-21 * std::max(std::abs(x), std::abs(y)) + 0x1p-140 + single + grid))
      fail("a new coordinate changed");
  }
}

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
  if (again.coordinate_text != table.coordinate_text) fail("the text of an unchanged coordinate changed");

  const std::vector<float> new_xyz = moved(xyz);
  std::ostringstream new_out;
  write_text_table(new_out, table, dialect, new_xyz.data(), rows(xyz));
  try {
    again = read_text_table(new_out.str(), dialect, "written", back);
  } catch (const Error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    fail("written new coordinates do not read back");
  }
  expect_close(new_xyz, table.origin, back, again.origin);
}

// A PLY document written back reads back to the same coordinates.
inline void check_ply(const PlyDocument& document, const std::vector<float>& xyz) {
  std::ostringstream out;
  write_ply(out, document, xyz.data());
  std::vector<float> same;
  PlyDocument again;
  try {
    again = read_ply(out.str(), "written.ply", same);
  } catch (const Error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    fail("written PLY does not read back");
  }
  expect_same(xyz, same);
  // Written once, a file is written back byte for byte.
  std::ostringstream out_again;
  write_ply(out_again, again, same.data());
  if (out_again.str() != out.str()) fail("an unchanged PLY file changed");

  const std::vector<float> new_xyz = moved(xyz);
  std::ostringstream new_out;
  write_ply(new_out, document, new_xyz.data());
  std::vector<float> back;
  try {
    again = read_ply(new_out.str(), "written.ply", back);
  } catch (const Error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    fail("written PLY does not read back");
  }
  expect_close(new_xyz, document.origin, back, again.origin);
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
  std::vector<float> converted;
  read_ply(document.content, "out.ply", converted);
  expect_same(xyz, converted);
  check_ply(document, xyz);
}

// A document of a format kept byte for byte (PCD, LAS, NPY), read from `read` into `xyz`:
// written back unchanged it reads back the same and is written back byte for byte again;
// with new coordinates it reads back to them, up to single-precision rounding and half
// a `step` of the format's own grid (LAS: its scale). A writer may refuse coordinates it cannot hold
// (Vandrel:cannotWrite), nothing else.
template <class Document, class Read, class Write>
void check_document(const Document& document, const std::vector<float>& xyz, Read read, Write write,
                    const std::array<double, 3>& step = {}) {
  const auto written = [&](const Document& d, const std::vector<float>& values, std::string& bytes) {
    std::ostringstream out;
    try {
      write(out, d, values.data());
    } catch (const Error& e) {
      if (e.identifier() != "Vandrel:cannotWrite") {
        std::fprintf(stderr, "%s\n", e.what());
        fail("writing failed other than by refusing");
      }
      return false;
    }
    bytes = out.str();
    return true;
  };
  const auto read_back = [&](const std::string& bytes, std::vector<float>& values) {
    try {
      return read(bytes, values);
    } catch (const Error& e) {
      std::fprintf(stderr, "%s\n", e.what());
      fail("written data do not read back");
    }
  };
  std::string bytes;
  if (!written(document, xyz, bytes)) return;
  std::vector<float> same;
  const Document again = read_back(bytes, same);
  expect_same(xyz, same);
  std::string bytes_again;
  if (!written(again, same, bytes_again) || bytes_again != bytes) fail("an unchanged file changed");

  const std::vector<float> new_xyz = moved(xyz);
  if (!written(document, new_xyz, bytes)) return;
  std::vector<float> back;
  const Document moved_back = read_back(bytes, back);
  expect_close(new_xyz, document.origin, back, moved_back.origin, step);
}

}  // namespace vandrel::fuzz
