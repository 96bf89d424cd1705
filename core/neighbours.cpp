#include "core/neighbours.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <limits>
#include <numeric>

#include "core/parallel.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vandrel {
namespace {

constexpr double max_cells_per_axis = 1 << 20;
std::atomic<std::uint64_t> next_serial{0};
// The first reach of a nearest-neighbour search, in cell sides.
constexpr double first_nearest_reach = 0.8;

}  // namespace

CellGrid::CellGrid(std::span<const Point> points, float side, int threads) : CellGrid(points, side, threads, OrderOnly{}) {
  for (std::size_t c = 0; c < 3; ++c) {
    coordinates_[c].resize(order_.size());
    for (std::size_t k = 0; k < order_.size(); ++k) coordinates_[c][k] = points[static_cast<std::size_t>(order_[k])][c];
  }
  // A table of where each cell starts takes no more room than the cell numbers it replaces
  // when there are at most twice as many cells as points (a compact cloud); a sparse one
  // keeps the numbers and is searched by walking them.
  const double cells = static_cast<double>(count_[0]) * static_cast<double>(count_[1]) * static_cast<double>(count_[2]);
  if (!order_.empty() && cells <= 2.0 * static_cast<double>(order_.size())) {
    const auto cell_count = static_cast<std::size_t>(cells);
    cell_starts_.resize(cell_count + 1);
    std::size_t k = 0;
    for (std::size_t cell = 0; cell <= cell_count; ++cell) {
      while (k < sorted_cells_.size() && sorted_cells_[k] < static_cast<std::int64_t>(cell)) ++k;
      cell_starts_[cell] = static_cast<std::int32_t>(k);
    }
    sorted_cells_ = {};
  }
}

namespace {

// A point's cell and row: no two alike, so that every sort puts them in one order, that of
// a stable sort by cell.
struct CellKey {
  std::int64_t cell;
  std::int32_t row;
  bool operator<(const CellKey& other) const { return cell < other.cell || (cell == other.cell && row < other.row); }
};

// Sorts `keys` on `threads` threads: each sorts a share, then the shares are merged in
// pairs, the pairs of one round side by side.
void sort_keys(std::vector<CellKey>& keys, int threads) {
  const auto n = static_cast<std::int64_t>(keys.size());
  if (threads <= 1 || n < 4096) {
    std::sort(keys.begin(), keys.end());
    return;
  }
  std::vector<std::int64_t> bounds;  // share t is [bounds[t], bounds[t + 1])
  for (std::int64_t t = 0; t <= threads; ++t) bounds.push_back(n * t / threads);
  for_each_share(threads, threads, [&](int, std::int64_t first, std::int64_t last) {
    for (std::int64_t t = first; t < last; ++t) {
      std::sort(keys.begin() + bounds[static_cast<std::size_t>(t)], keys.begin() + bounds[static_cast<std::size_t>(t) + 1]);
    }
  });
  std::vector<CellKey> merged(keys.size());
  while (bounds.size() > 2) {
    const auto pairs = static_cast<std::int64_t>(bounds.size() - 1) / 2;
    const auto odd = (bounds.size() - 1) % 2 != 0;
    for_each_share(threads, pairs + (odd ? 1 : 0), [&](int, std::int64_t first, std::int64_t last) {
      for (std::int64_t p = first; p < last; ++p) {
        const auto at = static_cast<std::size_t>(2 * p);
        const auto from = keys.begin() + bounds[at];
        if (p == pairs) {  // the odd share out, carried over
          std::copy(from, keys.begin() + bounds[at + 1], merged.begin() + bounds[at]);
          continue;
        }
        std::merge(from, keys.begin() + bounds[at + 1], keys.begin() + bounds[at + 1], keys.begin() + bounds[at + 2],
                   merged.begin() + bounds[at]);
      }
    });
    keys.swap(merged);
    std::vector<std::int64_t> next;
    for (std::size_t t = 0; t < bounds.size(); t += 2) next.push_back(bounds[t]);
    if (next.back() != n) next.push_back(n);
    bounds.swap(next);
  }
}

}  // namespace

