#include "numeric/repmat.h"

#include <cstdint>

namespace vandrel {

void repmat(const float v[4], float out[12]) {
  for (std::int32_t j = 0; j < 3; ++j) {
    for (std::int32_t i = 0; i < 4; ++i) out[i + 4 * j] = v[i];
  }
}

}  // namespace vandrel
