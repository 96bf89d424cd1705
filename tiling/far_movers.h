#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "vandrel/point.h"

namespace vandrel {

/// The few points the first pass throws far, handled apart so that they do not widen the
/// second pass's halo of every tile.
///
/// A tile's second pass needs the 50 nearest neighbours, among the first pass's positions,
/// of each point it estimates; read by input position, its halo must allow for twice the
/// largest first-pass move of any point. A handful of points thrown far (an outlier pulled
/// onto the surface, say) would make every tile read most of the cloud. So the points that
/// move more than `allowed` are collected while the first pass runs (the `kept` farthest;
/// beyond that the halo allows for the rest), their 50 nearest neighbours are found over
/// every tile's own points once the first pass is done, and each second-pass tile reads
/// them and those neighbours besides its halo: the tile then finds the same neighbours for
/// them as the whole cloud, and its halo allows only for the moves of the others.
class FarMovers;

/// Far movers kept apart at most: finding their neighbours costs a search per tile each.
inline constexpr std::size_t far_movers_kept = 512;

/// How far the first pass moved a point, in scaled units: from its input point scaled by
/// `scale` to its first-pass position.
float first_pass_move(const Point& input, const Point& first, float scale);

class FarMovers {
 public:
  /// Rows the second pass reads besides a tile's halo, ascending, with their input points.
  struct Extra {
    std::vector<std::int64_t> rows;
    std::vector<Point> points;
    std::vector<std::uint8_t> frames_known;  // per row: a far mover, its neighbours among the rows
  };

  FarMovers(float allowed, std::size_t kept) : allowed_(allowed), kept_(kept) {}

  /// A point of the first pass: its row, move and first-pass position (scaled), and input point.
  void offer(std::int64_t row, float move, const Point& input, const Point& first);

  /// Whether any point moved more than allowed.
  bool any() const { return !movers_.empty(); }

  /// Finds the far movers' neighbours among one tile's own points: `rows`, their input points
  /// and their first-pass positions (scaled). Every point must come once over all calls.
  void search(std::span<const std::int64_t> rows, std::span<const Point> inputs, std::span<const Point> firsts);

  /// After the searches: the rows to read besides every tile's halo. A mover whose 50th
  /// neighbour ties with those beyond the ones kept is left to the halo.
  Extra extra();

  /// The largest move the second pass's halo must allow for: that of every point not in
  /// extra() (after extra(); before it, of every point not collected).
  float rest() const { return rest_; }

 private:
  struct Candidate {
    double squared;  // to the mover, as the filter's nearest-neighbour search measures it
    std::int64_t row;
    Point input;
  };
  struct Mover {
    float move;
    std::int64_t row;
    Point input;
    Point first;
    std::vector<Candidate> nearest;  // the nearest found so far, ascending
  };
  float allowed_;
  std::size_t kept_;
  float rest_ = 0.0f;
  std::vector<Mover> movers_;  // a heap, least move on top, until the searches
};

/// Adds to a tile's rows (ascending) and their points the extra rows it lacks, and sets
/// `known` (empty when there are none) to whether each point is a far mover whose
/// neighbours came along.
void add_extra(const FarMovers::Extra& extra, std::vector<std::int64_t>& rows, std::vector<Point>& points,
               std::vector<std::uint8_t>& known);

}  // namespace vandrel
