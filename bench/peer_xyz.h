// Point files of the benchmark peers: plain "x y z" text, read and written in double precision.
#pragma once

#include <CGAL/Simple_cartesian.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace vandrel::bench {

using Kernel = CGAL::Simple_cartesian<double>;
using Point = Kernel::Point_3;

/// The points of an xyz file: one "x y z" per line, further columns ignored, blank lines skipped.
/// Throws std::runtime_error naming the file and line on a missing file or a non-finite coordinate.
inline std::vector<Point> read_xyz(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::vector<Point> points;
  std::string line;
  for (long line_number = 1; std::getline(in, line); ++line_number) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    std::istringstream fields(line);
    double x, y, z;
    if (!(fields >> x >> y >> z) || !std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z)) {
      throw std::runtime_error(path + ", line " + std::to_string(line_number) + ": expected three finite numbers x y z");
    }
    points.emplace_back(x, y, z);
  }
  if (in.bad()) throw std::runtime_error("cannot read " + path);
  return points;
}

/// Written beside OUTPUT and renamed over it once complete, so a failure leaves no partial file.
inline void write_xyz(const std::string& path, const std::vector<Point>& points) {
  const std::string partial = path + ".partial";
  {
    std::ofstream out(partial);
    if (!out) throw std::runtime_error("cannot create " + partial);
    out.precision(std::numeric_limits<double>::max_digits10);
    for (const Point& p : points) out << p.x() << ' ' << p.y() << ' ' << p.z() << '\n';
    out.close();
    if (!out) {
      std::remove(partial.c_str());
      throw std::runtime_error("cannot write " + partial);
    }
  }
  std::error_code error;
  std::filesystem::rename(partial, path, error);
  if (error) {
    std::remove(partial.c_str());
    throw std::runtime_error("cannot rename " + partial + " to " + path + ": " + error.message());
  }
}

/// Parses a whole decimal integer in [min_value, 1000000]; false (count untouched) otherwise.
inline bool parse_count(const char* text, unsigned min_value, unsigned& count) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < static_cast<long>(min_value) || value > 1000000) return false;
  count = static_cast<unsigned>(value);
  return true;
}

}  // namespace vandrel::bench
