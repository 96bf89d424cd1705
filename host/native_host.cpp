#include "host/native_host.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <optional>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "vandrel/error.h"
#include "core/finite.h"
#include "core/parallel.h"
#include "core/parameters.h"
#include "core/pipeline.h"
#include "host/kd_search.h"

namespace vandrel {
namespace {

// Answers `count` queries (query(k, lists) appends the k-th list) on all threads, each
// thread a contiguous part into lists of its own (`parts`, kept between calls for their
// room), joined in query order: the lists do not depend on the thread count.
template <class Query>
void find_on_threads(int threads, std::int64_t count, std::vector<NeighbourLists>& parts, NeighbourLists& out,
                     Query query) {
  parts.resize(static_cast<std::size_t>(threads));
  for (NeighbourLists& part : parts) part.clear();
  for_each_share(threads, count, [&](int thread, std::int64_t first, std::int64_t last) {
    NeighbourLists& part = parts[static_cast<std::size_t>(thread)];
    for (std::int64_t k = first; k < last; ++k) query(k, part);
  });
  // The first thread's lists become the output as they are when there is none yet (and the
  // output's room goes to the first thread).
  std::size_t first_part = 0;
  if (out.size() == 0 && out.rows.empty()) {
    std::swap(out, parts[0]);
    first_part = 1;
  }
  for (std::size_t p = first_part; p < parts.size(); ++p) out.append(parts[p]);
}

class RadiusSearch : public NeighbourSearch {
 public:
  RadiusSearch(std::span<const Point> points, float radius, int threads)
      : points_(points), radius_(radius), threads_(threads) {}
  void find(std::int64_t begin, std::int64_t end, const Narrowing* narrowing, NeighbourLists& out) override {
    find_rows(end - begin, [&](std::int64_t k) { return begin + k; }, narrowing, out);
  }
  void find(std::span<const std::int32_t> rows, const Narrowing* narrowing, NeighbourLists& out) override {
    find_rows(static_cast<std::int64_t>(rows.size()), [&](std::int64_t k) { return rows[static_cast<std::size_t>(k)]; },
              narrowing, out);
  }
  bool answers_concurrently() const override { return true; }
  void find_here(std::span<const std::int32_t> rows, const Narrowing* narrowing, NeighbourLists& out) override {
    const auto count = static_cast<std::int64_t>(rows.size());
    const auto row_of = [&](std::int64_t k) { return rows[static_cast<std::size_t>(k)]; };
    if (narrowing == nullptr) {
      make_grid();
      for (std::int64_t k = 0; k < count; ++k) unnarrowed(row_of(k), out);
      return;
    }
    const std::array<std::vector<float>, 3>& searched = searched_for(*narrowing);
    for (std::int64_t g = 0; g < count; g += group) narrowed_group(count, row_of, *narrowing, g / group, searched, out);
  }

 private:
  // Narrowed queries come in groups of this many consecutive points, whose regions share one
  // walk over the cells.
  static constexpr std::int64_t group = 8;

  // The lists of the `count` points row_of(0), row_of(1), ...
  template <class RowOf>
  void find_rows(std::int64_t count, RowOf row_of, const Narrowing* narrowing, NeighbourLists& out) {
    if (narrowing == nullptr) {
      make_grid();
      find_on_threads(threads_, count, parts_, out, [&](std::int64_t k, NeighbourLists& part) { unnarrowed(row_of(k), part); });
      return;
    }
    // Each thread takes whole groups, so that the lists do not depend on the thread count.
    const std::int64_t groups = (count + group - 1) / group;
    const std::array<std::vector<float>, 3>& searched = searched_for(*narrowing);
    find_on_threads(threads_, groups, parts_, out, [&](std::int64_t g, NeighbourLists& part) {
      narrowed_group(count, row_of, *narrowing, g, searched, part);
    });
  }

  // Appends the list of point i, not narrowed, to `part`.
  void unnarrowed(std::int64_t i, NeighbourLists& part) const {
    grid_->within(points_, points_[static_cast<std::size_t>(i)], radius_, part.rows);
    part.offsets.push_back(static_cast<std::int64_t>(part.rows.size()));
  }

  // Appends the narrowed lists of group g of the `count` points row_of(0), row_of(1), ... to
  // `part`: the group's regions share one walk over the cells, each then tests the points of
  // its own cells.
  template <class RowOf>
  void narrowed_group(std::int64_t count, RowOf row_of, const Narrowing& narrowing, std::int64_t g,
                      const std::array<std::vector<float>, 3>& searched, NeighbourLists& part) {
    thread_local std::vector<CellGrid::Runs> runs_of;
    const std::int64_t first = g * group;
    const std::int64_t last = std::min(count, first + group);
    narrowing.grid.runs_meeting(narrowing.regions.subspan(static_cast<std::size_t>(first), static_cast<std::size_t>(last - first)),
                                runs_of);
    for (std::int64_t k = first; k < last; ++k) {
      query(row_of(k), narrowing, k, runs_of[static_cast<std::size_t>(k - first)], searched, part);
    }
  }

