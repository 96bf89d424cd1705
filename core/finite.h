#pragma once
#include <cmath>

namespace vandrel {

/// Whether a point's three coordinates are finite numbers. The filter takes only such
/// points; every other row is returned as given. `P` is Point or PointD.
template <class P>
bool finite(const P& p) {
  return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

}  // namespace vandrel
