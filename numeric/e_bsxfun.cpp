#include "numeric/e_bsxfun.h"

#include "runtime/Vandrel_emxutil.h"
#include "numeric/row_broadcast.h"

namespace vandrel {

void e_bsxfun(Context& ctx, const emxArray_real32_T* A, const emxArray_real32_T* w, emxArray_real32_T* C) {
  broadcast_rows(ctx, A, w, C, [](float a, float b) { return a * b; });
}

}  // namespace vandrel
