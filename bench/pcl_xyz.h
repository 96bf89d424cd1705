// Point files of the PCL benchmark peers: "x y z" lines read into a PCL cloud (further columns
// and lines that do not start with three numbers are skipped).
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <fstream>
#include <sstream>
#include <string>

namespace vandrel::bench {

/// The points of `path`, or null when it cannot be opened.
inline pcl::PointCloud<pcl::PointXYZ>::Ptr read_pcl_xyz(const std::string& path) {
  std::ifstream in(path);
  if (!in) return nullptr;
  pcl::PointCloud<pcl::PointXYZ>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZ>);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    double x, y, z;
    if (fields >> x >> y >> z) cloud->push_back(pcl::PointXYZ(static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)));
  }
  return cloud;
}

}  // namespace vandrel::bench
