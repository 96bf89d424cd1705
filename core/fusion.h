#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "vandrel/point.h"
#include "core/point_estimate.h"
#include "numeric/products.h"

namespace vandrel {

/// Per-point sums that fusing the estimates builds, and that the position solve and the
/// noise update read: for every block point, or for the points a caller keeps (a tile's
/// own points), whose sums then take entries in block order.
struct Accumulators {
  /// Sums for all n block points: entry j belongs to block point j.
  explicit Accumulators(std::size_t n) { resize(n); }
  /// Sums for the block points whose `kept` value is nonzero (one value per block point).
  explicit Accumulators(std::span<const std::uint8_t> kept) : slot(kept.size(), -1) {
    std::size_t count = 0;
    for (std::size_t j = 0; j < kept.size(); ++j) {
      if (kept[j] != 0) slot[j] = static_cast<std::int32_t>(count++);
    }
    resize(count);
  }
  /// The entry of block point j, or -1 when its sums are not kept.
  std::int32_t entry(std::int32_t j) const { return slot.empty() ? j : slot[static_cast<std::size_t>(j)]; }

  /// One point's sums: sixteen floats, one cache line, so that an estimate is added to a
  /// point in four packed additions (each lane rounds as the scalar addition does).
  struct alignas(64) Sums {
    Matrix3 normal;  // sum of w n n' over the planes the point took part in
    Point target;    // sum of w n n' p
    float weight;    // sum of w
    float variance;  // sum of the squared deviations of those estimates
    float uses;      // number of those estimates
    float unused;
  };
  static_assert(sizeof(Sums) == 16 * sizeof(float));

  std::vector<std::int32_t> slot;  // entry of each block point (-1: not kept); empty: entry j is point j
  std::vector<Sums> sums;          // per entry
  std::vector<Point> fallback;     // inverse-variance mean of the point's own four quadrant positions

 private:
  void resize(std::size_t n) {
    sums.assign(n, Sums{});
    fallback.assign(n, Point{});
  }
};

/// Fuses point estimates into the sums, on all threads, with every sum built in one fixed
/// order whatever the thread count.
///
/// Each accepted quadrant estimate is added to the sums of every point of its support whose
/// sums are kept. Its weight is the inverse square of its plane's misfit beyond what the
/// support's noise explains. A point listed twice in a support receives the estimate once.
/// A point's sums receive the estimates in the order of the points they belong to (chunk
/// order, and chunks in order), then quadrant order; this fixes every sum's rounding.
///
/// The work is split twice: the estimates' addends are made by the thread that owns a part
/// of the chunk, and each sum is added to only by the thread that owns its entry (entries
/// are dealt out to threads in runs of 64), which takes the addends of every part in order.
class Fusion {
 public:
  /// Fuses the estimates of the block points `rows` (ascending, as the chunks before) into
  /// `sums`, and stores each kept point's fallback position.
  ///   points, noise  the block's positions and noise levels of this pass
  void fuse(int threads, std::span<const Point> points, std::span<const float> noise, std::span<const std::int32_t> rows,
            std::span<const PointEstimate> estimates, Accumulators& sums);

 private:
  using Addend = Accumulators::Sums;  // w n n', w n n' p, w, the squared deviation, 1
  struct Routed {
    std::int32_t entry;
    std::int32_t addend;  // index in addends_
  };
  std::vector<Addend> addends_;                       // four per point of the chunk, by quadrant
  std::vector<std::vector<std::vector<Routed>>> routed_;  // [making thread][owning thread]
  std::vector<std::vector<float>> squares_;           // per thread
  std::vector<std::int32_t> last_added_;              // per entry: the last addend it received
  std::int32_t first_addend_ = 0;                     // the number of this chunk's first addend since last_added_ was cleared
};

}  // namespace vandrel