  // The searched points in the cell order of the narrowing's grid, for the radius test.
  const std::array<std::vector<float>, 3>& searched_for(const Narrowing& narrowing) {
    const bool moved = narrowing.positions.data() != points_.data();
    return moved ? searched_in_cell_order(narrowing.grid) : narrowing.grid.coordinates();
  }

  // Narrowed searches walk the narrowing's grid: a grid of its own is made only for searches
  // that are not narrowed.
  void make_grid() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!grid_) grid_.emplace(points_, block_cell_side);
  }

  // Appends the narrowed list of point i, the k-th of the query, with the local coordinates
  // of its points, to `part`: the points of `runs` that the region holds at their current
  // positions, and within the radius at the searched ones. A region that lies within the
  // radius, however far the points moved since the search, needs no radius test.
  //   searched  the searched points in the cell order of the narrowing's grid
  void query(std::int64_t i, const Narrowing& narrowing, std::int64_t k, const CellGrid::Runs& runs,
             const std::array<std::vector<float>, 3>& searched, NeighbourLists& part) {
    const Point& query = points_[static_cast<std::size_t>(i)];
    const EstimateRegion& region = narrowing.regions[static_cast<std::size_t>(k)];
    const double r = radius_;
    const double moved = narrowing.positions.data() == points_.data() ? 0.0 : narrowing.moved;
    const bool inside_radius = moved >= 0.0 && region.reach() + 2.0 * moved * (1.0 + 1e-9) < r * (1.0 - 1e-9);
    if (inside_radius) {
      narrowing.grid.within(region, runs, nullptr, part.rows, part.locals, part.boxes);
    } else {
      const CellGrid::RadiusTest radius{searched, query, r * r};
      narrowing.grid.within(region, runs, &radius, part.rows, part.locals, part.boxes);
    }
    if (part.boxes.size() != part.rows.size()) part.boxes.clear();
    part.offsets.push_back(static_cast<std::int64_t>(part.rows.size()));
  }

  // The searched points in the cell order of a narrowing's grid, made once per grid (for the
  // radius test of the points' current positions).
  const std::array<std::vector<float>, 3>& searched_in_cell_order(const CellGrid& grid) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (ordered_grid_ != grid.serial() || ordered_[0].size() != grid.order().size()) {
      ordered_ = grid.in_cell_order(points_);
      ordered_grid_ = grid.serial();
    }
    return ordered_;
  }

  std::span<const Point> points_;
  float radius_;
  int threads_;
  std::optional<CellGrid> grid_;
  std::array<std::vector<float>, 3> ordered_;
  std::uint64_t ordered_grid_ = ~std::uint64_t{0};
  std::vector<NeighbourLists> parts_;
  std::mutex mutex_;  // for grid_ and ordered_, made by the first search that needs them
};

// The k nearest points by a walk over cells of the block's grid when every point is finite
// (the filter's blocks), else by the k-d tree (which leaves out non-finite points). Both
// take the k smallest (squared distance, row) pairs, so the lists are the same.
class NearestSearch : public NeighbourSearch {
 public:
  NearestSearch(std::span<const Point> points, std::int32_t k, int threads, const CellGrid* grid)
      : points_(points), k_(k), threads_(threads), grid_(grid) {
    if (grid_ == nullptr) {
      if (std::all_of(points.begin(), points.end(), [](const Point& p) { return finite(p); })) {
        grid_ = &own_grid_.emplace(points, block_cell_side);
      } else {
        tree_.emplace(points);
      }
    }
    fit_cells();
  }
  void find(std::int64_t begin, std::int64_t end, const Narrowing*, NeighbourLists& out) override {
    find_on_threads(threads_, end - begin, parts_, out, [&](std::int64_t k, NeighbourLists& part) {
      query(begin + k, part);
    });
  }
  void find(std::span<const std::int32_t> rows, const Narrowing*, NeighbourLists& out) override {
    find_on_threads(threads_, static_cast<std::int64_t>(rows.size()), parts_, out, [&](std::int64_t k, NeighbourLists& part) {
      query(rows[static_cast<std::size_t>(k)], part);
    });
  }
  bool answers_concurrently() const override { return true; }
  void find_here(std::span<const std::int32_t> rows, const Narrowing*, NeighbourLists& out) override {
    for (const std::int32_t row : rows) query(row, out);
  }