CellGrid::CellGrid(std::span<const Point> points, float side, int threads, OrderOnly)
    : serial_(next_serial++), side_(side) {
  if (points.empty()) return;
  Point lo = points[0];
  Point hi = points[0];
  for (const Point& p : points) {
    for (std::size_t c = 0; c < 3; ++c) {
      lo[c] = std::min(lo[c], p[c]);
      hi[c] = std::max(hi[c], p[c]);
    }
  }
  // Doubling keeps the lattice anchored at the origin.
  for (std::size_t c = 0; c < 3; ++c) {
    while ((static_cast<double>(hi[c]) - static_cast<double>(lo[c])) / side_ > max_cells_per_axis - 2.0) side_ *= 2.0;
    const double far = std::max(std::fabs(static_cast<double>(lo[c])), std::fabs(static_cast<double>(hi[c])));
    while (far / side_ > max_cell) side_ *= 2.0;
  }
  for (std::size_t c = 0; c < 3; ++c) {
    first_[c] = axis_cell(lo[c]);
    count_[c] = axis_cell(hi[c]) - first_[c] + 1;
    low_[c] = lo[c];
    high_[c] = hi[c];
  }
  const auto n = static_cast<std::int64_t>(points.size());
  order_.resize(points.size());
  sorted_cells_.resize(points.size());
  std::vector<std::int64_t>& cells = sorted_cells_;  // sorted below where they are not already
  for_each_share(threads, n, [&](int, std::int64_t first, std::int64_t last) {
    for (auto i = static_cast<std::size_t>(first); i < static_cast<std::size_t>(last); ++i) cells[i] = cell_number(points[i]);
  });
  if (std::is_sorted(cells.begin(), cells.end())) {
    std::iota(order_.begin(), order_.end(), 0);
    return;
  }
  std::vector<CellKey> keys(points.size());
  for (std::size_t i = 0; i < keys.size(); ++i) keys[i] = {cells[i], static_cast<std::int32_t>(i)};
  sort_keys(keys, threads);
  for (std::size_t k = 0; k < keys.size(); ++k) {
    order_[k] = keys[k].row;
    sorted_cells_[k] = keys[k].cell;
  }
}

std::array<std::vector<float>, 3> CellGrid::in_cell_order(std::span<const Point> positions) const {
  std::array<std::vector<float>, 3> ordered;
  for (std::size_t c = 0; c < 3; ++c) {
    ordered[c].resize(order_.size());
    for (std::size_t k = 0; k < order_.size(); ++k) ordered[c][k] = positions[static_cast<std::size_t>(order_[k])][c];
  }
  return ordered;
}

std::int64_t CellGrid::cell_number(const Point& p) const {
  const std::int64_t x = axis_cell(p[0]) - first_[0];
  const std::int64_t y = axis_cell(p[1]) - first_[1];
  const std::int64_t z = axis_cell(p[2]) - first_[2];
  return x + count_[0] * (y + count_[1] * z);
}

std::vector<std::int32_t> CellGrid::cell_order(std::span<const Point> points, float side, int threads) {
  return CellGrid(points, side, threads, OrderOnly{}).order_;
}

bool CellGrid::before(const Point& a, std::int32_t row_a, const Point& b, std::int32_t row_b) const {
  const std::int64_t cell_a = cell_number(a);
  const std::int64_t cell_b = cell_number(b);
  return cell_a < cell_b || (cell_a == cell_b && row_a < row_b);
}

// A point the region holds lies, along each axis of the region's frame, within the box's
// half-extent of the centre, up to the rounding of its local coordinates (a few units in the
// last place of its distance): the relative margin covers it.
constexpr double region_margin = 1.0001;

