#include "numeric/b_isequal.h"

#include <cstdint>

namespace vandrel {

bool b_isequal(const float x[3]) {
  for (std::int32_t k = 0; k < 3; ++k) {
    if (!(x[k] == 0.0f)) return false;
  }
  return true;
}

}  // namespace vandrel
