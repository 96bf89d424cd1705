#pragma once
#include <array>
#include <cmath>

#include "vandrel/point.h"

namespace vandrel {

/// The boxes a point's estimates select their supports with. In centred local coordinates
/// (u, v, w), the box of quadrant q (1..4, counter-clockwise from (+u, +v)) at scale m
/// holds the points strictly inside 0 < +-u < half_width[m], 0 < +-v < half_width[m] (the
/// signs of the quadrant) and |w| < thickness[m], and no point with |w| >= max_half_width.
/// The boxes are open, so the point itself and points on the u or v axis are in none.
struct QuadrantBoxes {
  std::array<float, 5> half_width;  // the scales, 3 sqrt(2)^m rounded to single
  std::array<float, 5> thickness;   // max(3 x noise, half_width[m])
  float max_half_width;             // r0

  /// The quadrant (1..4) and the scale (0..4) of the smallest box holding `local`;
  /// quadrant 0 when no box does. The boxes of a quadrant are nested.
  struct Entry {
    int quadrant;
    int scale;
  };
  Entry smallest_box(const Point& local) const {
    // Counted rather than searched: the boxes are nested, so the smallest holding the point
    // is the first whose half-width exceeds |u| and |v| and whose thickness exceeds |w|.
    const float u = std::fabs(local[0]);
    const float v = std::fabs(local[1]);
    const float along = u > v ? u : v;
    const float across = std::fabs(local[2]);
    int scale = 0;
    for (std::size_t m = 0; m < half_width.size(); ++m) {
      scale += static_cast<int>(!(along < half_width[m]) || !(across < thickness[m]));
    }
    const bool positive_u = local[0] > 0.0f;
    const bool positive_v = local[1] > 0.0f;
    const bool on_axis = !(local[0] != 0.0f) || !(local[1] != 0.0f);
    if (on_axis || scale == static_cast<int>(half_width.size()) || !(across < max_half_width)) return {0, 0};
    const int quadrant = positive_u ? (positive_v ? 1 : 4) : (positive_v ? 2 : 3);
    return {quadrant, scale};
  }
};

/// The boxes of a point with the given noise level. Thread-safe.
QuadrantBoxes quadrant_boxes(float noise, float max_half_width);

}  // namespace vandrel
