// cgal_normals: a benchmark peer for the filter's normals. Estimates unoriented normals of a
// point cloud with CGAL's jet (degree-2 jet fit) or PCA (plane fit) estimator over the K
// nearest neighbours, serially.
//
//   cgal_normals jet|pca INPUT.xyz OUTPUT.xyz K
//
// OUTPUT gets one "nx ny nz" per input point, in input order. Prints one line
//   cgal_<method> k=K points=N cpu_s=<seconds>
// Exit codes: 0 success, 1 a file error, 2 bad usage.
#include "peer_xyz.h"

#include <CGAL/jet_estimate_normals.h>
#include <CGAL/pca_estimate_normals.h>
#include <CGAL/property_map.h>

#include <ctime>
#include <exception>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace {

using vandrel::bench::Point;
using Vector = vandrel::bench::Kernel::Vector_3;
using PointWithNormal = std::pair<Point, Vector>;

constexpr unsigned min_neighbours = 6;

}  // namespace

int main(int argc, char** argv) {
  unsigned k = 0;
  const std::string method = argc > 1 ? argv[1] : "";
  if (argc != 5 || (method != "jet" && method != "pca") || !vandrel::bench::parse_count(argv[4], min_neighbours, k)) {
    std::cerr << "usage: cgal_normals jet|pca INPUT.xyz OUTPUT.xyz K\n";
    return 2;
  }
  try {
    const std::vector<Point> read = vandrel::bench::read_xyz(argv[2]);
    std::vector<PointWithNormal> points;
    points.reserve(read.size());
    for (const Point& p : read) points.emplace_back(p, Vector(0, 0, 0));
    const auto parameters = CGAL::parameters::point_map(CGAL::First_of_pair_property_map<PointWithNormal>())
                                .normal_map(CGAL::Second_of_pair_property_map<PointWithNormal>());
    const std::clock_t start = std::clock();
    if (method == "jet") CGAL::jet_estimate_normals<CGAL::Sequential_tag>(points, k, parameters);
    else CGAL::pca_estimate_normals<CGAL::Sequential_tag>(points, k, parameters);
    const std::clock_t stop = std::clock();
    std::vector<Point> normals;
    normals.reserve(points.size());
    for (const PointWithNormal& p : points) normals.emplace_back(p.second.x(), p.second.y(), p.second.z());
    vandrel::bench::write_xyz(argv[3], normals);
    std::cout << "cgal_" << method << " k=" << k << " points=" << points.size()
              << " cpu_s=" << static_cast<double>(stop - start) / CLOCKS_PER_SEC << '\n';
  } catch (const std::exception& e) {
    std::cerr << "cgal_normals: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