bool CellGrid::bounding_box(const EstimateRegion& region, double lo[3], double hi[3]) {
  const Matrix3& a = region.frame.axes;
  const double half[3] = {region.half_width, region.half_width, region.half_thickness};
  for (std::size_t c = 0; c < 3; ++c) {
    double extent = 0.0;
    for (std::size_t k = 0; k < 3; ++k) extent += half[k] * std::fabs(static_cast<double>(a[c + 3 * k]));
    lo[c] = region.centre[c] - extent * region_margin;
    hi[c] = region.centre[c] + extent * region_margin;
  }
  return std::isfinite(lo[0] + lo[1] + lo[2] + hi[0] + hi[1] + hi[2]);
}

CellGrid::RowClip::RowClip(const EstimateRegion& region, const CellGrid& grid, const double lo[3], const double hi[3])
    : side_(grid.side_) {
  // A cell can meet the region only if, along each axis of the frame, its projection meets
  // the box's: |a . (cell centre - centre)| <= half + the cell's half-extent along a. Along a
  // row, a . (cell centre - centre) is linear in x, so each axis keeps an interval of cells.
  const Matrix3& a = region.frame.axes;
  const double half[3] = {region.half_width, region.half_width, region.half_thickness};
  for (std::size_t c = 0; c < 3; ++c) first_[c] = (static_cast<double>(grid.first_[c]) + 0.5) * side_ - region.centre[c];
  for (std::size_t k = 0; k < 3; ++k) {
    axes_[k] = {a[3 * k], a[3 * k + 1], a[3 * k + 2]};
    const double spread = (std::fabs(static_cast<double>(a[3 * k])) + std::fabs(static_cast<double>(a[3 * k + 1]))) +
                          std::fabs(static_cast<double>(a[3 * k + 2]));
    reach_[k] = (half[k] + 0.5 * side_ * spread) * region_margin;
    inverse_[k] = a[3 * k] == 0.0f ? 0.0 : 1.0 / (static_cast<double>(a[3 * k]) * side_);
  }
  x_offset_ = first_[0] / side_;
  rows_ = {grid.axis_cell(lo[1]) - grid.first_[1], grid.axis_cell(hi[1]) - grid.first_[1],
           grid.axis_cell(lo[2]) - grid.first_[2], grid.axis_cell(hi[2]) - grid.first_[2]};
}

bool CellGrid::RowClip::operator()(std::int64_t y, std::int64_t z, std::int64_t& x_first, std::int64_t& x_last) const {
  // No point of the region lies in a row of cells its bounding box misses.
  if (y < rows_[0] || y > rows_[1] || z < rows_[2] || z > rows_[3]) return false;
  const double cell_y = first_[1] + static_cast<double>(y) * side_;
  const double cell_z = first_[2] + static_cast<double>(z) * side_;
  double from = static_cast<double>(x_first);
  double to = static_cast<double>(x_last);
  for (std::size_t k = 0; k < 3; ++k) {
    const double offset = axes_[k][1] * cell_y + axes_[k][2] * cell_z;
    if (inverse_[k] == 0.0) {
      if (!(std::fabs(offset) <= reach_[k])) return false;
      continue;
    }
    // The cells x whose centre first_[0] + x side keeps a_x (that) + offset within +-reach
    // (the reach's margin covers the rounding; a NaN bound leaves the interval as it is).
    double lo = (-reach_[k] - offset) * inverse_[k] - x_offset_;
    double hi = (reach_[k] - offset) * inverse_[k] - x_offset_;
    if (inverse_[k] < 0.0) std::swap(lo, hi);
    from = std::max(from, lo);
    to = std::min(to, hi);
  }
  // Both now lie within the row's given cells, so they convert exactly; rounded up and down.
  if (!(from <= to)) return false;
  std::int64_t first = static_cast<std::int64_t>(from);
  std::int64_t last = static_cast<std::int64_t>(to);
  first += static_cast<std::int64_t>(static_cast<double>(first) < from);
  last -= static_cast<std::int64_t>(static_cast<double>(last) > to);
  if (first > last) return false;
  x_first = first;
  x_last = last;
  return true;
}

