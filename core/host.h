#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "core/neighbours.h"
#include "vandrel/point.h"

namespace vandrel {

/// Neighbour lists over one block's points, answered for ranges of consecutive points so
/// that a caller holds only the lists it is working on.
class NeighbourSearch {
 public:
  virtual ~NeighbourSearch() = default;
  /// Appends to `out` the lists of block points [begin, end), in point order. A radius
  /// search may be narrowed: given `narrowing`, list i keeps only the points k whose
  /// narrowing.positions[k] lie in narrowing.regions[i - begin], in the cell order of
  /// those positions (narrowing.grid, over them).
  /// Called on the calling thread; an implementation may use all threads inside.
  struct Narrowing {
    std::span<const Point> positions;   // the block's current positions (the pass's)
    std::span<const EstimateRegion> regions;  // one per point of the range, in those positions
    const CellGrid& grid;               // over `positions`, cells of side block_cell_side
    /// How far any position lies from its searched point at most, when the caller knows
    /// (negative when not): a search may skip its radius test for a region that lies within
    /// the radius less twice this, or when the positions are the searched points themselves.
    double moved = -1.0;
  };
  virtual void find(std::int64_t begin, std::int64_t end, const Narrowing* narrowing, NeighbourLists& out) = 0;
  /// Appends to `out` the lists of the block points `rows` (ascending), in that order, as
  /// find over a range does (narrowing.regions holds one region per listed point). By
  /// default, one find per run of consecutive rows; a search that answers scattered points
  /// at once does better where the runs are short.
  virtual void find(std::span<const std::int32_t> rows, const Narrowing* narrowing, NeighbourLists& out) {
    for (std::size_t k = 0; k < rows.size();) {
      std::size_t end = k + 1;
      while (end < rows.size() && rows[end] == rows[end - 1] + 1) ++end;
      if (narrowing == nullptr) {
        find(rows[k], rows[end - 1] + std::int64_t{1}, nullptr, out);
      } else {
        const Narrowing part{narrowing->positions, narrowing->regions.subspan(k, end - k), narrowing->grid, narrowing->moved};
        find(rows[k], rows[end - 1] + std::int64_t{1}, &part, out);
      }
      k = end;
    }
  }

  /// Whether find_here may be called from several threads at once (each with its own
  /// `out`): a pass then searches each point's neighbours on the thread that estimates it.
  virtual bool answers_concurrently() const { return false; }
  /// As find over the rows `rows`, answered on the calling thread alone. Thread-safe when
  /// answers_concurrently.
  virtual void find_here(std::span<const std::int32_t> rows, const Narrowing* narrowing, NeighbourLists& out) {
    find(rows, narrowing, out);
  }
};

/// Everything the filter takes from the environment it runs in: neighbour searches, the
/// console and the thread count. One implementation runs stand-alone (host/native_host.h),
/// another inside MATLAB or GNU Octave (mex/). Every member is called on the thread that
/// called the filter, never inside a parallel region.
class Host {
 public:
  virtual ~Host() = default;

  /// Every block point within `radius` of each block point (inclusive, squared distances
  /// ((dx*dx + dy*dy) + dz*dz) in double), the point itself included, in ascending row
  /// order. The points come sorted by CellGrid::cell_order with cells of side
  /// `block_cell_side`, which lets a grid search list rows in order without sorting.
  /// Asked once per block; the lists serve both passes. `points` outlives the search.
  virtual std::unique_ptr<NeighbourSearch> radius_neighbours(std::span<const Point> points, float radius) = 0;

  /// The `k` nearest block points of each block point, nearest first (the point itself
  /// is one of them). Asked once per pass, on that pass's positions; every list holds
  /// exactly k rows. `points` outlives the search. `grid`, when not null, is a CellGrid over
  /// `points` with cells of side block_cell_side that the search may use; it outlives the search.
  virtual std::unique_ptr<NeighbourSearch> nearest_neighbours(std::span<const Point> points, std::int32_t k,
                                                              const CellGrid* grid) = 0;

  /// The console lines of a run: "////////////////////// itr = <pass> done ////////////////////// \n"
  /// after each pass of each block, and "<percent>% of points processed\n" every 5000 points.
  virtual void pass_done(std::int32_t pass) = 0;
  virtual void points_processed(float percent) = 0;

  /// Threads for the parallel loops, at least 1.
  virtual int thread_count() = 0;

  /// Where the filter stands: `done` of `total` units of `stage` ("radius search",
  /// "pass 1", "pass 2", "merge"), at least once a second of work. A host that wants the
  /// run stopped throws from here (the filter holds nothing that needs more than
  /// unwinding). Does nothing by default.
  virtual void progress(const char* /*stage*/, std::int64_t /*done*/, std::int64_t /*total*/) {}

  /// Called when a stage of the filter ends ("split", "radius search", "nearest
  /// neighbours", "frames", "estimates", "fusion", "solve", "noise update", "merge"), for
  /// hosts that profile. Where the searches answer on every thread, each thread searches,
  /// frames, estimates and fuses its own points: a chunk is then one "estimates" stage
  /// ("nearest neighbours" is the pass's set-up, "fusion" what the last chunk left). Does
  /// nothing by default.
  virtual void stage_done(const char* /*stage*/) {}
};

}  // namespace vandrel
