// pcl_sor: a benchmark peer for the filter's outlier flags. Runs PCL's StatisticalOutlierRemoval
// (a point is an outlier when its mean distance to its MEAN_K nearest neighbours exceeds the
// cloud's mean of that distance by STDDEV_MUL standard deviations) and writes one flag per
// input point, 1 for an outlier.
//
//   pcl_sor INPUT.xyz OUTPUT.txt MEAN_K STDDEV_MUL
//
// Exit codes: 0 success, 1 a file error, 2 bad usage.
#include "pcl_xyz.h"

#include <pcl/filters/statistical_outlier_removal.h>
#include <pcl/point_types.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 5 || std::atoi(argv[3]) < 1) {
    std::cerr << "usage: pcl_sor INPUT.xyz OUTPUT.txt MEAN_K STDDEV_MUL\n";
    return 2;
  }
  const pcl::PointCloud<pcl::PointXYZ>::Ptr cloud = vandrel::bench::read_pcl_xyz(argv[1]);
  if (!cloud) {
    std::cerr << "pcl_sor: cannot open " << argv[1] << '\n';
    return 1;
  }
  pcl::StatisticalOutlierRemoval<pcl::PointXYZ> sor(true);  // keeps the removed indices
  sor.setInputCloud(cloud);
  sor.setMeanK(std::atoi(argv[3]));
  sor.setStddevMulThresh(std::atof(argv[4]));
  pcl::PointCloud<pcl::PointXYZ> kept;
  sor.filter(kept);
  std::vector<char> flag(cloud->size(), 0);
  for (const int i : *sor.getRemovedIndices()) flag[static_cast<std::size_t>(i)] = 1;
  std::ofstream out(argv[2]);
  for (const char f : flag) out << int(f) << '\n';
  if (!out) {
    std::cerr << "pcl_sor: cannot write " << argv[2] << '\n';
    return 1;
  }
  return 0;
}
