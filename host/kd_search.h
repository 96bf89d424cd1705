#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "vandrel/point.h"

namespace vandrel {

/// Exact neighbour searches over a set of 3-D points, backed by a k-d tree.
/// Points are given as Points, or as a column-major n x 3 single matrix (all x, then all
/// y, then all z).
/// Distances are computed in double from the single coordinates as
/// ((dx*dx + dy*dy) + dz*dz); results are 0-based row numbers ordered by ascending
/// distance, equal distances by ascending row number. Points with a non-finite
/// coordinate are never found. Safe to call from several threads at once.
class KdSearch {
 public:
  KdSearch(const float* points, std::int64_t n);
  explicit KdSearch(std::span<const Point> points);
  ~KdSearch();
  KdSearch(const KdSearch&) = delete;
  KdSearch& operator=(const KdSearch&) = delete;

  /// Every point whose squared distance to `query` is <= radius * radius (radius
  /// widened to double first): the query point itself is included when it is one of them.
  std::vector<std::int32_t> within(const float query[3], float radius) const;

  /// The k nearest points to `query` (fewer when the set holds fewer finite points).
  std::vector<std::int32_t> nearest(const float query[3], std::int32_t k) const;

 private:
  struct Tree;
  Tree* tree_;
};

}  // namespace vandrel
