// jet_smooth: the benchmark peer. Smooths a point cloud with CGAL's jet smoothing
// (a degree-2 jet fitted to the K nearest neighbours of every point, which moves onto it),
// serially, and prints the process CPU time of the smoothing alone.
//
//   jet_smooth INPUT.xyz OUTPUT.xyz K
//
// INPUT holds one "x y z" per line (further columns are ignored, blank lines skipped);
// OUTPUT gets the smoothed points in input order, 17 significant digits. Prints one line
//   jet k=K points=N cpu_s=<seconds>
// to standard output. Exit codes: 0 success, 1 a file error, 2 bad usage.
#include <CGAL/Simple_cartesian.h>
#include <CGAL/jet_smooth_point_set.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Kernel = CGAL::Simple_cartesian<double>;
using Point = Kernel::Point_3;

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;
// Degree-2 jet fitting needs at least 6 points (the query point counts among its neighbours).
constexpr unsigned min_neighbours = 6;

std::vector<Point> read_xyz(const std::string& path) {
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

// Written beside OUTPUT and renamed over it once complete, so a failure leaves no partial file.
void write_xyz(const std::string& path, const std::vector<Point>& points) {
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

bool parse_k(const char* text, unsigned& k) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < static_cast<long>(min_neighbours) || value > 1000000) return false;
  k = static_cast<unsigned>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned k = 0;
  if (argc != 4 || !parse_k(argv[3], k)) {
    std::cerr << "usage: jet_smooth INPUT.xyz OUTPUT.xyz K   (K: neighbourhood size, integer >= " << min_neighbours
              << ")\n";
    return exit_usage;
  }
  try {
    std::vector<Point> points = read_xyz(argv[1]);
    if (points.size() < k) {
      throw std::runtime_error(std::string(argv[1]) + " holds " + std::to_string(points.size()) +
                               " points, fewer than K = " + std::to_string(k));
    }
    const std::clock_t start = std::clock();
    CGAL::jet_smooth_point_set<CGAL::Sequential_tag>(points, k);
    const std::clock_t stop = std::clock();
    write_xyz(argv[2], points);
    const double cpu_s = static_cast<double>(stop - start) / CLOCKS_PER_SEC;
    std::cout << "jet k=" << k << " points=" << points.size() << " cpu_s=" << cpu_s << '\n';
  } catch (const std::exception& e) {
    std::cerr << "jet_smooth: " << e.what() << '\n';
    return exit_failure;
  }
  return 0;
}
