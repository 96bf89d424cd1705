#pragma once
#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <type_traits>

namespace vandrel {

/// Whether a point's three coordinates are finite numbers. The filter takes only such
/// points; every other row is returned as given. `P` is Point or PointD.
template <class P>
bool finite(const P& p) {
  return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

/// The bounding box {lo, hi} of the finite points of `points` (Points of Point or PointD);
/// nothing when none is finite.
template <class Points>
auto finite_bounds(const Points& points) -> std::optional<std::array<std::decay_t<decltype(*points.begin())>, 2>> {
  using P = std::decay_t<decltype(*points.begin())>;
  std::optional<std::array<P, 2>> bounds;
  for (const P& p : points) {
    if (!finite(p)) continue;
    if (!bounds) bounds = std::array<P, 2>{p, p};
    for (std::size_t c = 0; c < 3; ++c) {
      (*bounds)[0][c] = std::min((*bounds)[0][c], p[c]);
      (*bounds)[1][c] = std::max((*bounds)[1][c], p[c]);
    }
  }
  return bounds;
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
