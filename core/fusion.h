#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "vandrel/point.h"
#include "core/neighbours.h"
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
/// The work is split twice: an estimate's addends are made by the thread that estimated its
/// point, and each sum is added to only by the thread that owns its entry (entries are dealt
/// out to threads in runs of 64), which takes the addends of a chunk group by group, in
/// order. On one thread the addends go straight to the sums, in the same order.
class Fusion {
 public:
  /// Fuses the estimates of the block points `rows` (ascending, as the chunks before) into
  /// `sums`, and stores each kept point's fallback position.
  ///   points, noise  the block's positions and noise levels of this pass
  void fuse(int threads, std::span<const Point> points, std::span<const float> noise, std::span<const std::int32_t> rows,
            std::span<const PointEstimate> estimates, Accumulators& sums);

  /// The same in steps, for a pass that estimates a chunk's points on all threads and fuses
  /// each estimate as soon as it is made. A chunk's points are numbered 0, 1, ... in order
  /// and come in `groups` groups of consecutive points (group g before group g + 1).
  ///   begin_chunk  on the calling thread, before a chunk's addends are made; `threads` is
  ///                the same for every chunk of a pass
  ///   make         for every point of the chunk, on any thread (a thread's `squares` its own)
  ///   add_made     on each thread t in [0, threads): adds what the chunks before the current
  ///                one made to the sums that thread t owns; may run while the current
  ///                chunk's addends are being made
  ///   end_chunk    on the calling thread, once the chunk's addends are all made
  ///   finish       on the calling thread: adds what is still waiting, on all threads
  void begin_chunk(int threads, std::size_t count, std::size_t groups, Accumulators& sums);
  void make(std::size_t group, std::size_t k, std::int32_t row, const PointEstimate& estimate,
            std::span<const Point> points, std::span<const float> noise, std::vector<float>& squares, Accumulators& sums);
  void add_made(int thread, Accumulators& sums);
  void end_chunk();
  void finish(Accumulators& sums);

 private:
  using Addend = Accumulators::Sums;  // w n n', w n n' p, w, the squared deviation, 1
  // The entries an owner adds to, each addend's after -(its index in the chunk's addends + 1).
  using RoutedList = std::vector<std::int32_t, UninitialisedAllocator<std::int32_t>>;
  // What one chunk made: its addends and, on several threads, where each goes.
  struct Made {
    std::vector<Addend> addends;                        // four per point of the chunk, by quadrant
    std::vector<std::vector<RoutedList>> routed;  // [group][owning thread]
    std::size_t groups = 0;
    std::int32_t first_addend = 0;  // the number of the chunk's first addend since last_added_ was cleared
  };
  void add(Accumulators& sums, std::int32_t entry, const Made& made, std::int32_t at);

  std::size_t threads_ = 1;
  std::array<Made, 2> made_;        // the current chunk's, and the one before it while its sums wait
  int current_ = 0;
  int waiting_ = -1;                // the made_ whose addends wait to be added, or -1
  std::vector<std::int32_t> last_added_;  // per entry: the last addend it received
  std::int32_t next_addend_ = 0;    // the number the next chunk's first addend gets
  std::vector<std::vector<float>> squares_;  // per thread, for fuse
};

}  // namespace vandrel
