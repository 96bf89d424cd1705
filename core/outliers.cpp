#include "core/outliers.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vandrel {

std::vector<std::uint8_t> outlier_flags(const FilterOutputs& measured, const WiderSupport& wider,
                                        const OutlierRule& rule) {
  const std::size_t n = measured.isolation.size();
  const bool reach = !wider.veil.empty();
  std::vector<std::uint8_t> flags(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    // Rows without measures (NaN) are not flagged.
    if (std::isnan(measured.isolation[i])) continue;
    const float move = measured.first_move[i];
    const float offset = reach ? wider.offset[i] : std::numeric_limits<float>::quiet_NaN();
    const bool measured_offset = !std::isnan(offset);
    const bool far_moved = move > rule.move_limit && move > rule.move_contrast * measured.move_around[i] &&
                           (!measured_offset || offset > rule.move_offset);
    const float off_surface = (move + offset) * 0.5f;
    const bool isolated =
        (measured.isolation[i] > rule.isolation_factor && (!measured_offset || off_surface > rule.isolation_offset)) ||
        measured.spread[i] > rule.spread_factor;
    const bool joint = measured_offset && move > rule.joint_each && offset > rule.joint_each &&
                       off_surface > rule.joint_limit &&
                       off_surface > rule.joint_contrast * ((measured.move_around[i] + wider.offset_around[i]) * 0.5f);
    const bool apart = reach && (wider.veil[i] > rule.veil_factor || wider.small_group[i] != 0 ||
                                 (offset > rule.offset_limit && offset > rule.offset_contrast * wider.offset_around[i]) ||
                                 joint);
    flags[i] = far_moved || isolated || apart ? 1 : 0;
  }
  return flags;
}

}  // namespace vandrel
