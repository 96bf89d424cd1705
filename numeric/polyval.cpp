#include "numeric/polyval.h"

#include <bit>
#include <cstdint>

#include "runtime/Vandrel_emxutil.h"

namespace vandrel {
namespace {

// Slope of the noise-level update, fixed; callers pass the same value as p[0].
constexpr float leading_coefficient = 1.0805545f;
static_assert(std::bit_cast<std::uint32_t>(leading_coefficient) == 0x3F8A4F9Cu);

}  // namespace

void polyval(Context& ctx, const float p[2], const emxArray_real32_T* x, emxArray_real32_T* y) {
  const std::int32_t old_count = emx_numel(y);
  for (std::int32_t k = 0; k < y->dimCount; ++k) y->size[k] = k < x->dimCount ? x->size[k] : 1;
  emxEnsureCapacity_real32_T(ctx, y, old_count);
  const std::int32_t n = emx_numel(x);
  for (std::int32_t i = 0; i < n; ++i) {
    float value = leading_coefficient;
    value = x->data[i] * value + p[1];
    y->data[i] = value;
  }
}

}  // namespace vandrel