 private:
  // Where the k nearest lie many cells away (a cloud far sparser than the filter's scaled
  // units, as with a density far too large), the walk would cross many cells for each point:
  // the cells are made about as wide as the k-th neighbour typically is far (the median over
  // points spread through the block, so that a few isolated points do not decide it).
  void fit_cells() {
    if (grid_ == nullptr || points_.empty()) return;
    constexpr std::size_t samples = 31;
    std::vector<double> reaches;
    std::vector<std::int32_t> rows;
    for (std::size_t s = 0; s < samples; ++s) {
      CellGrid::NearestScratch scratch;
      rows.clear();
      grid_->nearest(points_[s * (points_.size() - 1) / (samples - 1)], static_cast<std::size_t>(k_), scratch, rows);
      reaches.push_back(scratch.reach);
    }
    std::nth_element(reaches.begin(), reaches.begin() + samples / 2, reaches.end());
    const double typical = reaches[samples / 2];
    if (typical > 4.0 * block_cell_side && std::isfinite(typical)) {
      grid_ = &own_grid_.emplace(points_, static_cast<float>(typical));
    }
  }

  void query(std::int64_t i, NeighbourLists& part) {
    const Point& p = points_[static_cast<std::size_t>(i)];
    if (tree_) {
      part.append(tree_->nearest(p.data(), k_));
      return;
    }
    thread_local CellGrid::NearestScratch scratch;
    part.locals.clear();
    grid_->nearest(p, static_cast<std::size_t>(k_), scratch, part.rows);
    part.offsets.push_back(static_cast<std::int64_t>(part.rows.size()));
  }

  std::span<const Point> points_;
  std::int32_t k_;
  int threads_;
  const CellGrid* grid_;              // the block's, or own_grid_; null with the tree
  std::optional<CellGrid> own_grid_;
  std::optional<KdSearch> tree_;
  std::vector<NeighbourLists> parts_;
};

}  // namespace

NativeHost::NativeHost(NativeHostOptions options) : options_(std::move(options)) {}

std::unique_ptr<NeighbourSearch> NativeHost::radius_neighbours(std::span<const Point> points, float radius) {
  return std::make_unique<RadiusSearch>(points, radius, thread_count());
}

std::unique_ptr<NeighbourSearch> NativeHost::nearest_neighbours(std::span<const Point> points, std::int32_t k,
                                                                const CellGrid* grid) {
  return std::make_unique<NearestSearch>(points, k, thread_count(), grid);
}

void NativeHost::pass_done(std::int32_t pass) {
  char line[96];
  const int length = std::snprintf(line, sizeof line, "////////////////////// itr = %d done ////////////////////// \n", pass);
  print({line, static_cast<std::size_t>(length)});
}

void NativeHost::points_processed(float percent) {
  char line[64];
  const int length = std::snprintf(line, sizeof line, "%.2f%% of points processed\n", static_cast<double>(percent));
  print({line, static_cast<std::size_t>(length)});
}

int NativeHost::thread_count() {
  int threads = options_.threads;
#ifdef _OPENMP
  if (threads <= 0) threads = omp_get_max_threads();
#endif
  return threads > 0 ? threads : 1;
}

void NativeHost::progress(const char* stage, std::int64_t done, std::int64_t total) {
  if (options_.progress && !options_.progress(stage, done, total)) {
    throw Error("Vandrel:cancelled", "The run was cancelled.");
  }
}

void NativeHost::print(std::string_view text) {
  if (options_.console) {
    options_.console(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
}

int threads_for(const DenoiseOptions& options) {
  if (options.threads > 0) return options.threads;
#ifdef _OPENMP
  return omp_get_max_threads();
#else
  return 1;
#endif
}

NativeHostOptions native_host_options(const DenoiseOptions& options) {
  check_thread_count(options.threads);
  NativeHostOptions host_options;
  host_options.threads = options.threads;
  host_options.console = options.console ? options.console : [](std::string_view) {};
  if (options.progress) {
    host_options.progress = [&options](std::string_view stage, std::int64_t done, std::int64_t total) {
      return options.progress({stage, done, total});
    };
  }
  return host_options;
}

std::vector<Point> filter_natively(std::span<const Point> points, float sigma, float density,
                                   const DenoiseOptions& options) {
  NativeHost host(native_host_options(options));
  return filter_cloud(host, points, sigma, density,
                      {options.chunk_points, options.allow_large_neighbourhoods, options.names, {}});
}

}  // namespace vandrel
