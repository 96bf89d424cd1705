#include "numeric/isequal.h"

#include <cstdint>

namespace vandrel {

bool isequal(const float A[9]) {
  for (std::int32_t k = 0; k < 9; ++k) {
    if (!(A[k] == 0.0f)) return false;
  }
  return true;
}

}  // namespace vandrel