template <class Found>
void CellGrid::walk_regions(std::span<const EstimateRegion> regions, Found found) const {
  // The hull of the regions' boxes, and of their clips row by row.
  thread_local std::vector<RowClip> clips;
  thread_local std::vector<std::size_t> clipped;  // the region of each clip
  thread_local std::vector<std::array<std::int64_t, 2>> row_clips;
  clips.clear();
  clipped.clear();
  double lo[3] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                  std::numeric_limits<double>::infinity()};
  double hi[3] = {-lo[0], -lo[1], -lo[2]};
  for (std::size_t r = 0; r < regions.size(); ++r) {
    double region_lo[3];
    double region_hi[3];
    if (!bounding_box(regions[r], region_lo, region_hi)) continue;
    for (std::size_t c = 0; c < 3; ++c) {
      lo[c] = std::min(lo[c], region_lo[c]);
      hi[c] = std::max(hi[c], region_hi[c]);
    }
    clips.emplace_back(regions[r], *this, region_lo, region_hi);
    clipped.push_back(r);
  }
  if (clips.empty()) return;
  row_clips.assign(regions.size(), {1, 0});
  struct HullClip {
    std::int64_t& row_y;
    std::int64_t& row_z;
    bool operator()(std::int64_t y, std::int64_t z, std::int64_t& x_first, std::int64_t& x_last) const {
      std::int64_t from = x_last + 1;
      std::int64_t to = x_first - 1;
      for (std::size_t c = 0; c < clips.size(); ++c) {
        std::int64_t a = x_first;
        std::int64_t b = x_last;
        std::array<std::int64_t, 2>& own = row_clips[clipped[c]];
        if (!clips[c](y, z, a, b)) {
          own = {1, 0};
          continue;
        }
        own = {a, b};
        from = std::min(from, a);
        to = std::max(to, b);
      }
      if (from > to) return false;
      row_y = y;
      row_z = z;
      x_first = from;
      x_last = to;
      return true;
    }
  };
  std::int64_t row_y = 0;
  std::int64_t row_z = 0;
  std::vector<std::int32_t> unused;
  scan(lo, hi, HullClip{row_y, row_z},
       [&](std::size_t from, std::size_t to, std::vector<std::int32_t>&) { found(row_y, row_z, from, to, row_clips); },
       unused);
}

void CellGrid::runs_meeting(std::span<const EstimateRegion> regions, Runs& runs) const {
  runs.clear();
  walk_regions(regions, [&](std::int64_t, std::int64_t, std::size_t from, std::size_t to, const auto&) {
    runs.push_back({from, to});
  });
}

void CellGrid::runs_meeting(std::span<const EstimateRegion> regions, std::vector<Runs>& runs_of) const {
  runs_of.resize(regions.size());
  for (Runs& runs : runs_of) runs.clear();
  walk_regions(regions, [&](std::int64_t y, std::int64_t z, std::size_t from, std::size_t to,
                            const std::vector<std::array<std::int64_t, 2>>& row_clips) {
    // The row's cells x lie at cell numbers row + x; a region's clip lies within the hull's.
    const std::int64_t row = count_[0] * (y + count_[1] * z);
    for (std::size_t r = 0; r < row_clips.size(); ++r) {
      const auto [x_first, x_last] = row_clips[r];
      if (x_first > x_last) continue;
      const std::size_t begin = cell_start(row + x_first, from, to);
      const std::size_t end = cell_start(row + x_last + 1, begin, to);
      if (begin < end) runs_of[r].push_back({begin, end});
    }
  });
}

