#pragma once
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "core/local_frame.h"
#include "vandrel/point.h"

namespace vandrel {

/// An allocator whose containers leave new elements of trivial types uninitialised when they
/// grow, for lists that are grown and then written (resize would otherwise clear them first).
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <class U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
  template <class U, class... Args>
  void construct(U* at, Args&&... args) {
    if constexpr (sizeof...(Args) == 0) {
      ::new (static_cast<void*>(at)) U;
    } else {
      ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
  }
};

/// Local coordinates of listed points.
using LocalCoordinates = std::vector<Point, UninitialisedAllocator<Point>>;
/// The estimate box of listed points: 5 (quadrant - 1) + scale of the smallest box holding it.
using EstimateBoxes = std::vector<std::uint8_t, UninitialisedAllocator<std::uint8_t>>;

/// Neighbour lists of consecutive points, packed: list k holds rows[offsets[k] ..
/// offsets[k + 1]). Rows are 0-based rows of the block. A narrowed search may also give
/// each listed point's local coordinates in its list's region (EstimateRegion::local), so
/// that the estimates need not compute them again: then locals[e] belongs to rows[e]; and,
/// where the region tells the estimate boxes, the box each listed point is in (boxes[e]).
struct NeighbourLists {
  std::vector<std::int64_t> offsets{0};
  std::vector<std::int32_t> rows;
  LocalCoordinates locals;  // empty, or one per row
  EstimateBoxes boxes;      // empty, or one per row

  std::int64_t size() const { return static_cast<std::int64_t>(offsets.size()) - 1; }
  std::span<const std::int32_t> operator[](std::int64_t k) const {
    const auto begin = static_cast<std::size_t>(offsets[static_cast<std::size_t>(k)]);
    const auto end = static_cast<std::size_t>(offsets[static_cast<std::size_t>(k) + 1]);
    return {rows.data() + begin, end - begin};
  }
  /// The local coordinates of list k's rows, or an empty span when the search gave none.
  std::span<const Point> locals_of(std::int64_t k) const {
    if (locals.empty()) return {};
    const auto begin = static_cast<std::size_t>(offsets[static_cast<std::size_t>(k)]);
    const auto end = static_cast<std::size_t>(offsets[static_cast<std::size_t>(k) + 1]);
    return {locals.data() + begin, end - begin};
  }
  /// The estimate boxes of list k's rows, or an empty span when the search gave none.
  std::span<const std::uint8_t> boxes_of(std::int64_t k) const {
    if (boxes.empty()) return {};
    const auto begin = static_cast<std::size_t>(offsets[static_cast<std::size_t>(k)]);
    const auto end = static_cast<std::size_t>(offsets[static_cast<std::size_t>(k) + 1]);
    return {boxes.data() + begin, end - begin};
  }
  void clear() {
    offsets.assign(1, 0);
    rows.clear();
    locals.clear();
    boxes.clear();
  }
  /// Appends a list without local coordinates (the lists then have none).
  void append(std::span<const std::int32_t> list) {
    locals.clear();
    boxes.clear();
    rows.insert(rows.end(), list.begin(), list.end());
    offsets.push_back(static_cast<std::int64_t>(rows.size()));
  }
  /// Appends every list of `other`, with their local coordinates when every list has them.
  void append(const NeighbourLists& other) {
    if (other.locals.size() == other.rows.size() && locals.size() == rows.size()) {
      locals.insert(locals.end(), other.locals.begin(), other.locals.end());
    } else {
      locals.clear();
    }
    if (other.boxes.size() == other.rows.size() && boxes.size() == rows.size()) {
      boxes.insert(boxes.end(), other.boxes.begin(), other.boxes.end());
    } else {
      boxes.clear();
    }
    const auto base = static_cast<std::int64_t>(rows.size());
    rows.insert(rows.end(), other.rows.begin(), other.rows.end());
    for (std::size_t k = 1; k < other.offsets.size(); ++k) offsets.push_back(base + other.offsets[k]);
  }
};

/// The part of a block around one point that its estimates can use: the points whose local
/// coordinates (u, v, w) about `centre` in `frame` lie off the u and v axes, with
/// max(|u|, |v|) < half_width and |w| < half_thickness. These are the points of the point's
/// largest quadrant boxes, tested in the same single-precision arithmetic as the estimates
/// sort their neighbours into boxes with, so that a search narrowed to the region lists
/// exactly the points the estimates use.
struct EstimateRegion {
  Point centre;
  Frame frame;
  float half_width;
  float half_thickness;
  /// The point's estimate boxes by scale (QuadrantBoxes::half_width and thickness), nested,
  /// the largest those of the region; all 0 when not known. With them a search also tells
  /// each listed point's box.
  std::array<float, 5> box_half_width{};
  std::array<float, 5> box_thickness{};

