#include "core/quadrant_box.h"

#include <array>

namespace vandrel {
namespace {

// Per quadrant, the factors of the box's faces: lower u, v, w, then upper u, v, w. A 0
// puts that face on the centre, so each quadrant box starts at the centre's own u and v.
constexpr std::array<std::array<float, 6>, 4> face_factors = {{
    {0, 0, -1, 1, 1, 1},    // quadrant 1: +u, +v
    {-1, 0, -1, 0, 1, 1},   // quadrant 2: -u, +v
    {-1, -1, -1, 0, 0, 1},  // quadrant 3: -u, -v
    {0, -1, -1, 1, 0, 1},   // quadrant 4: +u, -v
}};

}  // namespace

void select_in_quadrant_box(const Point& centre, std::span<const float> local, std::int32_t n, float half_width,
                            float thickness, int quadrant, std::vector<std::int32_t>& selected) {
  const std::array<float, 6>& factors = face_factors[static_cast<std::size_t>(quadrant - 1)];
  const float extent[6] = {half_width, half_width, thickness, half_width, half_width, thickness};
  float face[6];
  for (std::size_t k = 0; k < 6; ++k) face[k] = extent[k] * factors[k] + centre[k % 3];

  const auto count = static_cast<std::size_t>(n);
  const float* u = local.data();
  const float* v = u + count;
  const float* w = v + count;
  selected.clear();
  for (std::size_t r = 0; r < count; ++r) {
    if (face[0] < u[r] && u[r] < face[3] && face[1] < v[r] && v[r] < face[4] && face[2] < w[r] && w[r] < face[5]) {
      selected.push_back(static_cast<std::int32_t>(r));
    }
  }
}

}  // namespace vandrel