namespace {

// The quadrant's index (quadrant - 1, counter-clockwise from (+u, +v)) from the signs of a
// point's local coordinates: bit 0 u > 0, bit 1 v > 0.
constexpr int quadrant_of_signs[4] = {2, 3, 1, 0};

// The box of a point the region holds, from its local coordinates.
std::uint8_t estimate_box(const EstimateRegion& region, const Point& local) {
  const float u = std::fabs(local[0]);
  const float v = std::fabs(local[1]);
  const float along = u > v ? u : v;
  const float across = std::fabs(local[2]);
  int scale = 0;
  for (std::size_t m = 0; m < 5; ++m) {
    scale += static_cast<int>(!(along < region.box_half_width[m]) || !(across < region.box_thickness[m]));
  }
  const int signs = static_cast<int>(local[0] > 0.0f) | (static_cast<int>(local[1] > 0.0f) << 1);
  return static_cast<std::uint8_t>(5 * quadrant_of_signs[signs] + scale);
}

// Whether the grid point at cell-order position k passes the radius test (if any).
bool passes(const CellGrid::RadiusTest* radius, std::size_t k) {
  if (radius == nullptr) return true;
  const double dx = static_cast<double>(radius->positions[0][k]) - radius->query[0];
  const double dy = static_cast<double>(radius->positions[1][k]) - radius->query[1];
  const double dz = static_cast<double>(radius->positions[2][k]) - radius->query[2];
  return (dx * dx + dy * dy) + dz * dz <= radius->squared_radius;
}

// Moves the `take` smallest of `candidates` to its front, in ascending order: each in turn
// is inserted into the sorted front, once it is smaller than the largest kept there.
void keep_smallest(std::vector<CellGrid::NearestScratch::Candidate, UninitialisedAllocator<CellGrid::NearestScratch::Candidate>>& candidates,
                   std::size_t take) {
  if (take == 0) return;
  auto* const front = candidates.data();
  std::size_t kept = 0;
  for (std::size_t e = 0; e < candidates.size(); ++e) {
    const CellGrid::NearestScratch::Candidate c = front[e];
    if (kept == take) {
      if (!(c < front[take - 1])) continue;
      --kept;  // the largest makes way
    }
    std::size_t at = kept;
    while (at > 0 && c < front[at - 1]) {
      front[at] = front[at - 1];
      --at;
    }
    front[at] = c;
    ++kept;
  }
}

}  // namespace

