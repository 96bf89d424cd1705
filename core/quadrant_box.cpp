#include "core/quadrant_box.h"


namespace vandrel {
namespace {

// The band across the surface is never thinner than this many noise deviations.
constexpr float band_factor = 3.0f;

}  // namespace

QuadrantBoxes quadrant_boxes(float noise, float max_half_width) {
  QuadrantBoxes boxes{{0x1.8p+1f, 0x1.0f876cp+2f, 0x1.7ffffep+2f, 0x1.0f876cp+3f, 0x1.7ffffep+3f}, {}, max_half_width};
  const float band = band_factor * noise;
  for (std::size_t m = 0; m < boxes.half_width.size(); ++m) {
    boxes.thickness[m] = band > boxes.half_width[m] ? band : boxes.half_width[m];
  }
  return boxes;
}

}  // namespace vandrel
