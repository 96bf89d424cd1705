#include "numeric/nullAssignment.h"

namespace vandrel {

void nullAssignment(emxArray_real32_T* x, const boolean_T* mask, std::int32_t n) {
  const std::int32_t rows = x->size[0];
  std::int32_t kept = 0;
  for (std::int32_t r = 0; r < n; ++r) kept += mask[r] ? 0 : 1;
  // Compact column by column: the new column c starts at kept * c, never after the old
  // position of anything it overwrites, so the moves are safe in place.
  for (std::int32_t c = 0; c < 6; ++c) {
    std::int32_t out = 0;
    for (std::int32_t r = 0; r < rows; ++r) {
      if (r < n && mask[r]) continue;
      x->data[kept * c + out] = x->data[rows * c + r];
      ++out;
    }
  }
  x->size[0] = kept;
}

}  // namespace vandrel
