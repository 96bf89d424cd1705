#include "core/outliers.h"

#include <algorithm>
#include <cmath>

namespace vandrel {

std::vector<std::uint8_t> outlier_flags(const FilterOutputs& measured, const OutlierRule& rule) {
  const std::size_t n = measured.isolation.size();
  std::vector<std::uint8_t> flags(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    // Comparisons with NaN are false: rows without measures are not flagged.
    const bool far_moved =
        measured.first_move[i] > rule.move_limit && measured.first_move[i] > rule.move_contrast * measured.move_around[i];
    const bool isolated = measured.isolation[i] > rule.isolation_factor || measured.spread[i] > rule.spread_factor;
    flags[i] = far_moved || isolated ? 1 : 0;
  }
  return flags;
}

}  // namespace vandrel
