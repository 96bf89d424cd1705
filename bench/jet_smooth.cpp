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
#include "peer_xyz.h"

#include <CGAL/jet_smooth_point_set.h>

#include <ctime>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using vandrel::bench::Point;

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;
// Degree-2 jet fitting needs at least 6 points (the query point counts among its neighbours).
constexpr unsigned min_neighbours = 6;

}  // namespace

int main(int argc, char** argv) {
  unsigned k = 0;
  if (argc != 4 || !vandrel::bench::parse_count(argv[3], min_neighbours, k)) {
    std::cerr << "usage: jet_smooth INPUT.xyz OUTPUT.xyz K   (K: neighbourhood size, integer >= " << min_neighbours
              << ")\n";
    return exit_usage;
  }
  try {
    std::vector<Point> points = vandrel::bench::read_xyz(argv[1]);
    if (points.size() < k) {
      throw std::runtime_error(std::string(argv[1]) + " holds " + std::to_string(points.size()) +
                               " points, fewer than K = " + std::to_string(k));
    }
    const std::clock_t start = std::clock();
    CGAL::jet_smooth_point_set<CGAL::Sequential_tag>(points, k);
    const std::clock_t stop = std::clock();
    vandrel::bench::write_xyz(argv[2], points);
    const double cpu_s = static_cast<double>(stop - start) / CLOCKS_PER_SEC;
    std::cout << "jet k=" << k << " points=" << points.size() << " cpu_s=" << cpu_s << '\n';
  } catch (const std::exception& e) {
    std::cerr << "jet_smooth: " << e.what() << '\n';
    return exit_failure;
  }
  return 0;
}
