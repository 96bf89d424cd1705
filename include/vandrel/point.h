#pragma once
#include <array>

namespace vandrel {

/// A point or a 3-vector: x, y, z in single precision. An array of Points is the row-major
/// N x 3 layout of numpy, PCL and Open3D.
using Point = std::array<float, 3>;
static_assert(sizeof(Point) == 3 * sizeof(float), "points must pack as x, y, z triples");

/// Points in double precision, such as georeferenced coordinates.
using PointD = std::array<double, 3>;

/// The centre of an extent [least, most], as every front end moves double-precision clouds
/// to the origin before the single-precision filter: least / 2 + most / 2, which cannot
/// overflow and, short of subnormal halves, is (least + most) / 2 rounded once.
inline double extent_centre(double least, double most) { return least / 2 + most / 2; }

}  // namespace vandrel
