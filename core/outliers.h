#pragma once
#include <cstdint>
#include <vector>

#include "core/filter_outputs.h"

namespace vandrel {

/// What makes a point an outlier, given what a first pass over the cloud measured.
struct OutlierRule {
  /// Farther than this from where the first pass put it, in noise levels: a point off the
  /// surface its neighbours' accepted fits agree on (a near-surface outlier, a flying pixel,
  /// an airborne return among ground points) is pulled much farther than Gaussian noise is.
  float move_limit = 5.0f;
  /// ... and by more than this many times the median move of its 50 nearest neighbours:
  /// where every point moves far (vegetation, which no plane fits) none is flagged for it.
  float move_contrast = 5.0f;
  /// A mean distance to its 8 nearest neighbours above this many times that of the densest
  /// tenth of its 50 nearest neighbours: a point with too little support to be pulled at all
  /// (isolated, or in a sparse veil of mixed pixels) beside a surface.
  float isolation_factor = 3.0f;
  /// A mean distance to its 50 nearest neighbours (the points its frame is fitted to) above
  /// this many times that of the densest tenth of them: a small cluster off the surface,
  /// whose points are close to each other but whose frames reach out to the surface.
  float spread_factor = 2.0f;
};

/// One flag per row of the measured cloud (FilterOutputs with outlier_measures): 1 for an
/// outlier by `rule`, 0 otherwise and for rows without measures (NaN: not filtered).
std::vector<std::uint8_t> outlier_flags(const FilterOutputs& measured, const OutlierRule& rule = {});

}  // namespace vandrel
