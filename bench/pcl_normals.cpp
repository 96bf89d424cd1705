// pcl_normals: a benchmark peer for the filter's normals. Estimates normals with PCL's
// NormalEstimation (a PCA plane fit over the K nearest neighbours, k-d tree search), serially.
//
//   pcl_normals INPUT.xyz OUTPUT.xyz K
//
// OUTPUT gets one "nx ny nz" per input point, in input order. Prints one line
//   pcl k=K points=N cpu_s=<seconds>
// Exit codes: 0 success, 1 a file error, 2 bad usage.
#include "pcl_xyz.h"

#include <pcl/features/normal_3d.h>
#include <pcl/point_types.h>
#include <pcl/search/kdtree.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
  const int k = argc == 4 ? std::atoi(argv[3]) : 0;
  if (argc != 4 || k < 3) {
    std::cerr << "usage: pcl_normals INPUT.xyz OUTPUT.xyz K\n";
    return 2;
  }
  const pcl::PointCloud<pcl::PointXYZ>::Ptr cloud = vandrel::bench::read_pcl_xyz(argv[1]);
  if (!cloud) {
    std::cerr << "pcl_normals: cannot open " << argv[1] << '\n';
    return 1;
  }
  pcl::NormalEstimation<pcl::PointXYZ, pcl::Normal> estimation;
  estimation.setInputCloud(cloud);
  estimation.setSearchMethod(pcl::search::KdTree<pcl::PointXYZ>::Ptr(new pcl::search::KdTree<pcl::PointXYZ>));
  estimation.setKSearch(k);
  pcl::PointCloud<pcl::Normal> normals;
  const std::clock_t start = std::clock();
  estimation.compute(normals);
  const std::clock_t stop = std::clock();
  std::ofstream out(argv[2]);
  out.precision(std::numeric_limits<float>::max_digits10);
  for (const pcl::Normal& n : normals) out << n.normal_x << ' ' << n.normal_y << ' ' << n.normal_z << '\n';
  if (!out) {
    std::cerr << "pcl_normals: cannot write " << argv[2] << '\n';
    return 1;
  }
  std::cout << "pcl k=" << k << " points=" << cloud->size()
            << " cpu_s=" << static_cast<double>(stop - start) / CLOCKS_PER_SEC << '\n';
  return 0;
}
