#include "tiling/far_movers.h"

#include <algorithm>

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

}  // namespace vandrel
