#include "source_code_withOctree/Vandrel.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "numeric/e_bsxfun.h"
#include "numeric/f_bsxfun.h"
#include "numeric/nullAssignment.h"
#include "runtime/Vandrel_emxutil.h"
#include "runtime/Vandrel_mexutil.h"
#include "api/error.h"
#include "runtime/parallel.h"
#include "runtime/rt_math.h"
#include "source_code_withOctree/Split_PCD_Octree_v3.h"
#include "source_code_withOctree/SquareNeighNormal_ICI_Denoising_recur_m2c_Mar06_2_temp.h"

namespace vandrel {
namespace {

constexpr std::int32_t max_blocks = 20000;
// Row numbers travel as singles, which hold every whole number up to 2^24 exactly.
constexpr std::int32_t max_points = 16777216;
// The largest single below 12: the smallest maximum half-width of a quadrant box.
constexpr float min_half_width = std::bit_cast<float>(0x413FFFFFu);
constexpr std::int32_t min_filtered_block = 50;
constexpr std::int32_t max_pruned_block = 3;

void check_arguments(const emxArray_real32_T* pcd_noi, float sigma_pcd, float dens_pcd) {
  if (!std::isfinite(sigma_pcd) || sigma_pcd < 0.0f) {
    throw Error("Vandrel:invalidSigma",
                "sigma_pcd must be a finite noise standard deviation >= 0, but it is " + std::to_string(sigma_pcd) + ".");
  }
  if (!std::isfinite(dens_pcd) || dens_pcd <= 0.0f) {
    throw Error("Vandrel:invalidDensity",
                "dens_pcd must be a finite density > 0, but it is " + std::to_string(dens_pcd) + ".");
  }
  if (pcd_noi->size[0] > max_points) {
    throw Error("Vandrel:tooManyPoints", "The cloud has " + std::to_string(pcd_noi->size[0]) +
                                             " points; at most 16777216 can be filtered in one call.");
  }
}

void print_pass_line(Context& ctx, std::int32_t pass) {
  if (in_parallel_region()) {
    ctx.host().print_parallel("////////////////////// itr = " + std::to_string(pass) +
                              " done ////////////////////// \n");
  } else {
    host_fprintf(ctx, "////////////////////// itr = %d done ////////////////////// \\n", Value::int32_scalar(pass));
  }
}

// Asks the host for the neighbour lists of one block and imports them, checking every
// row so that a faulty host cannot make the filter index outside the block.
void search_block_neighbours(Context& ctx, const emxArray_real32_T* points, float radius,
                             emxArray_cell_wrap_2* lists) {
  const std::int32_t m = points->size[0];
  std::vector<Value> inputs;
  inputs.push_back(to_host_single_matrix(points));
  inputs.push_back(to_host_single_matrix(points));
  inputs.push_back(Value::single_scalar(radius));
  inputs.push_back(Value::char_row("Distance"));
  inputs.push_back(Value::char_row("euclidean"));
  inputs.push_back(Value::char_row("NSMethod"));
  inputs.push_back(Value::char_row("kdtree"));
  Value out = ctx.host().call("rangesearch", std::move(inputs));
  const std::string name = "<output of rangesearch>";
  check_value(out, ValueClass::Cell, false, {Extent::fixed(m), Extent::fixed(1)}, name);

  const std::int32_t old_count = emx_numel(lists);
  lists->size[0] = m;
  emxEnsureCapacity_cell_wrap_2(ctx, lists, old_count);
  for (std::int32_t i = 0; i < m; ++i) {
    Value& row = out.cells[static_cast<std::size_t>(i)];
    const std::string element = name + "{" + std::to_string(i + 1) + "}";
    check_value(row, ValueClass::Double, false, {Extent::fixed(1), Extent::any()}, element);
    const auto n = static_cast<std::int32_t>(row.dims[1]);
    bool has_self = false;
    for (double v : row.f64) {
      const double r = rt_round(v);
      if (!(r >= 1.0 && r <= m)) {
        throw Error("Vandrel:badNeighbourList", element + " holds " + std::to_string(v) +
                                                    ", which is not a row number of the block (1 to " +
                                                    std::to_string(m) + ").");
      }
      has_self = has_self || r == i + 1;
    }
    if (!has_self) {
      throw Error("Vandrel:badNeighbourList", element + " does not list point " + std::to_string(i + 1) + " itself.");
    }
    emxArray_real_T* list = lists->data[i].f1;
    list->size[0] = 1;
    list->size[1] = n;
    emxEnsureCapacity_real_T(ctx, list, 0);
    for (std::int32_t k = 0; k < n; ++k) list->data[k] = row.f64[static_cast<std::size_t>(k)];
    row = Value();  // the host's copy is no longer needed
  }
}

void copy_matrix(Context& ctx, const emxArray_real32_T* from, emxArray_real32_T* to) {
  emx_resize_real32(ctx, to, from->size[0], from->size[1]);
  const std::int32_t count = emx_numel(from);
  for (std::int32_t k = 0; k < count; ++k) to->data[k] = from->data[k];
}

}  // namespace

void Vandrel(Context& ctx, emxArray_real32_T* pcd_noi, float sigma_pcd, float dens_pcd, emxArray_real32_T* result) {
  CleanupScope scope(ctx);
  check_arguments(pcd_noi, sigma_pcd, dens_pcd);
  const std::int32_t n = pcd_noi->size[0];
  pcd_noi->size[1] = 3;

  // Points that end up in no filtered block are returned exactly as given, so keep the
  // unscaled input.
  emxArray_real32_T* original = nullptr;
  emxInit_real32_T(ctx, &original, 2, true);
  copy_matrix(ctx, pcd_noi, original);

  // Scale.
  const float s = rt_sqrtf(dens_pcd);
  for (std::int32_t k = 0; k < 3 * n; ++k) pcd_noi->data[k] = pcd_noi->data[k] * s;
  emxArray_real32_T* cloud = nullptr;
  emxInit_real32_T(ctx, &cloud, 2, true);
  copy_matrix(ctx, pcd_noi, cloud);
  const float sigma_scaled = sigma_pcd * s;

  // Partition.
  emxArray_cell_wrap_0* blocks = nullptr;
  emxArray_cell_wrap_1* block_rows = nullptr;
  emxArray_real32_T* spare = nullptr;
  emxArray_real32_T* boxes = nullptr;
  emxInit_cell_wrap_0(ctx, &blocks, 2, true);
  emxInit_cell_wrap_1(ctx, &block_rows, 2, true);
  emxInit_real32_T(ctx, &spare, 1, true);
  emxInit_real32_T(ctx, &boxes, 2, true);
  Split_PCD_Octree_v3(ctx, cloud, blocks, block_rows, spare, boxes);
  emxFree_real32_T(ctx, &spare);
  const std::int32_t R = blocks->size[1];

  // Prune blocks of three points or fewer.
  boolean_T pruned[max_blocks] = {};
  std::int32_t K = 0;
  for (std::int32_t k = 0; k < R; ++k) {
    pruned[k] = blocks->data[k].f1->size[0] <= max_pruned_block;
    K += pruned[k] ? 0 : 1;
  }
  emxArray_cell_wrap_0* working = nullptr;
  emxArray_cell_wrap_0* reference = nullptr;
  emxArray_cell_wrap_1* kept_rows = nullptr;
  emxInit_cell_wrap_0(ctx, &working, 2, true);
  emxInit_cell_wrap_0(ctx, &reference, 2, true);
  emxInit_cell_wrap_1(ctx, &kept_rows, 2, true);
  for (auto* cells : {working, reference}) {
    cells->size[0] = 1;
    cells->size[1] = K;
    emxEnsureCapacity_cell_wrap_0(ctx, cells, 0);
  }
  kept_rows->size[0] = 1;
  kept_rows->size[1] = K;
  emxEnsureCapacity_cell_wrap_1(ctx, kept_rows, 0);
  for (std::int32_t k = 0, kept = 0; k < R; ++k) {
    if (pruned[k]) continue;
    emxCopyStruct_cell_wrap_0(ctx, &working->data[kept], &blocks->data[k]);
    const emxArray_real32_T* from = block_rows->data[k].f1;
    emxArray_real32_T* to = kept_rows->data[kept].f1;
    to->size[0] = from->size[0];
    emxEnsureCapacity_real32_T(ctx, to, 0);
    for (std::int32_t i = 0; i < from->size[0]; ++i) to->data[i] = from->data[i];
    ++kept;
  }
  nullAssignment(boxes, pruned, R);
  for (std::int32_t k = 0; k < K; ++k) emxCopyStruct_cell_wrap_0(ctx, &reference->data[k], &working->data[k]);
  emxFree_cell_wrap_1(ctx, &block_rows);
  emxFree_cell_wrap_0(ctx, &blocks);
  ctx.host().stage_done("split");

  // Radii: r0 bounds the quadrant boxes; the search radius reaches every corner of the
  // cube of half-edge r0 around a point.
  const float five_sigma = 5.0f * sigma_scaled;
  const float r0 = five_sigma > min_half_width ? five_sigma : min_half_width;
  const float radius = rt_sqrtf((r0 * r0) * 3.0f);

  // Noise levels and neighbour lists, once per block for both passes.
  emxArray_cell_wrap_1* noise = nullptr;
  emxArray_cell_wrap_3* neighbours = nullptr;
  emxInit_cell_wrap_1(ctx, &noise, 2, true);
  emxInit_cell_wrap_3(ctx, &neighbours, 2, true);
  noise->size[0] = 1;
  noise->size[1] = K;
  emxEnsureCapacity_cell_wrap_1(ctx, noise, 0);
  neighbours->size[0] = 1;
  neighbours->size[1] = K;
  emxEnsureCapacity_cell_wrap_3(ctx, neighbours, 0);
  for (std::int32_t k = 0; k < K; ++k) {
    const emxArray_real32_T* points = working->data[k].f1;
    emxArray_real32_T* b = noise->data[k].f1;
    b->size[0] = points->size[0];
    emxEnsureCapacity_real32_T(ctx, b, 0);
    for (std::int32_t i = 0; i < points->size[0]; ++i) b->data[i] = sigma_scaled;
    search_block_neighbours(ctx, points, radius, neighbours->data[k].f1);
    ctx.host().stage_done("radius search");
  }

  // Two passes per block; the second filters the first's output with the noise levels
  // the first left behind.
  emxArray_cell_wrap_0* filtered = nullptr;
  emxInit_cell_wrap_0(ctx, &filtered, 2, true);
  filtered->size[0] = 1;
  filtered->size[1] = K;
  emxEnsureCapacity_cell_wrap_0(ctx, filtered, 0);
  emxArray_real32_T* pass_output = nullptr;
  emxInit_real32_T(ctx, &pass_output, 2, true);
  for (std::int32_t k = 0; k < K; ++k) {
    for (std::int32_t pass = 1; pass <= 2; ++pass) {
      emxArray_real32_T* points = working->data[k].f1;
      if (points->size[0] >= min_filtered_block) {
        const float gamma = 0.55f + 0.3f * static_cast<float>(pass - 1);
        SquareNeighNormal_ICI_Denoising_recur_m2c_Mar06_2_temp(ctx, points, noise->data[k].f1,
                                                               neighbours->data[k].f1, pass_output, gamma, r0);
        copy_matrix(ctx, pass_output, filtered->data[k].f1);
        copy_matrix(ctx, pass_output, points);
      } else {
        copy_matrix(ctx, points, filtered->data[k].f1);
      }
      print_pass_line(ctx, pass);
    }
  }
  emxFree_real32_T(ctx, &pass_output);
  emxFree_cell_wrap_3(ctx, &neighbours);
  emxFree_cell_wrap_1(ctx, &noise);
  emxFree_cell_wrap_0(ctx, &working);

  // Merge: every block adds its filtered points weighted by the product of their
  // distances to the block's six faces, measured on the unfiltered positions.
  emxArray_real32_T* acc = nullptr;
  emxArray_real32_T* weights = nullptr;
  emxArray_real32_T* weighted = nullptr;
  emxInit_real32_T(ctx, &acc, 2, true);
  emxInit_real32_T(ctx, &weights, 1, true);
  emxInit_real32_T(ctx, &weighted, 2, true);
  acc->size[0] = n;
  acc->size[1] = 4;
  emxEnsureCapacity_real32_T(ctx, acc, 0);
  for (std::int32_t i = 0; i < 4 * n; ++i) acc->data[i] = 0.0f;
  // A point whose weights add up to 0 (on a lower face of its only box) still has a
  // filtered position: keep the plain mean of its blocks' positions for it.
  std::vector<float> plain(static_cast<std::size_t>(4) * static_cast<std::size_t>(n), 0.0f);
  const std::int32_t boxes_rows = boxes->size[0];
  for (std::int32_t k = 0; k < K; ++k) {
    const emxArray_real32_T* ref = reference->data[k].f1;
    const emxArray_real32_T* out = filtered->data[k].f1;
    const emxArray_real32_T* rows = kept_rows->data[k].f1;
    const std::int32_t m = ref->size[0];
    float box[6];
    for (std::int32_t c = 0; c < 6; ++c) box[c] = boxes->data[k + boxes_rows * c];
    weights->size[0] = m;
    emxEnsureCapacity_real32_T(ctx, weights, 0);
    for (std::int32_t i = 0; i < m; ++i) {
      const float x = ref->data[i];
      const float y = ref->data[i + m];
      const float z = ref->data[i + 2 * m];
      weights->data[i] = rt_maxf(box[3] - x, 0.0f) * rt_maxf(x - box[0], 0.0f) * rt_maxf(box[4] - y, 0.0f) *
                         rt_maxf(y - box[1], 0.0f) * rt_maxf(box[5] - z, 0.0f) * rt_maxf(z - box[2], 0.0f);
    }
    e_bsxfun(ctx, out, weights, weighted);
    for (std::int32_t i = 0; i < m; ++i) {
      const auto row = static_cast<std::int32_t>(rows->data[i]) - 1;
      for (std::int32_t c = 0; c < 3; ++c) {
        acc->data[row + n * c] = acc->data[row + n * c] + weighted->data[i + m * c];
        plain[static_cast<std::size_t>(row) * 4 + static_cast<std::size_t>(c)] += out->data[i + m * c];
      }
      acc->data[row + 3 * n] = acc->data[row + 3 * n] + weights->data[i];
      plain[static_cast<std::size_t>(row) * 4 + 3] += 1.0f;
    }
  }

  ctx.host().stage_done("merge");

  // Normalise and unscale.
  emxArray_real32_T* sums = nullptr;
  emxArray_real32_T* total = nullptr;
  emxInit_real32_T(ctx, &sums, 2, true);
  emxInit_real32_T(ctx, &total, 1, true);
  sums->size[0] = n;
  sums->size[1] = 3;
  emxEnsureCapacity_real32_T(ctx, sums, 0);
  total->size[0] = n;
  emxEnsureCapacity_real32_T(ctx, total, 0);
  for (std::int32_t i = 0; i < 3 * n; ++i) sums->data[i] = acc->data[i];
  for (std::int32_t i = 0; i < n; ++i) total->data[i] = acc->data[i + 3 * n];
  f_bsxfun(ctx, sums, total, result);
  for (std::int32_t k = 0; k < 3 * n; ++k) result->data[k] = result->data[k] / s;
  for (std::int32_t i = 0; i < n; ++i) {
    if (total->data[i] != 0.0f) continue;
    const float* p = &plain[static_cast<std::size_t>(i) * 4];
    for (std::int32_t c = 0; c < 3; ++c) {
      result->data[i + n * c] = p[3] > 0.0f ? (p[c] / p[3]) / s : original->data[i + n * c];
    }
  }
  emxFree_real32_T(ctx, &total);
  emxFree_real32_T(ctx, &sums);
  emxFree_real32_T(ctx, &weighted);
  emxFree_real32_T(ctx, &weights);
  emxFree_real32_T(ctx, &acc);
  emxFree_cell_wrap_1(ctx, &kept_rows);
  emxFree_cell_wrap_0(ctx, &filtered);
  emxFree_cell_wrap_0(ctx, &reference);
  emxFree_real32_T(ctx, &boxes);
  emxFree_real32_T(ctx, &cloud);
  emxFree_real32_T(ctx, &original);
}

}  // namespace vandrel
