// bilateral_smooth: a benchmark peer. Smooths a point cloud with CGAL's bilateral smoothing
// (every point moves along a normal averaged over its K nearest neighbours, weighted by distance
// and by normal similarity, so that sharp edges survive), serially, and prints the process CPU
// time of the normals and the smoothing together.
//
//   bilateral_smooth INPUT.xyz OUTPUT.xyz K [ITERATIONS]
//
// The normals come from CGAL's jet fitting over the same K neighbours, oriented consistently
// by a minimum spanning tree (the normal-similarity weight needs oriented normals). Sharpness
// angle 25 degrees; ITERATIONS (default 3) rounds of smoothing. INPUT holds one "x y z" per
// line (further columns are ignored, blank lines skipped); OUTPUT gets the smoothed points in
// input order, 17 significant digits. Prints one line
//   bilateral k=K iterations=I points=N cpu_s=<seconds>
// to standard output. Exit codes: 0 success, 1 a file error, 2 bad usage.
#include "peer_xyz.h"

#include <CGAL/bilateral_smooth_point_set.h>
#include <CGAL/jet_estimate_normals.h>
#include <CGAL/mst_orient_normals.h>
#include <CGAL/property_map.h>

#include <algorithm>
#include <cstddef>
#include <ctime>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace {

using vandrel::bench::Point;
using Vector = vandrel::bench::Kernel::Vector_3;
// Point, normal, input row: the orientation step reorders the points, the row puts them back.
using PointWithNormal = std::tuple<Point, Vector, std::size_t>;

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;
// The jet fit of the normals needs at least 6 points (the query point counts among its neighbours).
constexpr unsigned min_neighbours = 6;
constexpr double sharpness_angle_degrees = 25.0;
constexpr unsigned default_iterations = 3;

}  // namespace

int main(int argc, char** argv) {
  unsigned k = 0;
  unsigned iterations = default_iterations;
  if ((argc != 4 && argc != 5) || !vandrel::bench::parse_count(argv[3], min_neighbours, k) ||
      (argc == 5 && !vandrel::bench::parse_count(argv[4], 1, iterations))) {
    std::cerr << "usage: bilateral_smooth INPUT.xyz OUTPUT.xyz K [ITERATIONS]   (K: neighbourhood size, integer >= "
              << min_neighbours << "; ITERATIONS >= 1, default " << default_iterations << ")\n";
    return exit_usage;
  }
  try {
    const std::vector<Point> input = vandrel::bench::read_xyz(argv[1]);
    if (input.size() < k) {
      throw std::runtime_error(std::string(argv[1]) + " holds " + std::to_string(input.size()) +
                               " points, fewer than K = " + std::to_string(k));
    }
    std::vector<PointWithNormal> points;
    points.reserve(input.size());
    for (std::size_t row = 0; row < input.size(); ++row) points.emplace_back(input[row], CGAL::NULL_VECTOR, row);

    const auto maps = CGAL::parameters::point_map(CGAL::Nth_of_tuple_property_map<0, PointWithNormal>())
                          .normal_map(CGAL::Nth_of_tuple_property_map<1, PointWithNormal>());
    const std::clock_t start = std::clock();
    CGAL::jet_estimate_normals<CGAL::Sequential_tag>(points, k, maps);
    // Points it cannot orient (a separate component) keep their jet normal and stay in the cloud.
    CGAL::mst_orient_normals(points, k, maps);
    for (unsigned i = 0; i < iterations; ++i) {
      CGAL::bilateral_smooth_point_set<CGAL::Sequential_tag>(points, k,
                                                             maps.sharpness_angle(sharpness_angle_degrees));
    }
    const std::clock_t stop = std::clock();

    std::sort(points.begin(), points.end(),
              [](const PointWithNormal& a, const PointWithNormal& b) { return std::get<2>(a) < std::get<2>(b); });
    std::vector<Point> smoothed;
    smoothed.reserve(points.size());
    for (const PointWithNormal& p : points) smoothed.push_back(std::get<0>(p));
    vandrel::bench::write_xyz(argv[2], smoothed);
    const double cpu_s = static_cast<double>(stop - start) / CLOCKS_PER_SEC;
    std::cout << "bilateral k=" << k << " iterations=" << iterations << " points=" << smoothed.size()
              << " cpu_s=" << cpu_s << '\n';
  } catch (const std::exception& e) {
    std::cerr << "bilateral_smooth: " << e.what() << '\n';
    return exit_failure;
  }
  return 0;
}
