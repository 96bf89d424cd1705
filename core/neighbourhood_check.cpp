#include "core/neighbourhood_check.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "core/finite.h"
#include "core/parallel.h"
#include "core/point_estimate.h"
#include "vandrel/error.h"

namespace vandrel {
namespace {

constexpr std::int64_t probe_count = 64;
constexpr std::int64_t min_checked_rows = 50;
// More neighbours than this per point, on average, and the parameters are refused.
constexpr double max_mean_neighbours = 20000.0;
// A smaller cloud is refused when nearly all of it (this share) lies within every probe's
// reach and that is more points than a surface sampled at the given density puts there (a
// plane: about 900): the density is then far too small for the cloud's units.
constexpr double whole_cloud_share = 0.9;
constexpr double min_suspect_neighbours = 5000.0;

}  // namespace

std::vector<std::int64_t> NeighbourhoodCheck::probe_ranks(std::int64_t finite_rows) {
  if (finite_rows < min_checked_rows) return {};
  const std::int64_t probes = std::min(probe_count, finite_rows);
  std::vector<std::int64_t> ranks(static_cast<std::size_t>(probes));
  for (std::int64_t k = 0; k < probes; ++k) ranks[static_cast<std::size_t>(k)] = k * finite_rows / probes;
  return ranks;
}

NeighbourhoodCheck::NeighbourhoodCheck(float scale, std::span<const Point> probes) : scale_(scale) {
  for (const Point& p : probes) probes_.push_back({p[0] * scale_, p[1] * scale_, p[2] * scale_});
  const double reach = estimate_region_radius();
  limit_ = reach * reach;
}

void NeighbourhoodCheck::count(std::span<const Point> points, int threads) {
  if (probes_.empty()) return;
  // Counts are integers: their sum does not depend on the threads or the parts.
  std::vector<std::int64_t> counts(static_cast<std::size_t>(threads), 0);
  std::vector<std::int64_t> finite_counts(static_cast<std::size_t>(threads), 0);
  for_each_share(threads, static_cast<std::int64_t>(points.size()), [&](int thread, std::int64_t first, std::int64_t last) {
    std::int64_t count = 0;
    for (auto i = static_cast<std::size_t>(first); i < static_cast<std::size_t>(last); ++i) {
      if (!finite(points[i])) continue;
      ++finite_counts[static_cast<std::size_t>(thread)];
      const Point q{points[i][0] * scale_, points[i][1] * scale_, points[i][2] * scale_};
      for (const Point& s : probes_) {
        const double dx = static_cast<double>(q[0]) - s[0];
        const double dy = static_cast<double>(q[1]) - s[1];
        const double dz = static_cast<double>(q[2]) - s[2];
        count += static_cast<std::int64_t>((dx * dx + dy * dy) + dz * dz <= limit_);
      }
    }
    counts[static_cast<std::size_t>(thread)] = count;
  });
  neighbours_ += std::accumulate(counts.begin(), counts.end(), std::int64_t{0});
  points_ += std::accumulate(finite_counts.begin(), finite_counts.end(), std::int64_t{0});
}

void NeighbourhoodCheck::judge() const {
  if (probes_.empty()) return;
  const double mean = static_cast<double>(neighbours_) / static_cast<double>(probes_.size());
  const bool whole_cloud =
      mean > min_suspect_neighbours && mean >= whole_cloud_share * static_cast<double>(points_);
  if (mean > max_mean_neighbours || whole_cloud) {
    throw Error("Vandrel:hugeNeighbourhood",
                "With sigma and density as given, each point has about " + std::to_string(std::llround(mean)) +
                    " neighbours to fit" + (whole_cloud ? std::string(", nearly the whole cloud") : std::string()) +
                    " (a few hundred to a few thousand is usual): the density is likely too small "
                    "or sigma too large for the cloud's units. Check them, or insist (the run would be slow).");
  }
}

void check_neighbourhood_size(std::span<const Point> cloud, float scale, int threads) {
  std::vector<std::size_t> finite_rows;
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    if (finite(cloud[i])) finite_rows.push_back(i);
  }
  std::vector<Point> probes;
  for (const std::int64_t rank : NeighbourhoodCheck::probe_ranks(static_cast<std::int64_t>(finite_rows.size())))
    probes.push_back(cloud[finite_rows[static_cast<std::size_t>(rank)]]);
  finite_rows = {};
  NeighbourhoodCheck check(scale, probes);
  check.count(cloud, threads);
  check.judge();
}

}  // namespace vandrel