  Point local(const Point& p) const { return to_local(frame, {p[0] - centre[0], p[1] - centre[1], p[2] - centre[2]}); }

  bool holds(const Point& p) const { return holds_local(local(p)); }

  /// A distance from the centre that no point the region holds exceeds (the corner of its
  /// box, widened for the rounding of local coordinates).
  double reach() const {
    const double w = half_width;
    const double t = half_thickness;
    return std::sqrt(2.0 * w * w + t * t) * 1.0001;
  }

  bool holds_local(const Point& local) const {
    const float u = std::fabs(local[0]);
    const float v = std::fabs(local[1]);
    const float along = u > v ? u : v;
    const bool on_axis = !(local[0] != 0.0f) || !(local[1] != 0.0f);
    return !on_axis && along < half_width && std::fabs(local[2]) < half_thickness;
  }
};

/// The side of the cells a block is ordered and searched by, in scaled units (points about
/// 1 apart): about a third of the in-plane radius of the estimate regions, which measured
/// fastest (fewer candidates than coarser cells, fewer runs than finer ones).
inline constexpr float block_cell_side = 6.0f;

/// A grid of cubic cells of a fixed side on a lattice anchored at the origin, for the
/// order the filter keeps a block in and for searches in that order.
///
/// A point's cell is (floor(x / side), floor(y / side), floor(z / side)); cells are ordered
/// by z, then y, then x, and points of one cell by row. The filter keeps a block's points
/// in this order, so that points near in space are near in memory, searches list rows in
/// ascending order without sorting them, and any part of a cloud keeps its points in the
/// same relative order as the whole.
class CellGrid {
 public:
  /// The largest cell index along an axis: the grid's cells (side doubled as needed) lie
  /// within +-max_cell of the origin, so that cell numbers never overflow.
  static constexpr double max_cell = 0x1p52;

  /// The grid over `points` (all finite) with cells of the given side (> 0; doubled until
  /// the cloud spans at most 2^20 cells along each axis and lies within max_cell cells of
  /// the origin), sorted on `threads` threads (the same grid on any number).
  CellGrid(std::span<const Point> points, float side, int threads = 1);

  /// The rows of the grid's points in cell order.
  const std::vector<std::int32_t>& order() const { return order_; }

  /// The permutation that sorts `points` by cell, stably: order[k] is the input row of the
  /// k-th point.
  static std::vector<std::int32_t> cell_order(std::span<const Point> points, float side, int threads = 1);

  /// Whether cell order puts point a before point b (their rows break ties).
  bool before(const Point& a, std::int32_t row_a, const Point& b, std::int32_t row_b) const;

  /// Appends to `rows`, in cell order, every point of `points` (the grid's points) within
  /// `reach` of `query` (squared distance ((dx*dx + dy*dy) + dz*dz) in double <= reach^2).
  /// Thread-safe.
  void within(std::span<const Point> points, const Point& query, float reach, std::vector<std::int32_t>& rows) const;

