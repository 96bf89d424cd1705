#pragma once
#include <array>

namespace vandrel {

/// A point or a 3-vector: x, y, z in single precision. An array of Points is the row-major
/// N x 3 layout of numpy, PCL and Open3D.
using Point = std::array<float, 3>;
static_assert(sizeof(Point) == 3 * sizeof(float), "points must pack as x, y, z triples");

}  // namespace vandrel
