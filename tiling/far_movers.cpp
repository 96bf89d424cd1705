#include "tiling/far_movers.h"

#include <algorithm>
#include <cmath>

#include "core/local_frame.h"
#include "host/kd_search.h"

namespace vandrel {
namespace {

// Neighbours kept per mover beyond its 50: a mover whose 50th neighbour is as near as the
// last kept cannot tell which of the tied points the filter takes, and is left to the halo.
constexpr std::size_t candidates_kept = static_cast<std::size_t>(frame_neighbours) + 14;

// The squared distance as the filter's nearest-neighbour searches compute it.
double squared_distance(const Point& a, const Point& b) {
  const double dx = static_cast<double>(a[0]) - static_cast<double>(b[0]);
  const double dy = static_cast<double>(a[1]) - static_cast<double>(b[1]);
  const double dz = static_cast<double>(a[2]) - static_cast<double>(b[2]);
  return (dx * dx + dy * dy) + dz * dz;
}

}  // namespace

float first_pass_move(const Point& input, const Point& first, float scale) {
  double squared = 0.0;
  for (std::size_t c = 0; c < 3; ++c) {
    const double d = static_cast<double>(first[c]) - static_cast<double>(input[c] * scale);
    squared += d * d;
  }
  return static_cast<float>(std::sqrt(squared));
}

void FarMovers::offer(std::int64_t row, float move, const Point& input, const Point& first) {
  if (!(move > allowed_)) {
    rest_ = std::max(rest_, move);
    return;
  }
  const auto least_on_top = [](const Mover& a, const Mover& b) { return a.move > b.move; };
  movers_.push_back({move, row, input, first, {}});
  std::push_heap(movers_.begin(), movers_.end(), least_on_top);
  if (movers_.size() > kept_) {
    std::pop_heap(movers_.begin(), movers_.end(), least_on_top);
    rest_ = std::max(rest_, movers_.back().move);
    movers_.pop_back();
  }
}

void FarMovers::search(std::span<const std::int64_t> rows, std::span<const Point> inputs,
                       std::span<const Point> firsts) {
  if (movers_.empty() || rows.empty()) return;
  const KdSearch tree(firsts);
  const auto nearer = [](const Candidate& a, const Candidate& b) {
    return a.squared < b.squared || (a.squared == b.squared && a.row < b.row);
  };
  for (Mover& mover : movers_) {
    for (const std::int32_t k : tree.nearest(mover.first.data(), static_cast<std::int32_t>(candidates_kept))) {
      const auto at = static_cast<std::size_t>(k);
      mover.nearest.push_back({squared_distance(firsts[at], mover.first), rows[at], inputs[at]});
    }
    std::sort(mover.nearest.begin(), mover.nearest.end(), nearer);
    if (mover.nearest.size() > candidates_kept) mover.nearest.resize(candidates_kept);
  }
}

FarMovers::Extra FarMovers::extra() {
  const auto frame = static_cast<std::size_t>(frame_neighbours);
  std::vector<std::pair<std::int64_t, Point>> read;
  std::vector<std::int64_t> known;
  for (const Mover& mover : movers_) {
    // Every point as near as the 50th is among those kept (the filter breaks ties by its own
    // order): unless the last kept is as near too.
    const std::vector<Candidate>& nearest = mover.nearest;
    if (nearest.size() == candidates_kept && !(nearest.back().squared > nearest[frame - 1].squared)) {
      rest_ = std::max(rest_, mover.move);
      continue;
    }
    known.push_back(mover.row);
    read.emplace_back(mover.row, mover.input);
    for (const Candidate& c : nearest) {
      if (nearest.size() >= frame && c.squared > nearest[frame - 1].squared) break;
      read.emplace_back(c.row, c.input);
    }
  }
  std::sort(read.begin(), read.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  read.erase(std::unique(read.begin(), read.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
             read.end());
  std::sort(known.begin(), known.end());
  Extra extra;
  for (const auto& [row, point] : read) {
    extra.rows.push_back(row);
    extra.points.push_back(point);
    extra.frames_known.push_back(static_cast<std::uint8_t>(std::binary_search(known.begin(), known.end(), row)));
  }
  return extra;
}

void add_extra(const FarMovers::Extra& extra, std::vector<std::int64_t>& rows, std::vector<Point>& points,
               std::vector<std::uint8_t>& known) {
  known.clear();
  if (extra.rows.empty()) return;
  std::vector<std::int64_t> merged_rows;
  std::vector<Point> merged_points;
  merged_rows.reserve(rows.size() + extra.rows.size());
  merged_points.reserve(merged_rows.capacity());
  known.reserve(merged_rows.capacity());
  std::size_t k = 0;
  std::size_t e = 0;
  while (k < rows.size() || e < extra.rows.size()) {
    if (e == extra.rows.size() || (k < rows.size() && rows[k] < extra.rows[e])) {
      merged_rows.push_back(rows[k]);
      merged_points.push_back(points[k++]);
      known.push_back(0);
      continue;
    }
    if (k < rows.size() && rows[k] == extra.rows[e]) ++k;  // read already
    merged_rows.push_back(extra.rows[e]);
    merged_points.push_back(extra.points[e]);
    known.push_back(extra.frames_known[e++]);
  }
  rows = std::move(merged_rows);
  points = std::move(merged_points);
}

}  // namespace vandrel
