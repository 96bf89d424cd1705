#include "numeric/sum.h"

#include <cstdint>

namespace vandrel {

void sum(const float M[12], float s[3]) {
  for (std::int32_t j = 0; j < 3; ++j) {
    const float* column = M + 4 * j;
    s[j] = ((column[0] + column[1]) + column[2]) + column[3];
  }
}

}  // namespace vandrel