void CellGrid::held(const EstimateRegion& region, std::size_t from, std::size_t to, const RadiusTest* radius,
                    std::vector<std::int32_t>& found, LocalCoordinates& locals, EstimateBoxes& boxes) const {
  // Every candidate is written, and kept by advancing the end: room for all of them, and one
  // more for the packed store's fourth lane.
  const std::size_t start = found.size();
  const std::size_t room = start + (to - from) + 1;
  const bool tell_boxes = region.box_half_width.back() > 0.0f && boxes.size() == start;
  if (found.capacity() < room) found.reserve(std::max(room, 2 * found.capacity()));
  if (locals.capacity() < room) locals.reserve(std::max(room, 2 * locals.capacity()));
  found.resize(room);
  locals.resize(room);
  if (tell_boxes) {
    if (boxes.capacity() < room) boxes.reserve(std::max(room, 2 * boxes.capacity()));
    boxes.resize(room);
  }
  std::int32_t* rows_out = found.data();
  float* locals_out = locals.data()->data();
  std::uint8_t* boxes_out = tell_boxes ? boxes.data() : nullptr;
  std::size_t kept = start;
  const float* xs = coordinates_[0].data();
  const float* ys = coordinates_[1].data();
  const float* zs = coordinates_[2].data();
  std::size_t k = from;
#if defined(__SSE2__)
  // Four points at a time, in the operations and order of EstimateRegion::holds: packed
  // single-precision arithmetic rounds each lane as the scalar operation does. max(a, b)
  // here is a > b ? a : b, as in holds.
  const Matrix3& a = region.frame.axes;
  const __m128 cx = _mm_set1_ps(region.centre[0]);
  const __m128 cy = _mm_set1_ps(region.centre[1]);
  const __m128 cz = _mm_set1_ps(region.centre[2]);
  __m128 axis[9];
  for (std::size_t e = 0; e < 9; ++e) axis[e] = _mm_set1_ps(a[e]);
  const __m128 sign = _mm_set1_ps(-0.0f);
  const __m128 zero = _mm_setzero_ps();
  const __m128 half_width = _mm_set1_ps(region.half_width);
  const __m128 half_thickness = _mm_set1_ps(region.half_thickness);
  __m128 box_half_width[5];
  __m128 box_thickness[5];
  for (std::size_t m = 0; m < 5; ++m) {
    box_half_width[m] = _mm_set1_ps(region.box_half_width[m]);
    box_thickness[m] = _mm_set1_ps(region.box_thickness[m]);
  }
  const __m128d query_x = _mm_set1_pd(radius != nullptr ? radius->query[0] : 0.0f);
  const __m128d query_y = _mm_set1_pd(radius != nullptr ? radius->query[1] : 0.0f);
  const __m128d query_z = _mm_set1_pd(radius != nullptr ? radius->query[2] : 0.0f);
  const __m128d squared_radius = _mm_set1_pd(radius != nullptr ? radius->squared_radius : 0.0);
  for (; k + 4 <= to; k += 4) {
    const __m128 dx = _mm_sub_ps(_mm_loadu_ps(xs + k), cx);
    const __m128 dy = _mm_sub_ps(_mm_loadu_ps(ys + k), cy);
    const __m128 dz = _mm_sub_ps(_mm_loadu_ps(zs + k), cz);
    __m128 u = _mm_add_ps(_mm_add_ps(_mm_mul_ps(dx, axis[0]), _mm_mul_ps(dy, axis[1])), _mm_mul_ps(dz, axis[2]));
    __m128 v = _mm_add_ps(_mm_add_ps(_mm_mul_ps(dx, axis[3]), _mm_mul_ps(dy, axis[4])), _mm_mul_ps(dz, axis[5]));
    __m128 w = _mm_add_ps(_mm_add_ps(_mm_mul_ps(dx, axis[6]), _mm_mul_ps(dy, axis[7])), _mm_mul_ps(dz, axis[8]));
    const __m128 along = _mm_max_ps(_mm_andnot_ps(sign, u), _mm_andnot_ps(sign, v));
    const __m128 across = _mm_andnot_ps(sign, w);
    const __m128 off_axis = _mm_and_ps(_mm_cmpneq_ps(u, zero), _mm_cmpneq_ps(v, zero));
    const __m128 inside = _mm_and_ps(_mm_cmplt_ps(along, half_width), _mm_cmplt_ps(across, half_thickness));
    auto mask = static_cast<unsigned>(_mm_movemask_ps(_mm_and_ps(off_axis, inside)));
    if (mask == 0) continue;
    if (radius != nullptr) {
      // Two at a time in double, as passes() does each.
      unsigned within = 0;
      for (unsigned half = 0; half < 4; half += 2) {
        const auto two = [&](std::size_t c) {
          return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(radius->positions[c].data() + k + half))));
        };
        const __m128d rx = _mm_sub_pd(two(0), query_x);
        const __m128d ry = _mm_sub_pd(two(1), query_y);
        const __m128d rz = _mm_sub_pd(two(2), query_z);
        const __m128d squared = _mm_add_pd(_mm_add_pd(_mm_mul_pd(rx, rx), _mm_mul_pd(ry, ry)), _mm_mul_pd(rz, rz));
        within |= static_cast<unsigned>(_mm_movemask_pd(_mm_cmple_pd(squared, squared_radius))) << half;
      }
      mask &= within;
    }
    if (tell_boxes) {
      // The smallest box as QuadrantBoxes::smallest_box counts it: the boxes not holding
      // the point (they are nested), and the quadrant from the signs of u and v.
      __m128i holding = _mm_setzero_si128();  // minus the boxes holding each point
      for (std::size_t m = 0; m < 5; ++m) {
        const __m128 in_box = _mm_and_ps(_mm_cmplt_ps(along, box_half_width[m]), _mm_cmplt_ps(across, box_thickness[m]));
        holding = _mm_add_epi32(holding, _mm_castps_si128(in_box));
      }
      const auto positive_u = static_cast<unsigned>(_mm_movemask_ps(_mm_cmpgt_ps(u, zero)));
      const auto positive_v = static_cast<unsigned>(_mm_movemask_ps(_mm_cmpgt_ps(v, zero)));
      alignas(16) std::int32_t boxes_holding[4];
      _mm_store_si128(reinterpret_cast<__m128i*>(boxes_holding), holding);
      std::size_t at = kept;
      for (unsigned lane = 0; lane < 4; ++lane) {
        const unsigned signs = ((positive_u >> lane) & 1u) | (((positive_v >> lane) & 1u) << 1);
        boxes_out[at] = static_cast<std::uint8_t>(5 * quadrant_of_signs[signs] + 5 + boxes_holding[lane]);
        at += (mask >> lane) & 1u;
      }
    }
    // (u, v, w, 0) of each lane, stored whole at the end of the kept ones.
    __m128 unused = zero;
    _MM_TRANSPOSE4_PS(u, v, w, unused);
    const __m128 lanes[4] = {u, v, w, unused};
    for (unsigned lane = 0; lane < 4; ++lane) {
      _mm_storeu_ps(locals_out + 3 * kept, lanes[lane]);
      rows_out[kept] = order_[k + lane];
      kept += (mask >> lane) & 1u;
    }
  }
