#include "source_code_withOctree/estimate_point.h"

#include <bit>
#include <cstdio>

#include "numeric/bsxfun.h"
#include "numeric/c_mtimes.h"
#include "numeric/d_mtimes.h"
#include "numeric/mtimes.h"
#include "runtime/Vandrel_emxutil.h"
#include "runtime/Vandrel_mexutil.h"
#include "runtime/parallel.h"
#include "runtime/rt_math.h"
#include "source_code_withOctree/find_index_in_anisotropic_square_v2.h"
#include "source_code_withOctree/local_coordinate_for_ICI.h"
#include "source_code_withOctree/polynom_kernel_ICI_octant_single_est_order1.h"

namespace vandrel {
namespace {

constexpr std::int32_t frame_neighbours = 50;
constexpr std::int32_t scale_count = 5;
constexpr float smallest_scale = 3.0f;
// sqrt(2) in single: the scales grow by this factor, 3, 4.24, 6, 8.49, 12.
constexpr float scale_ratio = std::bit_cast<float>(0x3FB504F3u);
constexpr float band_factor = 3.0f;
constexpr std::int32_t progress_interval = 5000;

// to(k, :) = from(rows[k] - 1, :) for 1-based row numbers carried as singles.
void gather_rows(Context& ctx, const emxArray_real32_T* from, const emxArray_real32_T* rows, std::int32_t count,
                 emxArray_real32_T* to) {
  emx_resize_real32(ctx, to, count, 3);
  const std::int32_t n = from->size[0];
  for (std::int32_t c = 0; c < 3; ++c) {
    for (std::int32_t k = 0; k < count; ++k) {
      to->data[k + count * c] = from->data[static_cast<std::int32_t>(rows->data[k]) - 1 + n * c];
    }
  }
}

void report_progress(Context& ctx, std::int32_t i, std::int32_t n) {
  const auto point = static_cast<float>(i + 1);
  if (rt_remf(point, static_cast<float>(progress_interval)) != 0.0f) return;
  const float percent = (point / static_cast<float>(n)) * 100.0f;
  if (in_parallel_region()) {
    char line[64];
    const int length = std::snprintf(line, sizeof line, "%.2f%% of points processed\n", static_cast<double>(percent));
    ctx.host().print_parallel(std::string_view(line, static_cast<std::size_t>(length)));
  } else {
    host_fprintf(ctx, "%.2f%% of points processed\\n", Value::single_scalar(percent));
  }
}

}  // namespace

// The workspace frees its arrays itself when it goes out of scope, on the normal path
// and when an error unwinds the thread's share, so they are not registered for clean-up.
EstimateWorkspace::EstimateWorkspace(Context& context) : ctx(context) {
  for (emxArray_real32_T** a : {&P, &local, &projected, &selection, &selected, &support, &centred, &kernel}) {
    emxInit_real32_T(ctx, a, 2, false);
  }
  for (emxArray_real32_T** a : {&candidates, &in_box, &support_rows, &spread}) emxInit_real32_T(ctx, a, 1, false);
  emxInit_real32_T(ctx, &centre, 2, false);
  emxInit_int32_T(ctx, &list, 1, false);
}

EstimateWorkspace::~EstimateWorkspace() {
  for (emxArray_real32_T** a : {&P, &local, &projected, &centre, &candidates, &selection, &selected, &in_box,
                                &support_rows, &support, &centred, &kernel, &spread}) {
    emxFree_real32_T(ctx, a);
  }
  emxFree_int32_T(ctx, &list);
}

void point_frame(const BlockInputs& in, std::int32_t i, float V[9], double order[3]) {
  const std::int32_t n = in.X->size[0];
  float neighbourhood[frame_neighbours * 3];
  for (std::int32_t r = 0; r < frame_neighbours; ++r) {
    const std::int32_t row = in.nearest->data[i + n * r] - 1;
    for (std::int32_t c = 0; c < 3; ++c) neighbourhood[r + frame_neighbours * c] = in.X->data[row + n * c];
  }
  const std::int32_t size[2] = {frame_neighbours, 3};
  std::int32_t V_size[2];
  std::int32_t order_size;
  local_coordinate_for_ICI(neighbourhood, size, V, V_size, order, &order_size);
}

void estimate_point(EstimateWorkspace& work, const BlockInputs& in, std::int32_t i, EstimateRecord& record) {
  Context& ctx = work.ctx;
  const std::int32_t N = in.X->size[0];
  const float b_i = in.b->data[i];

  // Frame from the 50 nearest neighbours.
  float V[9];
  double order[3];
  point_frame(in, i, V, order);

  // The radius neighbours as block rows, and the point's own place among them.
  const emxArray_real_T* neighbour_row = in.neighbours->data[i].f1;
  const std::int32_t n = neighbour_row->size[1];
  work.list->size[0] = n;
  emxEnsureCapacity_int32_T(ctx, work.list, 0);
  std::int32_t self = 0;  // 1-based position of point i in the list
  for (std::int32_t k = 0; k < n; ++k) {
    work.list->data[k] = static_cast<std::int32_t>(rt_round(neighbour_row->data[k]));
    if (self == 0 && static_cast<double>(work.list->data[k]) == static_cast<double>(i + 1)) self = k + 1;
  }

  // Local coordinates (u, v, w) of the neighbours, uncentred.
  emx_resize_real32(ctx, work.P, n, 3);
  for (std::int32_t c = 0; c < 3; ++c) {
    for (std::int32_t k = 0; k < n; ++k) work.P->data[k + n * c] = in.X->data[work.list->data[k] - 1 + N * c];
  }
  const std::int32_t V_size[2] = {3, 3};
  mtimes(ctx, work.P, V, V_size, work.projected);
  emx_resize_real32(ctx, work.local, n, 3);
  for (std::int32_t c = 0; c < 3; ++c) {
    const auto column = static_cast<std::int32_t>(order[c]) - 1;
    for (std::int32_t k = 0; k < n; ++k) work.local->data[k + n * c] = work.projected->data[k + n * column];
  }
  emx_resize_real32(ctx, work.centre, 1, 3);
  for (std::int32_t c = 0; c < 3; ++c) work.centre->data[c] = work.local->data[self - 1 + n * c];

  const float upper0 = in.Gamma * b_i;
  const float lower0 = 0.0f - in.Gamma * b_i;
  const float band = band_factor * b_i;

  for (std::int32_t q = 1; q <= 4; ++q) {
    const auto quadrant = static_cast<float>(q);
    find_index_in_anisotropic_square_v2(ctx, work.centre, work.local, work.candidates, in.r0, in.r0, quadrant);
    const std::int32_t candidate_count = work.candidates->size[0];
    emx_resize_real32(ctx, work.selection, candidate_count + 1, 1);
    work.selection->data[0] = static_cast<float>(self);
    for (std::int32_t k = 0; k < candidate_count; ++k) work.selection->data[k + 1] = work.candidates->data[k];
    gather_rows(ctx, work.local, work.selection, candidate_count + 1, work.selected);

    float upper = upper0;
    float lower = lower0;
    const std::int32_t entry = i + N * (q - 1);
    for (std::int32_t m = 0; m < scale_count; ++m) {
      const float h = smallest_scale * rt_powf(scale_ratio, static_cast<float>(m));
      // The band across the surface is never thinner than three noise deviations.
      const float t = band > h ? band : h;
      find_index_in_anisotropic_square_v2(ctx, work.centre, work.selected, work.in_box, h, t, quadrant);

      // Support: the point itself first, then the selected candidates in list order.
      const std::int32_t count = work.in_box->size[0] + 1;
      emx_resize_real32(ctx, work.support_rows, count, 1);
      work.support_rows->data[0] = work.selection->data[0];
      for (std::int32_t k = 1; k < count; ++k) {
        work.support_rows->data[k] = work.selection->data[static_cast<std::int32_t>(work.in_box->data[k - 1]) - 1];
      }
      // A plane needs the point and at least two neighbours.
      if (count <= 2) break;
      gather_rows(ctx, work.local, work.support_rows, count, work.support);
      bsxfun(ctx, work.support, work.centre, work.centred);

      float est = 0.0f;
      float normal[3];
      polynom_kernel_ICI_octant_single_est_order1(ctx, work.centred, &est, work.kernel, normal);
      bool kernel_nan = false;
      for (std::int32_t k = 0; k < count; ++k) kernel_nan = kernel_nan || rt_isnan(work.kernel->data[k]);
      if (kernel_nan) break;

      emx_resize_real32(ctx, work.spread, count, 1);
      for (std::int32_t k = 0; k < count; ++k) {
        const std::int32_t row = work.list->data[static_cast<std::int32_t>(work.support_rows->data[k]) - 1];
        work.spread->data[k] = in.b->data[row - 1] * work.kernel->data[k];
      }
      const float dev = rt_sqrtf(c_mtimes(ctx, work.spread, work.spread));
      upper = rt_minf(upper, est + in.Gamma * dev);
      lower = rt_maxf(lower, est - in.Gamma * dev);
      if (!(upper > lower)) break;

      // Accepted: move the point along its normal axis by the fitted height.
      float e3[3] = {0.0f, 0.0f, 0.0f};
      e3[static_cast<std::int32_t>(order[2]) - 1] = est;
      float offset[3];
      d_mtimes(e3, V, 3, offset);
      cell_wrap_6& position = record.positions->data[entry];
      position.f1_size[0] = 1;
      position.f1_size[1] = 3;
      for (std::int32_t c = 0; c < 3; ++c) position.f1_data[c] = in.X->data[i + N * c] + offset[c];
      emxArray_int32_T* support = record.supports->data[entry].f1;
      const std::int32_t old_support = emx_numel(support);
      support->size[0] = count;
      emxEnsureCapacity_int32_T(ctx, support, old_support);
      for (std::int32_t k = 0; k < count; ++k) {
        support->data[k] = work.list->data[static_cast<std::int32_t>(work.support_rows->data[k]) - 1];
      }
      record.deviations->data[entry] = dev;
      emxArray_real32_T* plane = record.normals->data[entry].f1;
      const std::int32_t old_plane = emx_numel(plane);
      plane->size[0] = 1;
      plane->size[1] = 3;
      emxEnsureCapacity_real32_T(ctx, plane, old_plane);
      for (std::int32_t c = 0; c < 3; ++c) plane->data[c] = normal[c];
    }
  }

  report_progress(ctx, i, N);
}

}  // namespace vandrel
