#include "core/outliers.h"

#include <algorithm>
#include <cmath>

namespace vandrel {

std::vector<std::uint8_t> outlier_flags(const FilterOutputs& measured, const WiderSupport& wider,
                                        const OutlierRule& rule) {
  const std::size_t n = measured.isolation.size();
  const bool reach = !wider.veil.empty();
  std::vector<std::uint8_t> flags(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    // Rows without measures (NaN) are not flagged.
    if (std::isnan(measured.isolation[i])) continue;
    const bool far_moved =
        measured.first_move[i] > rule.move_limit && measured.first_move[i] > rule.move_contrast * measured.move_around[i];
    const bool isolated = measured.isolation[i] > rule.isolation_factor || measured.spread[i] > rule.spread_factor;
    const bool apart = reach && (wider.veil[i] > rule.veil_factor || wider.small_group[i] != 0 ||
                                 (wider.offset[i] > rule.offset_limit &&
                                  wider.offset[i] > rule.offset_contrast * wider.offset_around[i]));
    flags[i] = far_moved || isolated || apart ? 1 : 0;
  }
  return flags;
}

}  // namespace vandrel
