#include "source_code_withOctree/SquareNeighNormal_ICI_Denoising_recur_m2c_Mar06_2_temp.h"

#include <bit>
#include <cassert>
#include <string>
#include <utility>
#include <vector>

#include "numeric/b_bsxfun.h"
#include "numeric/b_isequal.h"
#include "numeric/b_mldivide.h"
#include "numeric/b_mtimes.h"
#include "numeric/b_sort.h"
#include "numeric/c_bsxfun.h"
#include "numeric/c_mtimes.h"
#include "numeric/d_bsxfun.h"
#include "numeric/e_mtimes.h"
#include "numeric/f_mtimes.h"
#include "numeric/isequal.h"
#include "numeric/mean.h"
#include "numeric/polyval.h"
#include "numeric/power.h"
#include "numeric/repmat.h"
#include "numeric/sum.h"
#include "runtime/Vandrel_emxutil.h"
#include "api/error.h"
#include "runtime/parallel.h"
#include "runtime/rt_math.h"
#include "source_code_withOctree/estimate_point.h"

namespace vandrel {
namespace {

constexpr std::int32_t neighbour_count = 50;
constexpr float misfit_share = 0.75f;
// sqrt(2) in single: the misfit never drops below sqrt(2 / |S|) times the support's noise.
constexpr float variance_floor_factor = std::bit_cast<float>(0x3FB504F3u);
constexpr float regularisation_scale = 0.06f;
constexpr float noise_slope = 1.0805545f;
constexpr float noise_offset_factor = -0.09697905f;
constexpr float noise_offset_divisor = 0.4f;
constexpr float noise_factor = 0.5333f;

// Asks the host for the 50 nearest block points of every point and imports them,
// checked, as an N x 50 table of 1-based rows.
void nearest_neighbour_table(Context& ctx, const emxArray_real32_T* X, emxArray_int32_T* table) {
  const std::int32_t n = X->size[0];
  const Value points = Value::single_matrix(X->data, n, 3);
  std::vector<Value> inputs;
  inputs.push_back(points);
  inputs.push_back(points);
  inputs.push_back(Value::char_row("K"));
  inputs.push_back(Value::single_scalar(static_cast<float>(neighbour_count)));
  inputs.push_back(Value::char_row("NSMethod"));
  inputs.push_back(Value::char_row("kdtree"));
  Value nearest = ctx.host().call("knnsearch", std::move(inputs));
  std::vector<Value> conversion;
  conversion.push_back(std::move(nearest));
  const Value rows = ctx.host().call("int32", std::move(conversion));
  const std::string name = "<output of int32>";
  // Exactly one row per point: anything else would make the filter read outside the table.
  check_value(rows, ValueClass::Int32, false, {Extent::fixed(n), Extent::fixed(neighbour_count)}, name);
  const std::int32_t old_count = emx_numel(table);
  table->size[0] = n;
  table->size[1] = neighbour_count;
  emxEnsureCapacity_int32_T(ctx, table, old_count);
  for (std::int32_t k = 0; k < n * neighbour_count; ++k) {
    const std::int32_t row = rows.i32[static_cast<std::size_t>(k)];
    if (row < 1 || row > n) {
      throw Error("Vandrel:badNeighbourTable", name + " holds " + std::to_string(row) +
                                                   ", which is not a row number of the block (1 to " +
                                                   std::to_string(n) + ").");
    }
    table->data[k] = row;
  }
}

void init_record(Context& ctx, EstimateRecord& record, std::int32_t n) {
  emxInit_cell_wrap_6(ctx, &record.positions, 2, true);
  emxInit_cell_wrap_5(ctx, &record.supports, 2, true);
  emxInit_real32_T(ctx, &record.deviations, 2, true);
  emxInit_cell_wrap_0(ctx, &record.normals, 2, true);
  record.positions->size[0] = n;
  record.positions->size[1] = 4;
  emxEnsureCapacity_cell_wrap_6(ctx, record.positions, 0);
  record.supports->size[0] = n;
  record.supports->size[1] = 4;
  emxEnsureCapacity_cell_wrap_5(ctx, record.supports, 0);
  emx_resize_real32(ctx, record.deviations, n, 4);
  record.normals->size[0] = n;
  record.normals->size[1] = 4;
  emxEnsureCapacity_cell_wrap_0(ctx, record.normals, 0);
}

// Every quadrant of point i starts at the zero-scale estimate: the point itself,
// supported by itself, with the point's noise level as its deviation.
void reset_record(Context& ctx, const BlockInputs& in, std::int32_t i, EstimateRecord& record) {
  const std::int32_t n = in.X->size[0];
  for (std::int32_t q = 0; q < 4; ++q) {
    const std::int32_t entry = i + n * q;
    emxArray_int32_T* support = record.supports->data[entry].f1;
    const std::int32_t old_support = emx_numel(support);
    support->size[0] = 1;
    emxEnsureCapacity_int32_T(ctx, support, old_support);
    support->data[0] = i + 1;
    emxArray_real32_T* normal = record.normals->data[entry].f1;
    normal->size[0] = 0;
    normal->size[1] = 0;
    cell_wrap_6& position = record.positions->data[entry];
    position.f1_size[0] = 1;
    position.f1_size[1] = 3;
    for (std::int32_t c = 0; c < 3; ++c) position.f1_data[c] = in.X->data[i + n * c];
    record.deviations->data[entry] = in.b->data[i];
  }
}

// Per-point sums that the fusion pass builds and the solve and noise update read.
struct Accumulators {
  emxArray_real32_T* normal;     // 3 x 3 x N: sum of w n n'
  emxArray_real32_T* target;     // 3 x 1 x N: sum of w n n' p
  emxArray_real32_T* weights;    // N: sum of w
  emxArray_real32_T* variances;  // N: sum of squared estimate deviations
  emxArray_real32_T* uses;       // N: number of estimates
  emxArray_real32_T* fallback;   // N x 3: inverse-variance mean of the quadrant positions
};

// Scratch arrays of the fusion pass, reused for every estimate.
struct FusionScratch {
  emxArray_real32_T* points;      // X(S, :)
  emxArray_real32_T* residuals;   // X(S, :) - p
  emxArray_real32_T* distances;   // signed distances to the plane
  emxArray_real32_T* noise;       // b(S)
  emxArray_real32_T* squares;     // distances squared
  emxArray_real32_T* slices;      // gathered 3 x 3 x |S| accumulator slices
  emxArray_real32_T* sums;        // slices plus the constraint
  emxArray_real32_T* columns;     // gathered 3 x 1 x |S| target slices
  emxArray_real32_T* column_sums; // columns plus the target
  emxArray_real32_T* unit;        // the plane normal as a column, for its length
};

// Adds one accepted estimate's weighted plane constraint to every point of its support.
// Each addition gathers, adds and scatters over the support list, so a point listed
// twice receives it once.
void fuse_estimate(Context& ctx, const BlockInputs& in, const float V[9], const double order[3],
                   const EstimateRecord& record, std::int32_t entry, Accumulators& acc, FusionScratch& f) {
  const std::int32_t N = in.X->size[0];
  const emxArray_int32_T* S = record.supports->data[entry].f1;
  const std::int32_t count = S->size[0];
  const float* p = record.positions->data[entry].f1_data;
  const float* plane = record.normals->data[entry].f1->data;
  const float d_q = record.deviations->data[entry];

  // World normal: the plane normal's local components back in frame order, through V.
  double axes[3] = {order[0], order[1], order[2]};
  std::int32_t inverse[3];
  b_sort(axes, 3, inverse);
  const float a[3] = {plane[inverse[0] - 1], plane[inverse[1] - 1], plane[inverse[2] - 1]};
  emx_resize_real32(ctx, f.unit, 3, 1);
  e_mtimes(a, 3, V, 3, f.unit->data);
  const float length = rt_sqrtf(c_mtimes(ctx, f.unit, f.unit));
  float normal[3];
  for (std::int32_t k = 0; k < 3; ++k) normal[k] = f.unit->data[k] / length;

  // Signed distances of the support points to the fitted plane.
  emx_resize_real32(ctx, f.points, count, 3);
  for (std::int32_t c = 0; c < 3; ++c) {
    for (std::int32_t k = 0; k < count; ++k) f.points->data[k + count * c] = in.X->data[S->data[k] - 1 + N * c];
  }
  const std::int32_t p_size[2] = {1, 3};
  b_bsxfun(ctx, f.points, p, p_size, f.residuals);
  b_mtimes(ctx, f.residuals, normal, 3, f.distances);

  // Mean squared noise level of the support.
  emx_resize_real32(ctx, f.noise, count, 1);
  for (std::int32_t k = 0; k < count; ++k) f.noise->data[k] = in.b->data[S->data[k] - 1];
  const float noise = c_mtimes(ctx, f.noise, f.noise) / static_cast<float>(count);

  // Misfit beyond what the noise explains, floored; the weight is its inverse square.
  emx_resize_real32(ctx, f.squares, count, 1);
  for (std::int32_t k = 0; k < count; ++k) f.squares->data[k] = f.distances->data[k] * f.distances->data[k];
  const float misfit = rt_maxf(mean(f.squares) - noise * misfit_share,
                               (variance_floor_factor / rt_sqrtf(static_cast<float>(count))) * noise);
  const float w = (1.0f / misfit) * (1.0f / misfit);

  float constraint[9];
  for (std::int32_t c = 0; c < 3; ++c) {
    for (std::int32_t r = 0; r < 3; ++r) constraint[r + 3 * c] = (normal[r] * normal[c]) * w;
  }
  float target[3];
  f_mtimes(constraint, 3, 3, p, target);

  // Gathers the support points' per-point blocks of `width` values (3 x width x |S|),
  // adds the constraint with the given broadcasting helper and scatters them back.
  auto add_to_blocks = [&](emxArray_real32_T* sums, std::int32_t width, emxArray_real32_T* gathered,
                           emxArray_real32_T* added, auto&& add) {
    const std::int32_t stride = 3 * width;
    gathered->size[0] = 3;
    gathered->size[1] = width;
    gathered->size[2] = count;
    emxEnsureCapacity_real32_T(ctx, gathered, 0);
    for (std::int32_t k = 0; k < count; ++k) {
      for (std::int32_t e = 0; e < stride; ++e) gathered->data[stride * k + e] = sums->data[stride * (S->data[k] - 1) + e];
    }
    add(gathered, added);
    for (std::int32_t k = 0; k < count; ++k) {
      for (std::int32_t e = 0; e < stride; ++e) sums->data[stride * (S->data[k] - 1) + e] = added->data[stride * k + e];
    }
  };
  add_to_blocks(acc.normal, 3, f.slices, f.sums,
                [&](emxArray_real32_T* blocks, emxArray_real32_T* out) { c_bsxfun(ctx, blocks, constraint, out); });
  add_to_blocks(acc.target, 1, f.columns, f.column_sums,
                [&](emxArray_real32_T* blocks, emxArray_real32_T* out) { d_bsxfun(ctx, blocks, target, out); });

  auto gather_add_scatter = [&](emxArray_real32_T* sums, float addend) {
    std::vector<float> gathered(static_cast<std::size_t>(count));
    for (std::int32_t k = 0; k < count; ++k) gathered[static_cast<std::size_t>(k)] = sums->data[S->data[k] - 1] + addend;
    for (std::int32_t k = 0; k < count; ++k) sums->data[S->data[k] - 1] = gathered[static_cast<std::size_t>(k)];
  };
  gather_add_scatter(acc.weights, w);
  gather_add_scatter(acc.variances, d_q * d_q);
  gather_add_scatter(acc.uses, 1.0f);
}

// Inverse-variance mean of point i's four quadrant positions.
void fallback_position(const EstimateRecord& record, std::int32_t i, std::int32_t N, float out[3]) {
  float d[4];
  float positions[12];  // 4 x 3, quadrant by row
  for (std::int32_t q = 0; q < 4; ++q) {
    d[q] = record.deviations->data[i + N * q];
    for (std::int32_t c = 0; c < 3; ++c) positions[q + 4 * c] = record.positions->data[i + N * q].f1_data[c];
  }
  float g[4];
  power(d, g);
  const float Z = ((g[0] + g[1]) + g[2]) + g[3];
  float spread[12];
  repmat(g, spread);
  float products[12];
  for (std::int32_t k = 0; k < 12; ++k) products[k] = spread[k] * positions[k];
  float s[3];
  sum(products, s);
  for (std::int32_t c = 0; c < 3; ++c) out[c] = s[c] / Z;
}

void fusion_pass(Context& ctx, const BlockInputs& in, const EstimateRecord& record, Accumulators& acc) {
  CleanupScope scope(ctx);
  const std::int32_t N = in.X->size[0];
  FusionScratch f{};
  for (emxArray_real32_T** a : {&f.points, &f.residuals}) emxInit_real32_T(ctx, a, 2, true);
  for (emxArray_real32_T** a : {&f.distances, &f.noise, &f.squares, &f.unit}) emxInit_real32_T(ctx, a, 1, true);
  for (emxArray_real32_T** a : {&f.slices, &f.sums, &f.columns, &f.column_sums}) emxInit_real32_T(ctx, a, 3, true);

  for (std::int32_t i = 0; i < N; ++i) {
    float V[9];
    double order[3];
    point_frame(in, i, V, order);
    for (std::int32_t q = 0; q < 4; ++q) {
      const std::int32_t entry = i + N * q;
      const emxArray_real32_T* plane = record.normals->data[entry].f1;
      if (plane->size[0] == 0 || plane->size[1] == 0) continue;
      fuse_estimate(ctx, in, V, order, record, entry, acc, f);
    }
    float position[3];
    fallback_position(record, i, N, position);
    for (std::int32_t c = 0; c < 3; ++c) acc.fallback->data[i + N * c] = position[c];
  }

  for (emxArray_real32_T** a : {&f.points, &f.residuals, &f.distances, &f.noise, &f.squares, &f.unit, &f.slices,
                                &f.sums, &f.columns, &f.column_sums}) {
    emxFree_real32_T(ctx, a);
  }
}

// New position of point j: the regularised least-squares point closest to all planes
// it took part in, held towards its old position in proportion to (0.06 / b(j))^2.
void solve_position(const BlockInputs& in, const Accumulators& acc, std::int32_t j, emxArray_real32_T* Y) {
  const std::int32_t N = in.X->size[0];
  const float scaled = regularisation_scale / in.b->data[j];
  const float hold = scaled * scaled;
  if (rt_isinf(hold)) {
    // A noise level of 0 (or one so small that the hold overflows) means the point is
    // exact: the regulariser outweighs every plane, and the limit is the point itself.
    for (std::int32_t c = 0; c < 3; ++c) Y->data[j + N * c] = in.X->data[j + N * c];
    return;
  }
  const float lambda = hold * acc.weights->data[j];
  float A[9];
  float h[3];
  for (std::int32_t c = 0; c < 3; ++c) {
    for (std::int32_t r = 0; r < 3; ++r) {
      const float identity = r == c ? 1.0f : 0.0f;
      A[r + 3 * c] = identity * lambda + acc.normal->data[9 * j + r + 3 * c];
    }
  }
  for (std::int32_t r = 0; r < 3; ++r) h[r] = in.X->data[j + N * r] * lambda + acc.target->data[3 * j + r];
  float y[3];
  if (isequal(A) && b_isequal(h)) {
    for (std::int32_t c = 0; c < 3; ++c) y[c] = acc.fallback->data[j + N * c];
  } else {
    b_mldivide(A, h, y);
  }
  for (std::int32_t c = 0; c < 3; ++c) Y->data[j + N * c] = y[c];
}

// Re-estimates every point's noise level from the deviations of the estimates that
// used it; a point no estimate used keeps its level before the polynomial.
void update_noise(Context& ctx, const Accumulators& acc, emxArray_real32_T* b) {
  CleanupScope scope(ctx);
  const std::int32_t N = b->size[0];
  emxArray_real32_T* e = nullptr;
  emxArray_real32_T* y = nullptr;
  emxInit_real32_T(ctx, &e, 1, true);
  emxInit_real32_T(ctx, &y, 1, true);
  e->size[0] = N;
  emxEnsureCapacity_real32_T(ctx, e, 0);
  for (std::int32_t j = 0; j < N; ++j) e->data[j] = acc.variances->data[j] / acc.uses->data[j];
  for (std::int32_t j = 0; j < N; ++j) e->data[j] = rt_sqrtf(e->data[j]);
  for (std::int32_t j = 0; j < N; ++j) {
    if (acc.uses->data[j] == 0.0f) e->data[j] = b->data[j];
  }
  const float offset = (noise_offset_factor * b->data[0]) / noise_offset_divisor;
  const float p[2] = {noise_slope, offset};
  polyval(ctx, p, e, y);
  for (std::int32_t j = 0; j < N; ++j) b->data[j] = y->data[j] * noise_factor;
  emxFree_real32_T(ctx, &y);
  emxFree_real32_T(ctx, &e);
}

}  // namespace

void SquareNeighNormal_ICI_Denoising_recur_m2c_Mar06_2_temp(Context& ctx, const emxArray_real32_T* X,
                                                            emxArray_real32_T* b,
                                                            const emxArray_cell_wrap_2* neighbours,
                                                            emxArray_real32_T* Y, float Gamma, float r0) {
  assert(!in_parallel_region());
  CleanupScope scope(ctx);
  const std::int32_t N = X->size[0];

  Accumulators acc{};
  emxInit_real32_T(ctx, &acc.normal, 3, true);
  emxInit_real32_T(ctx, &acc.target, 3, true);
  for (emxArray_real32_T** a : {&acc.weights, &acc.variances, &acc.uses}) emxInit_real32_T(ctx, a, 1, true);
  emxInit_real32_T(ctx, &acc.fallback, 2, true);
  acc.normal->size[0] = 3;
  acc.normal->size[1] = 3;
  acc.normal->size[2] = N;
  emxEnsureCapacity_real32_T(ctx, acc.normal, 0);
  acc.target->size[0] = 3;
  acc.target->size[1] = 1;
  acc.target->size[2] = N;
  emxEnsureCapacity_real32_T(ctx, acc.target, 0);
  for (emxArray_real32_T* a : {acc.weights, acc.variances, acc.uses}) emx_resize_real32(ctx, a, N, 1);
  emx_resize_real32(ctx, acc.fallback, N, 3);
  // Fresh storage is zero-filled, but an array may reuse storage: zero explicitly.
  for (emxArray_real32_T* a : {acc.normal, acc.target, acc.weights, acc.variances, acc.uses}) {
    const std::int32_t count = emx_numel(a);
    for (std::int32_t k = 0; k < count; ++k) a->data[k] = 0.0f;
  }

  emxArray_int32_T* nearest = nullptr;
  emxInit_int32_T(ctx, &nearest, 2, true);
  EstimateRecord record{};
  init_record(ctx, record, N);
  nearest_neighbour_table(ctx, X, nearest);
  ctx.host().stage_done("nearest neighbours");

  const BlockInputs in{X, b, neighbours, nearest, Gamma, r0};

  // Each iteration below writes only its own point's entries, so no lock is needed.
  run_parallel_shares(ctx, N, [&](Context& worker, std::int32_t begin, std::int32_t end) {
    for (std::int32_t i = begin; i < end; ++i) reset_record(worker, in, i, record);
  });
  run_parallel_shares(ctx, N, [&](Context& worker, std::int32_t begin, std::int32_t end) {
    EstimateWorkspace work(worker);
    for (std::int32_t i = begin; i < end; ++i) estimate_point(work, in, i, record);
  });
  ctx.host().stage_done("estimates");

  // Estimates share support points, so their contributions are summed serially, in
  // point order, to keep the sums independent of the thread count.
  fusion_pass(ctx, in, record, acc);
  ctx.host().stage_done("fusion");

  emx_resize_real32(ctx, Y, N, 3);
  run_parallel_shares(ctx, N, [&](Context&, std::int32_t begin, std::int32_t end) {
    for (std::int32_t j = begin; j < end; ++j) solve_position(in, acc, j, Y);
  });
  ctx.host().stage_done("solve");

  update_noise(ctx, acc, b);
  ctx.host().stage_done("noise update");

  emxFree_cell_wrap_0(ctx, &record.normals);
  emxFree_real32_T(ctx, &record.deviations);
  emxFree_cell_wrap_5(ctx, &record.supports);
  emxFree_cell_wrap_6(ctx, &record.positions);
  emxFree_int32_T(ctx, &nearest);
  for (emxArray_real32_T** a : {&acc.fallback, &acc.uses, &acc.variances, &acc.weights, &acc.target, &acc.normal}) {
    emxFree_real32_T(ctx, a);
  }
}

}  // namespace vandrel
