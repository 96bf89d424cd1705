#include "source_code_withOctree/Split_PCD_Octree_v3.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <vector>

#include "host/native_host.h"
#include "runtime/Vandrel_emxutil.h"

namespace vandrel {
namespace {

constexpr float margin = std::bit_cast<float>(0x413FFFFFu);

struct SplitResult {
  std::int32_t blocks = 0;
  std::vector<std::vector<float>> rows;    // per block, 1-based member rows
  std::vector<std::vector<float>> points;  // per block, column-major M x 3
  std::vector<std::vector<float>> boxes;   // per block, six faces
};

// Runs the split on a row-major list of points.
SplitResult split(const std::vector<float>& xyz) {
  NativeHost host;
  SplitResult out;
  {
    Context ctx(host);
    CleanupScope scope(ctx);
    const auto n = static_cast<std::int32_t>(xyz.size() / 3);
    emxArray_real32_T* P = nullptr;
    emxArray_cell_wrap_0* blocks = nullptr;
    emxArray_cell_wrap_1* indices = nullptr;
    emxArray_real32_T* spare = nullptr;
    emxArray_real32_T* boxes = nullptr;
    emxInit_real32_T(ctx, &P, 2, true);
    emxInit_cell_wrap_0(ctx, &blocks, 2, true);
    emxInit_cell_wrap_1(ctx, &indices, 2, true);
    emxInit_real32_T(ctx, &spare, 1, true);
    emxInit_real32_T(ctx, &boxes, 2, true);
    P->size[0] = n;
    P->size[1] = 3;
    emxEnsureCapacity_real32_T(ctx, P, 0);
    for (std::int32_t i = 0; i < n; ++i) {
      for (int c = 0; c < 3; ++c) P->data[i + n * c] = xyz[static_cast<std::size_t>(3 * i + c)];
    }
    Split_PCD_Octree_v3(ctx, P, blocks, indices, spare, boxes);
    EXPECT_EQ(spare->size[0], 20000);
    out.blocks = blocks->size[1];
    EXPECT_EQ(indices->size[1], out.blocks);
    EXPECT_EQ(boxes->size[0], out.blocks);
    EXPECT_EQ(boxes->size[1], 6);
    for (std::int32_t k = 0; k < out.blocks; ++k) {
      const emxArray_real32_T* r = indices->data[k].f1;
      out.rows.emplace_back(r->data, r->data + r->size[0]);
      const emxArray_real32_T* p = blocks->data[k].f1;
      EXPECT_EQ(p->size[1], 3);
      out.points.emplace_back(p->data, p->data + emx_numel(p));
      std::vector<float> box;
      for (int c = 0; c < 6; ++c) box.push_back(boxes->data[k + out.blocks * c]);
      out.boxes.push_back(box);
    }
  }
  EXPECT_EQ(host.live_allocations(), 0);
  return out;
}

TEST(Split_PCD_Octree_v3, CloudsWithoutAnyNonzeroFaceGiveNoBlock) {
  const float nan = std::nanf("");
  const std::vector<std::vector<float>> clouds = {
      {},                                  // empty
      {0, 0, 0, 0, 0, 0, 0, 0, 0},         // every point at the origin
      {nan, nan, nan, nan, nan, nan},      // every coordinate NaN
  };
  for (const auto& cloud : clouds) {
    SCOPED_TRACE(cloud.size());
    EXPECT_EQ(split(cloud).blocks, 0);
  }
}

// Every copy lies exactly on the three lower faces: faces are inclusive.
TEST(Split_PCD_Octree_v3, CopiesOfOnePointFormOneDegenerateBlock) {
  const std::vector<float> cloud = {1, 2, 3, 1, 2, 3, 1, 2, 3};
  const SplitResult r = split(cloud);
  ASSERT_EQ(r.blocks, 1);
  const std::vector<float> expected_box = {1, 2, 3, 1 + margin, 2 + margin, 3 + margin};
  EXPECT_EQ(r.boxes[0], expected_box);
  EXPECT_EQ(r.rows[0], (std::vector<float>{1, 2, 3}));
}

TEST(Split_PCD_Octree_v3, RootIsACubeOnTheLongestExtentCentredOnTheBoundingBox) {
  // Extent 10 along x, 2 along y and z.
  const std::vector<float> cloud = {0, 0, 0, 10, 2, 2, 5, 1, 1};
  const SplitResult r = split(cloud);
  ASSERT_EQ(r.blocks, 1);
  const float half = 10.0f * std::bit_cast<float>(0x3F000002u);
  EXPECT_GT(half, 5.0f);
  const float centre[3] = {5.0f, 1.0f, 1.0f};
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(r.boxes[0][static_cast<std::size_t>(c)], centre[c] - half);
    EXPECT_EQ(r.boxes[0][static_cast<std::size_t>(c + 3)], (centre[c] + half) + margin);
  }
  EXPECT_EQ(r.rows[0], (std::vector<float>{1, 2, 3}));
  // Members are copied whole, column-major, in row order.
  EXPECT_EQ(r.points[0], (std::vector<float>{0, 10, 5, 0, 2, 1, 0, 2, 1}));
}

TEST(Split_PCD_Octree_v3, PointsWithNaNAreInNoBlock) {
  const float nan = std::nanf("");
  const SplitResult r = split({0, 0, 0, 1, nan, 1, 2, 2, 2, nan, 3, 3});
  ASSERT_EQ(r.blocks, 1);
  EXPECT_EQ(r.rows[0], (std::vector<float>{1, 3}));
}

TEST(Split_PCD_Octree_v3, AllNaNXColumnKeepsTheBlockButNoMembers) {
  const float nan = std::nanf("");
  const SplitResult r = split({nan, 1, 1, nan, 3, 5});
  ASSERT_EQ(r.blocks, 1);
  EXPECT_TRUE(std::isnan(r.boxes[0][0]));
  EXPECT_TRUE(r.rows[0].empty());
  EXPECT_TRUE(r.points[0].empty());
}

}  // namespace
}  // namespace vandrel
