#include "numeric/any.h"

#include "runtime/rt_math.h"

namespace vandrel {

void any(const real32_T table[120000], boolean_T flags[20000]) {
  constexpr int rows = 20000;
  for (int r = 0; r < rows; ++r) {
    bool found = false;
    for (int c = 0; c < 6 && !found; ++c) {
      const float v = table[r + rows * c];
      found = v != 0.0f && !rt_isnan(v);
    }
    flags[r] = found;
  }
}

}  // namespace vandrel
