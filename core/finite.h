#pragma once
#include <algorithm>
#include <cmath>

namespace vandrel {

/// Whether a point's three coordinates are finite numbers. The filter takes only such
/// points; every other row is returned as given. `P` is Point or PointD.
template <class P>
bool finite(const P& p) {
  return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

/// Whether the finite points of `points` all lie in one place (and there is one at least):
/// such a cloud holds no surface to fit, and the library returns it as given.
template <class Points>
bool one_place(const Points& points) {
  const auto first = std::find_if(points.begin(), points.end(), [](const auto& p) { return finite(p); });
  return first != points.end() &&
         std::all_of(first, points.end(), [&](const auto& p) { return !finite(p) || p == *first; });
}

}  // namespace vandrel
