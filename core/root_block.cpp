#include "core/root_block.h"

#include <cmath>

#include "core/finite.h"

namespace vandrel {

std::vector<std::int32_t> root_block(std::span<const Point> cloud) {
  std::vector<std::int32_t> rows;
  bool all_at_origin = true;
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    const Point& p = cloud[i];
    if (!finite(p)) continue;
    all_at_origin = all_at_origin && p[0] == 0.0f && p[1] == 0.0f && p[2] == 0.0f;
    rows.push_back(static_cast<std::int32_t>(i));
  }
  if (all_at_origin) rows.clear();
  return rows;
}

}  // namespace vandrel
