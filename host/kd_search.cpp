#include "host/kd_search.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>

#include <nanoflann.hpp>

#include "core/finite.h"

namespace vandrel {
namespace {

using Neighbour = std::pair<double, std::int32_t>;  // (squared distance, row)

// The finite points, with their row numbers in the caller's set (none kept when every
// point is finite: then point k is row k). The tree reads the coordinates in double.
struct PointSet {
  std::vector<Point> points;
  std::vector<std::int32_t> rows;

  std::int32_t row(std::size_t k) const { return rows.empty() ? static_cast<std::int32_t>(k) : rows[k]; }
  std::size_t kdtree_get_point_count() const { return points.size(); }
  double kdtree_get_pt(std::size_t k, std::size_t dim) const { return points[k][dim]; }
  template <class Box>
  bool kdtree_get_bbox(Box&) const {
    return false;
  }
};

using Index = nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<double, PointSet, double>, PointSet,
                                                  3, std::uint32_t>;

// The tree's pruning works with distances it accumulates incrementally; a bound a
// little wider than the exact one keeps rounding from pruning a point that is exactly
// at the limit. The exact test happens in addPoint.
double widened(double d) { return d * (1.0 + 1e-9) + 1e-300; }

// Collects every point with squared distance <= limit.
class WithinSet {
 public:
  using DistanceType = double;
  using IndexType = std::uint32_t;
  explicit WithinSet(double limit) : limit_(limit) {}
  void init() {}
  bool full() const { return true; }
  double worstDist() const { return widened(limit_); }
  bool addPoint(double dist, std::uint32_t k) {
    if (dist <= limit_) found.push_back({dist, static_cast<std::int32_t>(k)});
    return true;
  }
  std::vector<Neighbour> found;

 private:
  double limit_;
};

// Keeps the k smallest (distance, row) pairs, so that ties at the k-th distance are
// settled by the row number rather than by the order the tree visits points in.
class NearestSet {
 public:
  using DistanceType = double;
  using IndexType = std::uint32_t;
  NearestSet(std::size_t k, const PointSet& set) : k_(k), set_(set) {}
  void init() {}
  bool full() const { return best.size() == k_; }
  double worstDist() const {
    return full() ? widened(best.back().first) : std::numeric_limits<double>::infinity();
  }
  bool addPoint(double dist, std::uint32_t k) {
    const Neighbour candidate{dist, set_.row(k)};
    if (full() && !(candidate < best.back())) return true;
    auto at = std::upper_bound(best.begin(), best.end(), candidate);
    best.insert(at, candidate);
    if (best.size() > k_) best.pop_back();
    return true;
  }
  std::vector<Neighbour> best;

 private:
  std::size_t k_;
  const PointSet& set_;
};

// Orders (squared distance, row) pairs by distance, then row. A radix sort on the
// distance rounded to single precision (rounding is monotonic, and a non-negative single's
// bit pattern orders like its value) takes at most four passes over a query's few thousand
// neighbours, several times faster than a comparison sort; only runs whose rounded
// distances tie are then put in exact order.
void sort_by_distance_then_row(std::vector<Neighbour>& items, std::vector<Neighbour>& scratch) {
  const std::size_t n = items.size();
  if (n < 2) return;
  scratch.resize(n);
  auto rounded = [](const Neighbour& nb) { return std::bit_cast<std::uint32_t>(static_cast<float>(nb.first)); };
  for (int pass = 0; pass < 4; ++pass) {
    const int shift = 8 * pass;
    std::size_t count[257] = {};
    for (const Neighbour& nb : items) ++count[((rounded(nb) >> shift) & 0xFFu) + 1];
    if (count[((rounded(items[0]) >> shift) & 0xFFu) + 1] == n) continue;
    for (int b = 0; b < 256; ++b) count[b + 1] += count[b];
    for (const Neighbour& nb : items) scratch[count[(rounded(nb) >> shift) & 0xFFu]++] = nb;
    items.swap(scratch);
  }
  for (std::size_t begin = 0; begin < n;) {
    std::size_t end = begin + 1;
    while (end < n && rounded(items[end]) == rounded(items[begin])) ++end;
    if (end - begin > 1) {
      std::sort(items.begin() + static_cast<std::ptrdiff_t>(begin), items.begin() + static_cast<std::ptrdiff_t>(end));
    }
    begin = end;
  }
}

bool finite3(const double p[3]) { return finite(p); }

}  // namespace

struct KdSearch::Tree {
  PointSet set;
  std::unique_ptr<Index> index;
};

namespace {

std::vector<Point> points_of_columns(const float* columns, std::int64_t n) {
  std::vector<Point> points(static_cast<std::size_t>(n));
  for (std::int64_t i = 0; i < n; ++i) points[static_cast<std::size_t>(i)] = {columns[i], columns[n + i], columns[2 * n + i]};
  return points;
}

}  // namespace

KdSearch::KdSearch(const float* points, std::int64_t n) : KdSearch(points_of_columns(points, n)) {}

KdSearch::KdSearch(std::span<const Point> points) : tree_(new Tree) {
  PointSet& set = tree_->set;
  if (std::all_of(points.begin(), points.end(), [](const Point& p) { return finite(p); })) {
    set.points.assign(points.begin(), points.end());
  } else {
    for (std::size_t i = 0; i < points.size(); ++i) {
      if (!finite(points[i])) continue;
      set.points.push_back(points[i]);
      set.rows.push_back(static_cast<std::int32_t>(i));
    }
  }
  tree_->index = std::make_unique<Index>(3, tree_->set, nanoflann::KDTreeSingleIndexAdaptorParams(10));
  tree_->index->buildIndex();
}

KdSearch::~KdSearch() { delete tree_; }

std::vector<std::int32_t> KdSearch::within(const float query[3], float radius) const {
  std::vector<std::int32_t> rows;
  const double q[3] = {query[0], query[1], query[2]};
  const double r = radius;
  if (!finite3(q) || !(r >= 0.0) || tree_->set.points.empty()) return rows;
  WithinSet result(r * r);
  tree_->index->findNeighbors(result, q, nanoflann::SearchParams());
  for (Neighbour& nb : result.found) nb.second = tree_->set.row(static_cast<std::size_t>(nb.second));
  std::vector<Neighbour> scratch;
  sort_by_distance_then_row(result.found, scratch);
  rows.reserve(result.found.size());
  for (const Neighbour& nb : result.found) rows.push_back(nb.second);
  return rows;
}

std::vector<std::int32_t> KdSearch::nearest(const float query[3], std::int32_t k) const {
  std::vector<std::int32_t> rows;
  const double q[3] = {query[0], query[1], query[2]};
  if (!finite3(q) || k <= 0 || tree_->set.points.empty()) return rows;
  NearestSet result(static_cast<std::size_t>(k), tree_->set);
  tree_->index->findNeighbors(result, q, nanoflann::SearchParams());
  rows.reserve(result.best.size());
  for (const Neighbour& nb : result.best) rows.push_back(nb.second);
  return rows;
}

}  // namespace vandrel
