#include "numeric/power.h"

#include <cstdint>

#include "runtime/rt_math.h"

namespace vandrel {

void power(const float x[4], float y[4]) {
  for (std::int32_t k = 0; k < 4; ++k) y[k] = rt_powf(x[k], -2.0f);
}

}  // namespace vandrel