  /// A (squared distance, row) pair of a nearest-neighbour search.
  using Neighbour = std::pair<double, std::int32_t>;
  /// Working memory of nearest-neighbour searches, one per thread.
  struct NearestScratch {
    struct Candidate {
      double squared;
      std::int32_t row;
      bool operator<(const Candidate& other) const {
        return squared < other.squared || (squared == other.squared && row < other.row);
      }
    };
    std::vector<Candidate, UninitialisedAllocator<Candidate>> candidates;
    double reach = 0.0;  // about where the last searches found their k-th point: the next one starts there
  };

  /// Appends to `rows` the `k` grid points nearest to `query`, nearest first: the k smallest
  /// (squared distance ((dx*dx + dy*dy) + dz*dz) in double, row) pairs; every point when
  /// the grid has fewer. Thread-safe with a `scratch` per thread.
  void nearest(const Point& query, std::size_t k, NearestScratch& scratch, std::vector<std::int32_t>& rows) const;

  /// Runs [from, to) of the cell order, ascending and disjoint.
  using Runs = std::vector<std::array<std::size_t, 2>>;

  /// Sets `runs` to hold every grid point that any of `regions` can hold: the cells that can
  /// meet one of them. Nearby regions (those of consecutive points) share one walk over the
  /// cells. Thread-safe.
  void runs_meeting(std::span<const EstimateRegion> regions, Runs& runs) const;
  /// Sets runs_of[r] to hold every grid point that regions[r] can hold: the cells of its own
  /// clip of each row of cells, found in one walk for all the regions (fewer points than the
  /// runs of the group above, in the same order). Thread-safe.
  void runs_meeting(std::span<const EstimateRegion> regions, std::vector<Runs>& runs_of) const;

  /// A test some searches add to a region's: the point's other position (where it was
  /// searched from; x, y and z in the grid's cell order, as from in_cell_order) lies within
  /// the radius of `query`, as squared distance ((dx*dx + dy*dy) + dz*dz) in double <=
  /// squared_radius.
  struct RadiusTest {
    const std::array<std::vector<float>, 3>& positions;
    Point query;
    double squared_radius;
  };
  /// The coordinates of `positions` (one per grid point, by row) in the grid's cell order.
  std::array<std::vector<float>, 3> in_cell_order(std::span<const Point> positions) const;
  /// The grid's points' x, y and z in cell order.
  const std::array<std::vector<float>, 3>& coordinates() const { return coordinates_; }
  /// A number no other grid of this process has had.
  std::uint64_t serial() const { return serial_; }

  /// Appends to `rows`, in cell order, every point of `runs` (from runs_meeting, for a group
  /// of regions with this one among them) that `region` holds and, when given, `radius`
  /// accepts, and its local coordinates in the region to `locals`. The points are tested four
  /// at a time where the machine allows (same arithmetic, same answers). Thread-safe.
  /// When the region tells its boxes and `boxes` is as long as `rows` on entry, also appends
  /// each point's box to `boxes`; else leaves `boxes` alone.
  void within(const EstimateRegion& region, const Runs& runs, const RadiusTest* radius, std::vector<std::int32_t>& rows,
              LocalCoordinates& locals, EstimateBoxes& boxes) const {
    for (const auto& run : runs) held(region, run[0], run[1], radius, rows, locals, boxes);
  }

 private:
  struct OrderOnly {};
  CellGrid(std::span<const Point> points, float side, int threads, OrderOnly);

  std::uint64_t serial_;
  double side_ = 1.0;
  std::array<std::int64_t, 3> first_{};  // the smallest cell index along each axis
  std::array<std::int64_t, 3> count_{};  // cells along each axis
  std::array<double, 3> low_{};          // the points' bounding box
  std::array<double, 3> high_{};
  std::vector<std::int32_t> order_;         // rows in cell order
  std::vector<std::int64_t> sorted_cells_;  // their cell numbers, ascending (empty with cell_starts_)
  // Where the grid has few cells for its points: for every cell number c, the first position
  // of the order whose cell is c or later (one more entry for the end), so that a row of
  // cells is found by two look-ups instead of a search; else empty.
  std::vector<std::int32_t> cell_starts_;
  std::array<std::vector<float>, 3> coordinates_;  // x, y and z of the points, in cell order

