#include "core/root_block.h"

#include <cmath>

namespace vandrel {

std::vector<std::int32_t> root_block(std::span<const Point> cloud) {
  std::vector<std::int32_t> rows;
  bool all_coincide = true;
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    const Point& p = cloud[i];
    if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) continue;
    if (!rows.empty()) all_coincide = all_coincide && p == cloud[static_cast<std::size_t>(rows.front())];
    rows.push_back(static_cast<std::int32_t>(i));
  }
  if (all_coincide) rows.clear();
  return rows;
}

}  // namespace vandrel
