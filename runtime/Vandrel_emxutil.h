#pragma once
#include <cstdint>

#include "Vandrel_types.h"
#include "host.h"

namespace vandrel {

/// Capacity an array grows to when it must hold `needed` elements: from the larger of
/// `capacity` and 16, doubling, with 2147483647 as the ceiling once past 1073741823.
std::int32_t emx_grown_capacity(std::int32_t capacity, std::int32_t needed);

// emxInit_<kind>: allocates an empty array record (extents all 0, no data, ownsData
// true) with `dimCount` dimensions, stores it through `handle` and, when `register_it`
// is true, registers the handle on ctx's clean-up stack.
void emxInit_real32_T(Context& ctx, emxArray_real32_T** handle, std::int32_t dimCount, bool register_it);
void emxInit_int32_T(Context& ctx, emxArray_int32_T** handle, std::int32_t dimCount, bool register_it);
void emxInit_boolean_T(Context& ctx, emxArray_boolean_T** handle, std::int32_t dimCount, bool register_it);
void emxInit_cell_wrap_0(Context& ctx, emxArray_cell_wrap_0** handle, std::int32_t dimCount, bool register_it);
void emxInit_cell_wrap_1(Context& ctx, emxArray_cell_wrap_1** handle, std::int32_t dimCount, bool register_it);
void emxInit_cell_wrap_3(Context& ctx, emxArray_cell_wrap_3** handle, std::int32_t dimCount, bool register_it);
void emxInit_cell_wrap_5(Context& ctx, emxArray_cell_wrap_5** handle, std::int32_t dimCount, bool register_it);
void emxInit_cell_wrap_6(Context& ctx, emxArray_cell_wrap_6** handle, std::int32_t dimCount, bool register_it);

// emxEnsureCapacity_<kind>: call after writing the new extents into `size`, with the
// element count before that change. Grows the storage when needed (zero-filled; the
// first old_count elements are kept). For cell kinds, also frees the inner arrays of
// dropped elements and initialises those of new elements as empty arrays.
void emxEnsureCapacity_real32_T(Context& ctx, emxArray_real32_T* a, std::int32_t old_count);
void emxEnsureCapacity_real_T(Context& ctx, emxArray_real_T* a, std::int32_t old_count);
void emxEnsureCapacity_int32_T(Context& ctx, emxArray_int32_T* a, std::int32_t old_count);
void emxEnsureCapacity_boolean_T(Context& ctx, emxArray_boolean_T* a, std::int32_t old_count);
void emxEnsureCapacity_cell_wrap_0(Context& ctx, emxArray_cell_wrap_0* a, std::int32_t old_count);
void emxEnsureCapacity_cell_wrap_1(Context& ctx, emxArray_cell_wrap_1* a, std::int32_t old_count);
void emxEnsureCapacity_cell_wrap_2(Context& ctx, emxArray_cell_wrap_2* a, std::int32_t old_count);
void emxEnsureCapacity_cell_wrap_3(Context& ctx, emxArray_cell_wrap_3* a, std::int32_t old_count);
void emxEnsureCapacity_cell_wrap_5(Context& ctx, emxArray_cell_wrap_5* a, std::int32_t old_count);
void emxEnsureCapacity_cell_wrap_6(Context& ctx, emxArray_cell_wrap_6* a, std::int32_t old_count);

// emxFree_<kind>: frees the array (and, for cells, every inner array), then nulls the
// handle. A null handle is left alone. Borrowed data (ownsData false) is not freed.
void emxFree_real32_T(Context& ctx, emxArray_real32_T** handle);
void emxFree_real_T(Context& ctx, emxArray_real_T** handle);
void emxFree_int32_T(Context& ctx, emxArray_int32_T** handle);
void emxFree_boolean_T(Context& ctx, emxArray_boolean_T** handle);
void emxFree_cell_wrap_0(Context& ctx, emxArray_cell_wrap_0** handle);
void emxFree_cell_wrap_1(Context& ctx, emxArray_cell_wrap_1** handle);
void emxFree_cell_wrap_2(Context& ctx, emxArray_cell_wrap_2** handle);
void emxFree_cell_wrap_3(Context& ctx, emxArray_cell_wrap_3** handle);
void emxFree_cell_wrap_5(Context& ctx, emxArray_cell_wrap_5** handle);
void emxFree_cell_wrap_6(Context& ctx, emxArray_cell_wrap_6** handle);

/// Deep-copies the real32_T array held by `src` into the existing array of `dst`.
void emxCopyStruct_cell_wrap_0(Context& ctx, cell_wrap_0* dst, const cell_wrap_0* src);

/// Resizes a single array to rows x cols (a 1-D array to rows; extents past the second
/// become 1), keeping its first elements as emxEnsureCapacity does.
void emx_resize_real32(Context& ctx, emxArray_real32_T* a, std::int32_t rows, std::int32_t cols);

/// Element count of an array: the product of its extents (1 when dimCount is below 1).
template <class T>
std::int32_t emx_numel(const emxArray<T>* a) {
  std::int32_t n = 1;
  for (std::int32_t k = 0; k < a->dimCount; ++k) n *= a->size[k];
  return n;
}

}  // namespace vandrel
