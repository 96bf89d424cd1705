#include "source_code_withOctree/find_index_in_anisotropic_square_v2.h"

#include <cstdint>

#include "runtime/Vandrel_emxutil.h"
#include "source_code_withOctree/FindIndexSquare_c.h"

namespace vandrel {
namespace {

// Factors of the box bounds per quadrant, 4 x 6 column-major: row q - 1 holds the
// factors for lower u, lower v, lower w, upper u, upper v, upper w. A 0 puts that face
// on the centre, so each quadrant box starts at the centre's own u and v.
constexpr std::int8_t square_apexes_base[24] = {
    0,  -1, -1, 0,   // lower u
    0,  0,  -1, -1,  // lower v
    -1, -1, -1, -1,  // lower w
    1,  0,  0,  1,   // upper u
    1,  1,  0,  0,   // upper v
    1,  1,  1,  1,   // upper w
};

}  // namespace

void find_index_in_anisotropic_square_v2(Context& ctx, const emxArray_real32_T* centre,
                                         const emxArray_real32_T* points, emxArray_real32_T* result, float a,
                                         float b, float q) {
  CleanupScope scope(ctx);
  // u and v get the side a and w the half-thickness b: the box is anisotropic, thin
  // across the surface.
  const float scale[6] = {a, a, b, a, a, b};
  const std::int32_t quadrant_row = static_cast<std::int32_t>(q) - 1;
  float bounds[6];
  for (std::int32_t k = 0; k < 6; ++k) {
    const float offset = scale[k] * static_cast<float>(square_apexes_base[quadrant_row + 4 * k]);
    bounds[k] = offset + centre->data[k % 3];
  }

  const std::int32_t K = points->size[0];
  emxArray_real32_T* work = nullptr;
  emxArray_int32_T* selected = nullptr;
  emxInit_real32_T(ctx, &work, 2, true);
  emxInit_int32_T(ctx, &selected, 1, true);
  work->size[0] = K;
  work->size[1] = 3;
  emxEnsureCapacity_real32_T(ctx, work, 0);
  for (std::int32_t k = 0; k < 3 * K; ++k) work->data[k] = points->data[k];
  selected->size[0] = K;
  emxEnsureCapacity_int32_T(ctx, selected, 0);

  std::int32_t count = 0;
  FindIndexSquare(work->data, K, bounds, selected->data, &count);

  const std::int32_t old_count = emx_numel(result);
  result->size[0] = count;
  if (result->dimCount == 2) result->size[1] = 1;
  emxEnsureCapacity_real32_T(ctx, result, old_count);
  for (std::int32_t k = 0; k < count; ++k) result->data[k] = static_cast<float>(selected->data[k]);

  emxFree_int32_T(ctx, &selected);
  emxFree_real32_T(ctx, &work);
}

}  // namespace vandrel
