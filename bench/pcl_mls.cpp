// pcl_mls: a benchmark peer for speed. Runs PCL's MovingLeastSquares (second-order
// polynomial fits, normals computed, points projected onto their fitted surfaces) with a
// given search radius on THREADS threads, and writes the smoothed points as "x y z" lines.
//
//   pcl_mls INPUT.xyz OUTPUT.xyz RADIUS THREADS
//
// Exit codes: 0 success, 1 a file error, 2 bad usage.
#include "pcl_xyz.h"

#include <pcl/point_types.h>
#include <pcl/search/kdtree.h>
#include <pcl/surface/mls.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 5 || !(std::atof(argv[3]) > 0.0) || std::atoi(argv[4]) < 1) {
    std::cerr << "usage: pcl_mls INPUT.xyz OUTPUT.xyz RADIUS THREADS\n";
    return 2;
  }
  const pcl::PointCloud<pcl::PointXYZ>::Ptr cloud = vandrel::bench::read_pcl_xyz(argv[1]);
  if (!cloud) {
    std::cerr << "pcl_mls: cannot open " << argv[1] << '\n';
    return 1;
  }
  pcl::MovingLeastSquares<pcl::PointXYZ, pcl::PointNormal> mls;
  mls.setInputCloud(cloud);
  mls.setSearchMethod(pcl::search::KdTree<pcl::PointXYZ>::Ptr(new pcl::search::KdTree<pcl::PointXYZ>));
  mls.setSearchRadius(std::atof(argv[3]));
  mls.setPolynomialOrder(2);
  mls.setComputeNormals(true);
  mls.setNumberOfThreads(static_cast<unsigned>(std::atoi(argv[4])));
  pcl::PointCloud<pcl::PointNormal> smoothed;
  mls.process(smoothed);
  std::ofstream out(argv[2]);
  for (const pcl::PointNormal& p : smoothed) out << p.x << ' ' << p.y << ' ' << p.z << '\n';
  if (!out) {
    std::cerr << "pcl_mls: cannot write " << argv[2] << '\n';
    return 1;
  }
  return 0;
}
