#include "numeric/find.h"

#include "runtime/Vandrel_emxutil.h"

namespace vandrel {

void eml_find(Context& ctx, const emxArray_boolean_T* x, emxArray_int32_T* i) {
  const std::int32_t n = emx_numel(x);
  std::int32_t count = 0;
  for (std::int32_t k = 0; k < n; ++k) count += x->data[k] ? 1 : 0;
  const std::int32_t old_count = emx_numel(i);
  i->size[0] = count;
  for (std::int32_t d = 1; d < i->dimCount; ++d) i->size[d] = 1;
  emxEnsureCapacity_int32_T(ctx, i, old_count);
  std::int32_t out = 0;
  for (std::int32_t k = 0; k < n; ++k) {
    if (x->data[k]) i->data[out++] = k + 1;
  }
}

}  // namespace vandrel
