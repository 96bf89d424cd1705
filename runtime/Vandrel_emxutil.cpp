#include "Vandrel_emxutil.h"

#include <cstring>

namespace vandrel {
namespace {

// Inner array kind and dimCount of each cell kind with inner arrays.
template <class Cell>
struct CellTraits;
template <>
struct CellTraits<cell_wrap_0> {
  using Inner = real32_T;
  static constexpr std::int32_t dims = 2;
};
template <>
struct CellTraits<cell_wrap_1> {
  using Inner = real32_T;
  static constexpr std::int32_t dims = 1;
};
template <>
struct CellTraits<cell_wrap_2> {
  using Inner = real_T;
  static constexpr std::int32_t dims = 2;
};
template <>
struct CellTraits<cell_wrap_3> {
  using Inner = cell_wrap_2;
  static constexpr std::int32_t dims = 1;
};
template <>
struct CellTraits<cell_wrap_5> {
  using Inner = int32_T;
  static constexpr std::int32_t dims = 1;
};

template <class T>
void init_record(Context& ctx, emxArray<T>** handle, std::int32_t dimCount) {
  auto* a = static_cast<emxArray<T>*>(ctx.host().allocate(sizeof(emxArray<T>)));
  *handle = a;
  a->data = nullptr;
  a->dimCount = dimCount;
  a->size = static_cast<std::int32_t*>(
      ctx.host().allocate_zeroed(static_cast<std::size_t>(dimCount > 0 ? dimCount : 1), sizeof(std::int32_t)));
  a->capacity = 0;
  a->ownsData = true;
}

template <class T>
void free_any(Context& ctx, emxArray<T>** handle);

template <class T>
void free_inner(Context& ctx, T&) {}  // plain kinds and cell_wrap_6 hold nothing

template <class Cell>
  requires requires(Cell c) { c.f1; }
void free_inner(Context& ctx, Cell& element) {
  free_any(ctx, &element.f1);
}

template <class T>
void free_any(Context& ctx, emxArray<T>** handle) {
  emxArray<T>* a = *handle;
  if (a == nullptr) return;
  if (a->data != nullptr) {
    if constexpr (requires(T c) { c.f1; }) {
      const std::int32_t n = emx_numel(a);
      for (std::int32_t i = 0; i < n; ++i) free_inner(ctx, a->data[i]);
    }
    if (a->ownsData) ctx.host().release(a->data);
  }
  ctx.host().release(a->size);
  ctx.host().release(a);
  *handle = nullptr;
}

template <class T>
void init_any(Context& ctx, emxArray<T>** handle, std::int32_t dimCount, bool register_it) {
  if (register_it) {
    ctx.push(handle, [](Context& c, void* h) { free_any(c, static_cast<emxArray<T>**>(h)); });
  }
  init_record(ctx, handle, dimCount);
}

template <class T>
void ensure_any(Context& ctx, emxArray<T>* a, std::int32_t old_count) {
  std::int32_t new_count = 1;
  for (std::int32_t k = 0; k < a->dimCount; ++k) new_count *= a->size[k];
  if (old_count < 0) old_count = 0;
  if (new_count > a->capacity) {
    const std::int32_t capacity = emx_grown_capacity(a->capacity, new_count);
    void* fresh = ctx.host().allocate_zeroed(static_cast<std::size_t>(capacity), sizeof(T));
    if (a->data != nullptr) {
      std::memcpy(fresh, static_cast<const void*>(a->data), sizeof(T) * static_cast<std::size_t>(old_count));
      if (a->ownsData) ctx.host().release(a->data);
    }
    a->data = static_cast<T*>(fresh);
    a->capacity = capacity;
    a->ownsData = true;
  }
  if constexpr (requires(T c) { c.f1; }) {
    using Traits = CellTraits<T>;
    for (std::int32_t i = new_count; i < old_count; ++i) free_inner(ctx, a->data[i]);
    for (std::int32_t i = old_count; i < new_count; ++i) {
      init_record<typename Traits::Inner>(ctx, &a->data[i].f1, Traits::dims);
    }
  }
}

}  // namespace

std::int32_t emx_grown_capacity(std::int32_t capacity, std::int32_t needed) {
  std::int32_t grown = capacity < 16 ? 16 : capacity;
  while (grown < needed) {
    grown = grown > 1073741823 ? 2147483647 : grown * 2;
  }
  return grown;
}

void emxInit_real32_T(Context& ctx, emxArray_real32_T** h, std::int32_t d, bool r) { init_any(ctx, h, d, r); }
void emxInit_int32_T(Context& ctx, emxArray_int32_T** h, std::int32_t d, bool r) { init_any(ctx, h, d, r); }
void emxInit_boolean_T(Context& ctx, emxArray_boolean_T** h, std::int32_t d, bool r) { init_any(ctx, h, d, r); }
void emxInit_cell_wrap_0(Context& ctx, emxArray_cell_wrap_0** h, std::int32_t d, bool r) { init_any(ctx, h, d, r); }
void emxInit_cell_wrap_1(Context& ctx, emxArray_cell_wrap_1** h, std::int32_t d, bool r) { init_any(ctx, h, d, r); }
void emxInit_cell_wrap_3(Context& ctx, emxArray_cell_wrap_3** h, std::int32_t d, bool r) { init_any(ctx, h, d, r); }
void emxInit_cell_wrap_5(Context& ctx, emxArray_cell_wrap_5** h, std::int32_t d, bool r) { init_any(ctx, h, d, r); }
void emxInit_cell_wrap_6(Context& ctx, emxArray_cell_wrap_6** h, std::int32_t d, bool r) { init_any(ctx, h, d, r); }

void emxEnsureCapacity_real32_T(Context& ctx, emxArray_real32_T* a, std::int32_t n) { ensure_any(ctx, a, n); }
void emxEnsureCapacity_real_T(Context& ctx, emxArray_real_T* a, std::int32_t n) { ensure_any(ctx, a, n); }
void emxEnsureCapacity_int32_T(Context& ctx, emxArray_int32_T* a, std::int32_t n) { ensure_any(ctx, a, n); }
void emxEnsureCapacity_boolean_T(Context& ctx, emxArray_boolean_T* a, std::int32_t n) { ensure_any(ctx, a, n); }
void emxEnsureCapacity_cell_wrap_0(Context& ctx, emxArray_cell_wrap_0* a, std::int32_t n) { ensure_any(ctx, a, n); }
void emxEnsureCapacity_cell_wrap_1(Context& ctx, emxArray_cell_wrap_1* a, std::int32_t n) { ensure_any(ctx, a, n); }
void emxEnsureCapacity_cell_wrap_2(Context& ctx, emxArray_cell_wrap_2* a, std::int32_t n) { ensure_any(ctx, a, n); }
void emxEnsureCapacity_cell_wrap_3(Context& ctx, emxArray_cell_wrap_3* a, std::int32_t n) { ensure_any(ctx, a, n); }
void emxEnsureCapacity_cell_wrap_5(Context& ctx, emxArray_cell_wrap_5* a, std::int32_t n) { ensure_any(ctx, a, n); }
void emxEnsureCapacity_cell_wrap_6(Context& ctx, emxArray_cell_wrap_6* a, std::int32_t n) { ensure_any(ctx, a, n); }

void emxFree_real32_T(Context& ctx, emxArray_real32_T** h) { free_any(ctx, h); }
void emxFree_real_T(Context& ctx, emxArray_real_T** h) { free_any(ctx, h); }
void emxFree_int32_T(Context& ctx, emxArray_int32_T** h) { free_any(ctx, h); }
void emxFree_boolean_T(Context& ctx, emxArray_boolean_T** h) { free_any(ctx, h); }
void emxFree_cell_wrap_0(Context& ctx, emxArray_cell_wrap_0** h) { free_any(ctx, h); }
void emxFree_cell_wrap_1(Context& ctx, emxArray_cell_wrap_1** h) { free_any(ctx, h); }
void emxFree_cell_wrap_2(Context& ctx, emxArray_cell_wrap_2** h) { free_any(ctx, h); }
void emxFree_cell_wrap_3(Context& ctx, emxArray_cell_wrap_3** h) { free_any(ctx, h); }
void emxFree_cell_wrap_5(Context& ctx, emxArray_cell_wrap_5** h) { free_any(ctx, h); }
void emxFree_cell_wrap_6(Context& ctx, emxArray_cell_wrap_6** h) { free_any(ctx, h); }

void emx_resize_real32(Context& ctx, emxArray_real32_T* a, std::int32_t rows, std::int32_t cols) {
  const std::int32_t old_count = emx_numel(a);
  a->size[0] = rows;
  if (a->dimCount > 1) a->size[1] = cols;
  for (std::int32_t d = 2; d < a->dimCount; ++d) a->size[d] = 1;
  emxEnsureCapacity_real32_T(ctx, a, old_count);
}

void emxCopyStruct_cell_wrap_0(Context& ctx, cell_wrap_0* dst, const cell_wrap_0* src) {
  emxArray_real32_T* d = dst->f1;
  const emxArray_real32_T* s = src->f1;
  std::int32_t old_count = 1;
  std::int32_t count = 1;
  for (std::int32_t k = 0; k < d->dimCount; ++k) {
    old_count *= d->size[k];
    count *= s->size[k];
  }
  for (std::int32_t k = 0; k < d->dimCount; ++k) d->size[k] = s->size[k];
  emxEnsureCapacity_real32_T(ctx, d, old_count);
  for (std::int32_t i = 0; i < count; ++i) d->data[i] = s->data[i];
}

}  // namespace vandrel
