#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "vandrel/point.h"

namespace vandrel {

/// The refusal of huge neighbourhoods ("Vandrel:hugeNeighbourhood"): parameters that would
/// give each point a large part of the cloud to fit (a density in the wrong units, say) are
/// refused before the heavy work. Judged from the mean number of points within an
/// estimate's in-plane reach of up to 64 probes spread evenly over the cloud's finite rows
/// in input order, so a cloud held whole, cut in tiles or seen in parts is judged alike.
class NeighbourhoodCheck {
 public:
  /// Which finite rows are the probes, counting finite rows only from 0, ascending; none
  /// for fewer than 50 finite rows.
  static std::vector<std::int64_t> probe_ranks(std::int64_t finite_rows);
  /// `probes`: the points at those ranks, in the cloud's units; `scale`: sqrt(density).
  NeighbourhoodCheck(float scale, std::span<const Point> probes);
  /// Counts the neighbours the probes find among `points`, one part of the cloud (rows that
  /// are not finite are skipped); every point must be counted once, parts in any order.
  void count(std::span<const Point> points, int threads);
  /// Throws "Vandrel:hugeNeighbourhood" for a mean above 20000, or above 5000 when that is
  /// nearly the whole cloud (90 % of the points counted).
  void judge() const;

 private:
  float scale_;
  double limit_;
  std::vector<Point> probes_;  // scaled
  std::int64_t neighbours_ = 0;
  std::int64_t points_ = 0;  // finite points counted
};

/// NeighbourhoodCheck over a cloud held whole (cloud units).
void check_neighbourhood_size(std::span<const Point> cloud, float scale, int threads);

}  // namespace vandrel