#endif
  for (; k < to; ++k) {
    const Point local = region.local({xs[k], ys[k], zs[k]});
    if (!region.holds_local(local) || !passes(radius, k)) continue;
    locals[kept] = local;
    found[kept] = order_[k];
    if (tell_boxes) boxes_out[kept] = estimate_box(region, local);
    ++kept;
  }
  found.resize(kept);
  locals.resize(kept);
  if (tell_boxes) boxes.resize(kept);
}

void CellGrid::nearest(const Point& query, std::size_t k, NearestScratch& scratch, std::vector<std::int32_t>& rows) const {
  if (order_.empty() || k == 0) return;
  const double q[3] = {query[0], query[1], query[2]};
  const float* xs = coordinates_[0].data();
  const float* ys = coordinates_[1].data();
  const float* zs = coordinates_[2].data();
  std::vector<std::int32_t> unused;
  // The points within `reach` of the query, from the cells that meet the cube round it: once
  // there are k of them, they hold the k nearest (a point left out lies further than
  // reach, and rounding cannot bring its distance below reach^2 (1 - 1e-12)). Otherwise the
  // reach grows.
  // Neighbouring queries find their k-th point about as far: a reach a little beyond the
  // last one's mostly holds the k nearest at the first try.
  double reach = scratch.reach > 0.0 ? scratch.reach * 1.05 : first_nearest_reach * side_;
  // Beyond this reach every point is within it.
  double squared_far = 0.0;
  for (std::size_t c = 0; c < 3; ++c) {
    const double d = std::max(std::fabs(q[c] - low_[c]), std::fabs(high_[c] - q[c]));
    squared_far += d * d;
  }
  const double farthest = std::sqrt(squared_far) * 1.001;
  for (;;) {
    auto& candidates = scratch.candidates;
    candidates.clear();
    const double limit = reach * reach * (1.0 - 1e-12);
    const double lo[3] = {q[0] - reach, q[1] - reach, q[2] - reach};
    const double hi[3] = {q[0] + reach, q[1] + reach, q[2] + reach};
    scan(lo, hi, whole_row, [&](std::size_t from, std::size_t to, std::vector<std::int32_t>&) {
      // Every candidate is written, and kept by advancing the end.
      std::size_t kept = candidates.size();
      candidates.resize(kept + (to - from));
      NearestScratch::Candidate* out = candidates.data();
      std::size_t e = from;
#if defined(__SSE2__)
      // Two points at a time in double: packed operations round each lane as the scalar
      // ones below do.
      const __m128d qx = _mm_set1_pd(q[0]);
      const __m128d qy = _mm_set1_pd(q[1]);
      const __m128d qz = _mm_set1_pd(q[2]);
      const __m128d below = _mm_set1_pd(limit);
      const auto two = [](const float* at) {
        return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at))));
      };
      for (; e + 2 <= to; e += 2) {
        const __m128d dx = _mm_sub_pd(qx, two(xs + e));
        const __m128d dy = _mm_sub_pd(qy, two(ys + e));
        const __m128d dz = _mm_sub_pd(qz, two(zs + e));
        const __m128d squared = _mm_add_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)), _mm_mul_pd(dz, dz));
        const auto mask = static_cast<unsigned>(_mm_movemask_pd(_mm_cmplt_pd(squared, below)));
        _mm_storel_pd(&out[kept].squared, squared);
        out[kept].row = order_[e];
        kept += mask & 1u;
        _mm_storeh_pd(&out[kept].squared, squared);
        out[kept].row = order_[e + 1];
        kept += mask >> 1;
      }
