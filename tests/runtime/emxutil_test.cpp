#include "runtime/Vandrel_emxutil.h"

#include <gtest/gtest.h>

#include "host/native_host.h"
#include "api/error.h"

namespace vandrel {
namespace {

TEST(emx_grown_capacity, StartsAt16DoublesAndStopsAtTheInt32Ceiling) {
  struct Case {
    std::int32_t capacity, needed, expected;
  };
  const Case cases[] = {
      {0, 1, 16},          {0, 16, 16},          {0, 17, 32},          {16, 17, 32},
      {32, 1000, 1024},    {1000, 1001, 2000},   {1073741823, 1073741824, 2147483646},
      {1073741824, 1073741825, 2147483647},      {1500000000, 2000000000, 2147483647},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.capacity << " -> " << c.needed);
    EXPECT_EQ(emx_grown_capacity(c.capacity, c.needed), c.expected);
  }
}

TEST(emxArray, FreshArrayHasZeroExtentsAndNoData) {
  NativeHost host;
  {
    Context ctx(host);
    emxArray_real32_T* a = nullptr;
    emxInit_real32_T(ctx, &a, 2, false);
    EXPECT_EQ(a->size[0], 0);
    EXPECT_EQ(a->size[1], 0);
    EXPECT_EQ(a->capacity, 0);
    EXPECT_EQ(a->data, nullptr);
    EXPECT_TRUE(a->ownsData);
    EXPECT_EQ(host.live_allocations(), 2);  // the record and its extents
    emxFree_real32_T(ctx, &a);
    EXPECT_EQ(a, nullptr);
    emxFree_real32_T(ctx, &a);  // a null handle is left alone
  }
  EXPECT_EQ(host.live_allocations(), 0);
}

TEST(emxArray, GrowthKeepsOldElementsAndZeroFillsNewOnes) {
  NativeHost host;
  Context ctx(host);
  emxArray_real32_T* a = nullptr;
  emxInit_real32_T(ctx, &a, 2, true);
  a->size[0] = 1;
  a->size[1] = 1;
  emxEnsureCapacity_real32_T(ctx, a, 0);
  EXPECT_EQ(a->capacity, 16);
  a->data[0] = 7.0f;
  a->size[0] = 17;
  emxEnsureCapacity_real32_T(ctx, a, 1);
  EXPECT_EQ(a->capacity, 32);
  EXPECT_EQ(a->data[0], 7.0f);
  for (int i = 1; i < 17; ++i) EXPECT_EQ(a->data[i], 0.0f);
  float* before = a->data;
  a->size[0] = 2;  // shrinking never reallocates
  emxEnsureCapacity_real32_T(ctx, a, 17);
  EXPECT_EQ(a->capacity, 32);
  EXPECT_EQ(a->data, before);
  emxFree_real32_T(ctx, &a);
}

TEST(emxArray, BorrowedStorageIsCopiedOnGrowthAndNeverFreed) {
  NativeHost host;
  Context ctx(host);
  float borrowed[3] = {1.0f, 2.0f, 3.0f};
  emxArray_real32_T* a = nullptr;
  emxInit_real32_T(ctx, &a, 1, true);
  a->data = borrowed;
  a->size[0] = 3;
  a->capacity = 3;
  a->ownsData = false;
  a->size[0] = 5;
  emxEnsureCapacity_real32_T(ctx, a, 3);
  EXPECT_NE(a->data, borrowed);
  EXPECT_TRUE(a->ownsData);
  EXPECT_EQ(a->data[2], 3.0f);
  EXPECT_EQ(a->data[3], 0.0f);
  emxFree_real32_T(ctx, &a);
  EXPECT_EQ(borrowed[0], 1.0f);  // untouched; freeing it would crash under the sanitizers
  EXPECT_EQ(host.live_allocations(), 0);
}

TEST(emxArray, CellsInitialiseAndFreeTheirInnerArrays) {
  NativeHost host;
  Context ctx(host);
  emxArray_cell_wrap_0* cells = nullptr;
  emxInit_cell_wrap_0(ctx, &cells, 2, true);
  cells->size[0] = 1;
  cells->size[1] = 2;
  emxEnsureCapacity_cell_wrap_0(ctx, cells, 0);
  const std::int64_t with_two = host.live_allocations();
  cells->size[1] = 5;
  emxEnsureCapacity_cell_wrap_0(ctx, cells, 2);
  for (int i = 2; i < 5; ++i) {
    ASSERT_NE(cells->data[i].f1, nullptr);
    EXPECT_EQ(cells->data[i].f1->dimCount, 2);
    EXPECT_EQ(cells->data[i].f1->size[0], 0);
    EXPECT_EQ(cells->data[i].f1->size[1], 0);
  }
  // Give element 4 (1-based) some storage; shrinking to 2 must free it with the others.
  emxArray_real32_T* inner = cells->data[3].f1;
  inner->size[0] = 4;
  inner->size[1] = 3;
  emxEnsureCapacity_real32_T(ctx, inner, 0);
  const std::int32_t capacity = cells->capacity;
  cells->size[1] = 2;
  emxEnsureCapacity_cell_wrap_0(ctx, cells, 5);
  EXPECT_EQ(cells->capacity, capacity);
  EXPECT_EQ(host.live_allocations(), with_two);

  emxArray_cell_wrap_1* vectors = nullptr;
  emxInit_cell_wrap_1(ctx, &vectors, 2, true);
  vectors->size[0] = 1;
  vectors->size[1] = 1;
  emxEnsureCapacity_cell_wrap_1(ctx, vectors, 0);
  EXPECT_EQ(vectors->data[0].f1->dimCount, 1);
  emxFree_cell_wrap_1(ctx, &vectors);
  emxFree_cell_wrap_0(ctx, &cells);
}

TEST(emxArray, NestedNeighbourCellsFreeRecursively) {
  NativeHost host;
  {
    Context ctx(host);
    emxArray_cell_wrap_3* blocks = nullptr;
    emxInit_cell_wrap_3(ctx, &blocks, 2, true);
    blocks->size[0] = 1;
    blocks->size[1] = 2;
    emxEnsureCapacity_cell_wrap_3(ctx, blocks, 0);
    emxArray_cell_wrap_2* lists = blocks->data[1].f1;
    lists->size[0] = 3;
    emxEnsureCapacity_cell_wrap_2(ctx, lists, 0);
    EXPECT_EQ(lists->data[2].f1->dimCount, 2);
    lists->data[2].f1->size[0] = 1;
    lists->data[2].f1->size[1] = 4;
    emxEnsureCapacity_real_T(ctx, lists->data[2].f1, 0);
    emxFree_cell_wrap_3(ctx, &blocks);
  }
  EXPECT_EQ(host.live_allocations(), 0);
}

TEST(emxArray, CopyStructDeepCopiesIntoTheDestination) {
  NativeHost host;
  Context ctx(host);
  emxArray_cell_wrap_0* cells = nullptr;
  emxInit_cell_wrap_0(ctx, &cells, 2, true);
  cells->size[0] = 1;
  cells->size[1] = 2;
  emxEnsureCapacity_cell_wrap_0(ctx, cells, 0);
  emxArray_real32_T* src = cells->data[0].f1;
  src->size[0] = 2;
  src->size[1] = 3;
  emxEnsureCapacity_real32_T(ctx, src, 0);
  for (int i = 0; i < 6; ++i) src->data[i] = static_cast<float>(i);
  emxCopyStruct_cell_wrap_0(ctx, &cells->data[1], &cells->data[0]);
  const emxArray_real32_T* dst = cells->data[1].f1;
  EXPECT_EQ(dst->size[0], 2);
  EXPECT_EQ(dst->size[1], 3);
  EXPECT_NE(dst->data, src->data);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(dst->data[i], static_cast<float>(i));
  emxFree_cell_wrap_0(ctx, &cells);
}

TEST(CleanupScope, AnErrorFreesEveryRegisteredArray) {
  NativeHost host;
  Context ctx(host);
  auto work = [&] {
    CleanupScope scope(ctx);
    emxArray_real32_T* a = nullptr;
    emxArray_cell_wrap_0* c = nullptr;
    emxInit_real32_T(ctx, &a, 2, true);
    emxInit_cell_wrap_0(ctx, &c, 2, true);
    c->size[0] = 1;
    c->size[1] = 3;
    emxEnsureCapacity_cell_wrap_0(ctx, c, 0);
    throw Error("Vandrel:test", "unwinding");
  };
  EXPECT_THROW(work(), Error);
  EXPECT_EQ(ctx.depth(), 0u);
  EXPECT_EQ(host.live_allocations(), 0);
}

TEST(FloatingPoint, MultiplyAndAddAreNotFused) {
  volatile float a = 1.0f + 0x1p-12f;
  volatile float c = -(1.0f + 0x1p-11f);
  EXPECT_EQ(a * a + c, 0.0f);
}

}  // namespace
}  // namespace vandrel
