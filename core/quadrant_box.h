#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "core/point.h"

namespace vandrel {

/// Selects the points inside one quadrant's box around `centre`, in local coordinates.
///   local       n x 3, column-major (u, v, w)
///   half_width  extent of the box along u and v, from the centre into the quadrant
///   thickness   half-extent of the box along w, on both sides of the centre
///   quadrant    1..4, counter-clockwise from (+u, +v)
/// The box is open: points on a face are outside (the centre itself always is).
/// Writes the 0-based positions of the selected points, ascending, into `selected`.
/// Thread-safe.
void select_in_quadrant_box(const Point& centre, std::span<const float> local, std::int32_t n, float half_width,
                            float thickness, int quadrant, std::vector<std::int32_t>& selected);

}  // namespace vandrel
