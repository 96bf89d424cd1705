#pragma once
#include <span>

#include "core/outliers.h"
#include "vandrel/point.h"

namespace vandrel {

/// The support of every finite point of `points` beyond its 50 nearest neighbours, from the
/// input positions alone (WiderSupport, by `rule`'s veil and group settings):
///   veil         its mean distance to its 8 nearest others over the least reference (the
///                densest tenth's 8-neighbour mean of a point's 50 nearest and itself) of any
///                point within rule.veil_reach times that mean; 1 when no reference in reach
///                is above 0 (points stacked on one spot tell nothing of a surface), and
///                where it cannot exceed rule.veil_factor (beside the least reference of all)
///   small_group  1 for the points of a linked group of fewer than rule.group_points while
///                some group holds at least that many (links: OutlierRule)
///   offset       its distance to the plane (principal axes) of its 50 nearest others over
///                `sigma` (the cloud's noise, in its units); NaN when the cloud has fewer than
///                51 finite points or sigma is not above 0
///   offset_around  the root mean square offset of those 50 others (NaN as offset)
/// Rows with a non-finite coordinate get NaN and 0 and link nobody. The points are searched
/// scaled by sqrt(density) (points per unit area), as the filter's block: exact searches,
/// whose ties of equal distances are broken by row. The values do not depend on `threads`
/// (0: OpenMP's default).
WiderSupport wider_support(std::span<const Point> points, float sigma, float density, const OutlierRule& rule,
                           int threads);

}  // namespace vandrel
