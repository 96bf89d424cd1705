#pragma once
#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "vandrel/error.h"
#include "vandrel/point.h"
#include "vandrel/vandrel.h"

namespace vandrel {

/// A single-precision filter run over double-precision points: they are moved by
/// bounding_box_centre (in double), rounded to single, given to `filter` (span<const Point>
/// -> vector<Point>), and moved back. Rows the filter leaves in place come back bit for bit.
/// Throws "Vandrel:outOfRange" when a recentred coordinate does not fit in single precision.
/// The points moved by `centre` (in double) and rounded to single; throws
/// "Vandrel:outOfRange" for a coordinate that does not fit.
inline std::vector<Point> recentred_single(std::span<const PointD> points, const PointD& centre) {
  std::vector<Point> single(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    for (std::size_t c = 0; c < 3; ++c) {
      const double moved = points[i][c] - centre[c];
      if (std::isfinite(moved) && std::fabs(moved) > std::numeric_limits<float>::max()) {
        throw Error("Vandrel:outOfRange", "Point " + std::to_string(i + 1) +
                                              " lies too far from the others for single precision.");
      }
      single[i][c] = static_cast<float>(moved);
    }
  }
  return single;
}

template <class Filter>
std::vector<PointD> filter_recentred(std::span<const PointD> points, const Filter& filter) {
  const PointD centre = bounding_box_centre(points);
  const std::vector<Point> single = recentred_single(points, centre);
  const std::vector<Point> filtered = filter(std::span<const Point>(single));
  std::vector<PointD> out(points.begin(), points.end());
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (std::memcmp(&filtered[i], &single[i], sizeof(Point)) == 0) continue;  // left in place: the input's own bits
    for (std::size_t c = 0; c < 3; ++c) out[i][c] = static_cast<double>(filtered[i][c]) + centre[c];
  }
  return out;
}

}  // namespace vandrel