#endif
      for (; e < to; ++e) {
        const double dx = q[0] - static_cast<double>(xs[e]);
        const double dy = q[1] - static_cast<double>(ys[e]);
        const double dz = q[2] - static_cast<double>(zs[e]);
        const double squared = (dx * dx + dy * dy) + dz * dz;
        out[kept] = {squared, order_[e]};
        kept += static_cast<std::size_t>(squared < limit);
      }
      candidates.resize(kept);
    }, unused);
    const bool everything = reach > farthest;
    if (candidates.size() >= k || everything) {
      const std::size_t take = std::min(k, candidates.size());
      const auto cut = candidates.begin() + static_cast<std::ptrdiff_t>(take);
      if (candidates.size() <= 2 * k) {
        // Usually only a few more than k: the first k of them in order, by insertion, whose
        // comparisons mostly go one way (the pairs are unique, so the order is the same).
        keep_smallest(candidates, take);
      } else {
        std::nth_element(candidates.begin(), cut - 1, candidates.end());
        std::sort(candidates.begin(), cut);
      }
      for (auto it = candidates.begin(); it != cut; ++it) rows.push_back(it->row);
      // An isolated point's reach carries over at most doubled, so that the next search,
      // most likely among ordinary points, does not start from it.
      if (take > 0) {
        const double found = std::sqrt((cut - 1)->squared);
        scratch.reach = scratch.reach > 0.0 ? std::min(found, 2.0 * scratch.reach) : found;
      }
      return;
    }
    reach *= 1.5;
  }
}

void CellGrid::within(std::span<const Point> points, const Point& query, float reach,
                      std::vector<std::int32_t>& found) const {
  const double r = reach;
  if (!(r >= 0.0)) return;
  const double limit = r * r;
  const double q[3] = {query[0], query[1], query[2]};
  const double lo[3] = {q[0] - r, q[1] - r, q[2] - r};
  const double hi[3] = {q[0] + r, q[1] + r, q[2] + r};
  scan(lo, hi, whole_row, [&](std::size_t from, std::size_t to, std::vector<std::int32_t>& rows) {
    // Written without a branch: every candidate is stored, and kept by advancing the end.
    std::size_t kept = rows.size();
    rows.resize(kept + (to - from));
    for (std::size_t k = from; k < to; ++k) {
      const std::int32_t row = order_[k];
      const Point& p = points[static_cast<std::size_t>(row)];
      const double dx = static_cast<double>(p[0]) - q[0];
      const double dy = static_cast<double>(p[1]) - q[1];
      const double dz = static_cast<double>(p[2]) - q[2];
      rows[kept] = row;
      kept += static_cast<std::size_t>((dx * dx + dy * dy) + dz * dz <= limit);
    }
    rows.resize(kept);
  }, found);
}

}  // namespace vandrel
