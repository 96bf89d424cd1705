// jet_smooth: the benchmark peer. Smooths a point cloud with CGAL's jet smoothing
// (a degree-2 jet fitted to the K nearest neighbours of every point, which moves onto it),
// and prints the process CPU time of the smoothing alone. Serial unless THREADS is given:
// then CGAL's parallel version on that many TBB threads (where CGAL was built with TBB).
//
//   jet_smooth INPUT.xyz OUTPUT.xyz K [THREADS]
//
// INPUT holds one "x y z" per line (further columns are ignored, blank lines skipped);
// OUTPUT gets the smoothed points in input order, 17 significant digits. Prints one line
//   jet k=K points=N cpu_s=<seconds>
// to standard output. Exit codes: 0 success, 1 a file error, 2 bad usage.
#include "peer_xyz.h"

#include <CGAL/jet_smooth_point_set.h>

#if defined(CGAL_LINKED_WITH_TBB)
#include <tbb/global_control.h>
#endif

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
  unsigned threads = 0;  // 0: serial
  if ((argc != 4 && argc != 5) || !vandrel::bench::parse_count(argv[3], min_neighbours, k) ||
      (argc == 5 && !vandrel::bench::parse_count(argv[4], 1, threads))) {
    std::cerr << "usage: jet_smooth INPUT.xyz OUTPUT.xyz K [THREADS]   (K: neighbourhood size, integer >= "
              << min_neighbours << ")\n";
    return exit_usage;
  }
#if !defined(CGAL_LINKED_WITH_TBB)
  if (threads > 0) {
    std::cerr << "jet_smooth: built without TBB, so THREADS cannot be given\n";
    return exit_usage;
  }
#endif
  try {
    std::vector<Point> points = vandrel::bench::read_xyz(argv[1]);
    if (points.size() < k) {
      throw std::runtime_error(std::string(argv[1]) + " holds " + std::to_string(points.size()) +
                               " points, fewer than K = " + std::to_string(k));
    }
    const std::clock_t start = std::clock();
    if (threads == 0) {
      CGAL::jet_smooth_point_set<CGAL::Sequential_tag>(points, k);
    } else {
#if defined(CGAL_LINKED_WITH_TBB)
      const tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
      CGAL::jet_smooth_point_set<CGAL::Parallel_tag>(points, k);
#endif
    }
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
