#include "source_code_withOctree/Split_PCD_Octree_v3.h"

#include <bit>
#include <cstdint>

#include "numeric/any.h"
#include "numeric/find.h"
#include "numeric/nullAssignment.h"
#include "runtime/Vandrel_emxutil.h"
#include "runtime/rt_math.h"
#include "runtime/rt_nonfinite.h"

namespace vandrel {
namespace {

constexpr std::int32_t table_rows = 20000;
constexpr float centre_factor = 0.5f;
// 0.5 + 2^-23: the cube's edge exceeds the longest extent by a hair, so the extreme
// points are not left exactly on a face by rounding.
constexpr float half_edge_factor = std::bit_cast<float>(0x3F000002u);
// The largest single below 12, added to every upper face.
constexpr float upper_margin = std::bit_cast<float>(0x413FFFFFu);

// Largest and smallest value of column c that is not NaN (both NaN for an all-NaN column).
void column_range(const emxArray_real32_T* P, std::int32_t c, float& lo, float& hi) {
  const std::int32_t n = P->size[0];
  const float* col = P->data + static_cast<std::int64_t>(n) * c;
  std::int32_t start = 0;
  while (start < n && rt_isnan(col[start])) ++start;
  if (start == n) {
    lo = hi = rtNaNF;
    return;
  }
  lo = hi = col[start];
  for (std::int32_t i = start + 1; i < n; ++i) {
    if (col[i] > hi) hi = col[i];
    if (col[i] < lo) lo = col[i];
  }
}

// Rows of P inside the closed box [lo, hi] on every axis, narrowed axis by axis so
// each stage scans only the survivors of the previous one.
void find_point_in_bin(Context& ctx, const emxArray_real32_T* P, const float box[6], emxArray_real32_T* rows) {
  CleanupScope scope(ctx);
  const std::int32_t n = P->size[0];
  const float* x = P->data;
  const float* y = P->data + n;
  const float* z = P->data + 2 * static_cast<std::int64_t>(n);
  emxArray_boolean_T* mask = nullptr;
  emxArray_int32_T* a = nullptr;
  emxArray_int32_T* b = nullptr;
  emxArray_int32_T* c = nullptr;
  emxInit_boolean_T(ctx, &mask, 1, true);
  emxInit_int32_T(ctx, &a, 1, true);
  emxInit_int32_T(ctx, &b, 1, true);
  emxInit_int32_T(ctx, &c, 1, true);

  auto fill_mask = [&](std::int32_t count, auto&& test) {
    const std::int32_t old_count = mask->size[0];
    mask->size[0] = count;
    emxEnsureCapacity_boolean_T(ctx, mask, old_count);
    for (std::int32_t k = 0; k < count; ++k) mask->data[k] = test(k);
  };
  fill_mask(n, [&](std::int32_t i) { return x[i] <= box[3] && x[i] >= box[0]; });
  eml_find(ctx, mask, a);
  fill_mask(a->size[0], [&](std::int32_t k) {
    const float v = y[a->data[k] - 1];
    return v <= box[4] && v >= box[1];
  });
  eml_find(ctx, mask, b);
  fill_mask(b->size[0], [&](std::int32_t k) {
    const float v = z[a->data[b->data[k] - 1] - 1];
    return v <= box[5] && v >= box[2];
  });
  eml_find(ctx, mask, c);

  const std::int32_t members = c->size[0];
  const std::int32_t old_count = rows->size[0];
  rows->size[0] = members;
  emxEnsureCapacity_real32_T(ctx, rows, old_count);
  for (std::int32_t k = 0; k < members; ++k) {
    rows->data[k] = static_cast<float>(a->data[b->data[c->data[k] - 1] - 1]);
  }
  emxFree_int32_T(ctx, &c);
  emxFree_int32_T(ctx, &b);
  emxFree_int32_T(ctx, &a);
  emxFree_boolean_T(ctx, &mask);
}

}  // namespace

void Split_PCD_Octree_v3(Context& ctx, const emxArray_real32_T* P, emxArray_cell_wrap_0* blocks,
                         emxArray_cell_wrap_1* indices, emxArray_real32_T* spare, emxArray_real32_T* boxes) {
  CleanupScope scope(ctx);
  const std::int32_t n = P->size[0];

  std::int32_t old_count = emx_numel(spare);
  spare->size[0] = table_rows;
  if (spare->dimCount > 1) spare->size[1] = 1;
  emxEnsureCapacity_real32_T(ctx, spare, old_count);
  for (std::int32_t k = 0; k < table_rows; ++k) spare->data[k] = 0.0f;

  old_count = emx_numel(boxes);
  boxes->size[0] = table_rows;
  boxes->size[1] = 6;
  emxEnsureCapacity_real32_T(ctx, boxes, old_count);
  for (std::int32_t k = 0; k < table_rows * 6; ++k) boxes->data[k] = 0.0f;

  // An empty cloud has no bounding box: the table stays zero and yields no block.
  if (n > 0) {
    float lo[3];
    float hi[3];
    float extent[3];
    for (std::int32_t c = 0; c < 3; ++c) {
      column_range(P, c, lo[c], hi[c]);
      extent[c] = hi[c] - lo[c];
    }
    float largest = extent[0];
    for (std::int32_t c = 1; c < 3; ++c) {
      if (rt_isnan(largest) || extent[c] > largest) {
        if (!rt_isnan(extent[c])) largest = extent[c];
      }
    }
    const float half = largest * half_edge_factor;
    for (std::int32_t c = 0; c < 3; ++c) {
      const float centre = extent[c] * centre_factor + lo[c];
      boxes->data[table_rows * c] = centre - half;
      boxes->data[table_rows * (c + 3)] = centre + half;
    }
  }

  // Keep only the table rows that describe a block.
  boolean_T* flags = static_cast<boolean_T*>(ctx.host().allocate_zeroed(table_rows, sizeof(boolean_T)));
  any(boxes->data, flags);
  for (std::int32_t r = 0; r < table_rows; ++r) flags[r] = !flags[r];
  nullAssignment(boxes, flags, table_rows);
  ctx.host().release(flags);
  const std::int32_t R = boxes->size[0];

  old_count = emx_numel(blocks);
  blocks->size[0] = 1;
  blocks->size[1] = R;
  emxEnsureCapacity_cell_wrap_0(ctx, blocks, old_count);
  old_count = emx_numel(indices);
  indices->size[0] = 1;
  indices->size[1] = R;
  emxEnsureCapacity_cell_wrap_1(ctx, indices, old_count);

  for (std::int32_t k = 0; k < R; ++k) {
    for (std::int32_t c = 3; c < 6; ++c) {
      float& face = boxes->data[k + R * c];
      face = face + upper_margin;
    }
    float box[6];
    for (std::int32_t c = 0; c < 6; ++c) box[c] = boxes->data[k + R * c];
    emxArray_real32_T* rows = indices->data[k].f1;
    find_point_in_bin(ctx, P, box, rows);

    const std::int32_t members = rows->size[0];
    emxArray_real32_T* points = blocks->data[k].f1;
    old_count = emx_numel(points);
    points->size[0] = members;
    points->size[1] = 3;
    emxEnsureCapacity_real32_T(ctx, points, old_count);
    for (std::int32_t c = 0; c < 3; ++c) {
      for (std::int32_t m = 0; m < members; ++m) {
        const auto row = static_cast<std::int32_t>(rows->data[m]) - 1;
        points->data[m + members * c] = P->data[row + static_cast<std::int64_t>(n) * c];
      }
    }
  }
}

}  // namespace vandrel
