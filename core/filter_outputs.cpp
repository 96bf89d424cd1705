#include "core/filter_outputs.h"

#include <cmath>

namespace vandrel {

void FilterOutputs::reset(std::size_t rows) {
  const float nan = std::nanf("");
  normal.assign(normals ? rows : 0, Point{nan, nan, nan});
  curvature.assign(normals ? rows : 0, nan);
  noise_level.assign(noise ? rows : 0, nan);
}

void FilterOutputs::record_noise(std::span<const std::int32_t> rows, std::span<const float> levels, float scale) {
  if (!noise) return;
  for (std::size_t k = 0; k < rows.size(); ++k) noise_level[static_cast<std::size_t>(rows[k])] = levels[k] / scale;
}

void FilterOutputs::record_normals(Host& host, std::span<const std::int32_t> rows, std::span<const Point> points,
                                   float scale) {
  if (!normals) return;
  NormalSign rule = orientation;
  if (rule.rule == NormalSign::Rule::viewpoint)
    for (float& c : rule.target) c *= scale;
  const BlockNormals found = block_normals(host, points, rule);
  for (std::size_t k = 0; k < rows.size(); ++k) {
    normal[static_cast<std::size_t>(rows[k])] = found.normals[k];
    curvature[static_cast<std::size_t>(rows[k])] = found.curvature[k];
  }
}

}  // namespace vandrel
