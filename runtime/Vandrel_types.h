#pragma once
#include <cstdint>

#include "rtwtypes.h"

/// A dynamically sized, column-major array that owns or borrows its element store.
///   data      element storage; null until something is allocated
///   size      dimCount extents; the element count is their product (1 when dimCount is 0)
///   capacity  number of elements `data` can hold; storage never shrinks
///   dimCount  fixed at initialisation (1 or 2 here)
///   ownsData  false while `data` is borrowed: freeing the array then leaves `data` alone
template <class T>
struct emxArray {
  T* data;
  std::int32_t* size;
  std::int32_t capacity;
  std::int32_t dimCount;
  bool ownsData;
};

using emxArray_real32_T = emxArray<real32_T>;
using emxArray_real_T = emxArray<real_T>;
using emxArray_int32_T = emxArray<int32_T>;
using emxArray_boolean_T = emxArray<boolean_T>;

// Cell-element records. Each holds a handle to one inner array; the kind fixes the
// inner element type and its dimCount (see the emxEnsureCapacity_* functions).
struct cell_wrap_0 {  // real32_T, 2-D: block point sets, filtered blocks, plane normals
  emxArray_real32_T* f1;
};
struct cell_wrap_1 {  // real32_T, 1-D: per-block row numbers and noise levels
  emxArray_real32_T* f1;
};
struct cell_wrap_2 {  // real_T, 2-D: one point's neighbour list, a 1 x n row
  emxArray_real_T* f1;
};
using emxArray_cell_wrap_2 = emxArray<cell_wrap_2>;
struct cell_wrap_3 {  // all neighbour lists of one block
  emxArray_cell_wrap_2* f1;
};
struct cell_wrap_5 {  // int32_T, 1-D: an estimate's support
  emxArray_int32_T* f1;
};
/// An inline bounded array of at most 3 singles with its 2-entry size (20 bytes, no
/// inner allocation): an estimate's position.
struct cell_wrap_6 {
  real32_T f1_data[3];
  std::int32_t f1_size[2];
};
static_assert(sizeof(cell_wrap_6) == 20);

using emxArray_cell_wrap_0 = emxArray<cell_wrap_0>;
using emxArray_cell_wrap_1 = emxArray<cell_wrap_1>;
using emxArray_cell_wrap_3 = emxArray<cell_wrap_3>;
using emxArray_cell_wrap_5 = emxArray<cell_wrap_5>;
using emxArray_cell_wrap_6 = emxArray<cell_wrap_6>;