  // A coordinate's cell along an axis; beyond +-max_cell cells (and for NaN, which no grid
  // point has) one past the grid's reach, which every use treats as the true cell.
  std::int64_t axis_cell(double coordinate) const {
    const double cell = std::floor(coordinate / side_);
    if (cell >= -max_cell && cell <= max_cell) return static_cast<std::int64_t>(cell);
    return cell > max_cell ? static_cast<std::int64_t>(max_cell) + 1 : -static_cast<std::int64_t>(max_cell) - 1;
  }
  std::int64_t cell_number(const Point& p) const;
  static bool bounding_box(const EstimateRegion& region, double lo[3], double hi[3]);
  // The first position of [from, to) (positions of one row of cells) whose cell is `cell` or
  // later.
  std::size_t cell_start(std::int64_t cell, std::size_t from, std::size_t to) const {
    if (!cell_starts_.empty()) return static_cast<std::size_t>(cell_starts_[static_cast<std::size_t>(cell)]);
    return static_cast<std::size_t>(std::lower_bound(sorted_cells_.begin() + static_cast<std::ptrdiff_t>(from),
                                                     sorted_cells_.begin() + static_cast<std::ptrdiff_t>(to), cell) -
                                    sorted_cells_.begin());
  }
  // Walks the rows of cells that can meet one of `regions`, calling found(y, z, from, to,
  // clips) for each run [from, to) of the order the regions' hull keeps, with each region's
  // own clip of that row (clips[r]: x from, to; from > to where the region misses the row).
  template <class Found>
  void walk_regions(std::span<const EstimateRegion> regions, Found found) const;
  // Narrows a row of cells (y, z) to the cells [x_first, x_last] that can meet a region
  // (whose bounding box, from bounding_box, is [lo, hi]); false when none can.
  class RowClip {
   public:
    RowClip(const EstimateRegion& region, const CellGrid& grid, const double lo[3], const double hi[3]);
    bool operator()(std::int64_t y, std::int64_t z, std::int64_t& x_first, std::int64_t& x_last) const;

   private:
    double side_;
    std::array<double, 3> first_;    // the grid's first cell centre along each axis, less the region's centre
    std::array<Point, 3> axes_;      // the frame's axes
    std::array<double, 3> reach_;    // along each axis: the box's half-extent plus a cell's
    std::array<double, 3> inverse_;  // 1 / (the axis's x component x the side) (0 when that is 0)
    std::array<std::int64_t, 4> rows_;  // the rows of cells the bounding box meets: y from, to; z from, to
    double x_offset_;                   // first_[0] in sides
  };
  // Appends the rows of the points at cell-order positions [from, to) that the region
  // holds (and `radius`, when given, accepts), and their local coordinates (`found` and
  // `locals` are as long on entry).
  void held(const EstimateRegion& region, std::size_t from, std::size_t to, const RadiusTest* radius,
            std::vector<std::int32_t>& found, LocalCoordinates& locals, EstimateBoxes& boxes) const;

  // The first cell from `at` on that is >= `cell` (> `cell` when `past`), found by doubling
  // steps from `at`: the walk's targets lie near where it stands.
  using CellIterator = std::vector<std::int64_t>::const_iterator;
  static CellIterator gallop(CellIterator at, CellIterator end, std::int64_t cell, bool past) {
    const auto before = [&](std::int64_t c) { return past ? c <= cell : c < cell; };
    std::ptrdiff_t step = 1;
    CellIterator low = at;
    while (end - low > step && before(low[step])) {
      low += step;
      step *= 2;
    }
    const CellIterator high = end - low > step ? low + step + 1 : end;
    return past ? std::upper_bound(low, high, cell) : std::lower_bound(low, high, cell);
  }

  // Calls test(from, to, found) for the runs [from, to) of the order that hold the points of
  // the cells meeting [lo, hi] which clip(y, z, x_first, x_last) keeps, in cell order (it
  // narrows the row of cells (y, z) to the cells [x_first, x_last]; false: none).
  static bool whole_row(std::int64_t, std::int64_t, std::int64_t&, std::int64_t&) { return true; }
  template <class Clip, class Test>
  void scan(const double lo[3], const double hi[3], Clip clip, Test test, std::vector<std::int32_t>& found) const {
    if (order_.empty()) return;
    std::int64_t first[3];
    std::int64_t last[3];
    for (std::size_t c = 0; c < 3; ++c) {
      first[c] = std::max(axis_cell(lo[c]) - first_[c], std::int64_t{0});
      last[c] = std::min(axis_cell(hi[c]) - first_[c], count_[c] - 1);
      if (first[c] > last[c]) return;
    }
    const auto cell_at = [&](std::int64_t x, std::int64_t y, std::int64_t z) { return x + count_[0] * (y + count_[1] * z); };
    if (!cell_starts_.empty()) {
      // Rows of cells in ascending order, each looked up; an empty part of a row is passed
      // over before the clip is asked. The runs are those of the walk below.
      const std::int32_t* starts = cell_starts_.data();
      for (std::int64_t z = first[2]; z <= last[2]; ++z) {
        for (std::int64_t y = first[1]; y <= last[1]; ++y) {
          const std::int64_t row = cell_at(0, y, z);
          if (starts[row + first[0]] == starts[row + last[0] + 1]) continue;
          std::int64_t x_first = first[0];
          std::int64_t x_last = last[0];
          if (!clip(y, z, x_first, x_last)) continue;
          const auto from = static_cast<std::size_t>(starts[row + x_first]);
          const auto to = static_cast<std::size_t>(starts[row + x_last + 1]);
          if (from < to) test(from, to, found);
        }
      }
      return;
    }
    // Each run of cells along x is a contiguous range of the order, and the runs come in
    // ascending cell order. The walk goes from occupied cell to occupied cell, jumping over
    // empty rows of cells, so that its cost follows the points found rather than the cells
    // the box covers (a box far larger than the cloud's spacing costs no more than it holds).
    const auto cells_begin = sorted_cells_.begin();
    const auto cells_end = sorted_cells_.end();
    const std::int64_t last_cell = cell_at(last[0], last[1], last[2]);
    // The row of cells the walk is in, and its part that the clip keeps.
    std::int64_t row_y = -1;
    std::int64_t row_z = -1;
    std::int64_t x_first = 0;
    std::int64_t x_last = -1;
    bool row_open = false;
    auto at = std::lower_bound(cells_begin, cells_end, cell_at(first[0], first[1], first[2]));
    while (at != cells_end && *at <= last_cell) {
      const std::int64_t x = *at % count_[0];
      const std::int64_t y = (*at / count_[0]) % count_[1];
      const std::int64_t z = *at / count_[0] / count_[1];
      const bool in_rows = y >= first[1] && y <= last[1];
      if (in_rows && (y != row_y || z != row_z)) {
        row_y = y;
        row_z = z;
        x_first = first[0];
        x_last = last[0];
        row_open = clip(y, z, x_first, x_last);
      }
      if (in_rows && row_open && x < x_first) {
        at = gallop(at, cells_end, cell_at(x_first, y, z), false);
        continue;
      }
      if (!in_rows || !row_open || x > x_last) {
        // On to the start of the box's next row of cells.
        std::int64_t next_y = y < first[1] ? first[1] : y + 1;
        std::int64_t next_z = z;
        if (next_y > last[1]) {
          next_y = first[1];
          ++next_z;
        }
        if (next_z > last[2]) break;
        at = gallop(at, cells_end, cell_at(first[0], next_y, next_z), false);
        continue;
      }
      const auto end = gallop(at, cells_end, cell_at(x_last, y, z), true);
      test(static_cast<std::size_t>(at - cells_begin), static_cast<std::size_t>(end - cells_begin), found);
      at = end;
    }
  }
};

}  // namespace vandrel
