#include "core/fusion.h"

#include <bit>
#include <climits>
#include <cmath>

#include "core/local_frame.h"
#include "core/parallel.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vandrel {
namespace {

// The share of the support's noise that a plane's misfit is not charged for.
constexpr float misfit_share = 0.75f;
// sqrt(2) in single: the misfit never drops below sqrt(2 / |S|) times the support's noise.
constexpr float misfit_floor_factor = std::bit_cast<float>(0x3FB504F3u);

// The addend of an accepted quadrant estimate, from its plane and its support.
template <class Addend>
Addend addend_of(std::span<const Point> points, std::span<const float> noise, const Frame& frame,
                 const QuadrantEstimate& estimate, std::vector<float>& squares) {
  const std::span<const std::int32_t> support = estimate.support;
  const std::size_t count = support.size();
  const Point& p = estimate.position;

  // The plane's unit normal in the cloud's axes.
  const Point unit = multiply(frame.axes, *estimate.plane);
  const float length = std::sqrt(dot(unit, unit));
  const std::array<float, 3> normal = {unit[0] / length, unit[1] / length, unit[2] / length};

  // Squared distances of the support points to the plane, and their mean squared noise level.
  squares.resize(count);
  float noise_sum = 0.0f;
  for (std::size_t k = 0; k < count; ++k) {
    const auto j = static_cast<std::size_t>(support[k]);
    const Point& x = points[j];
    const float distance = ((x[0] - p[0]) * normal[0] + (x[1] - p[1]) * normal[1]) + (x[2] - p[2]) * normal[2];
    squares[k] = distance * distance;
    noise_sum += noise[j] * noise[j];
  }
  const float support_noise = noise_sum / static_cast<float>(count);
  const float misfit = std::fmax(mean(squares) - support_noise * misfit_share,
                                 (misfit_floor_factor / std::sqrt(static_cast<float>(count))) * support_noise);
  const float w = (1.0f / misfit) * (1.0f / misfit);

  Addend addend;
  for (std::size_t c = 0; c < 3; ++c) {
    for (std::size_t r = 0; r < 3; ++r) addend.normal[r + 3 * c] = (normal[r] * normal[c]) * w;
  }
  addend.target = multiply(addend.normal, p);
  addend.weight = w;
  addend.variance = estimate.deviation * estimate.deviation;
  addend.uses = 1.0f;
  addend.unused = 0.0f;
  return addend;
}

// The thread that adds to an entry's sums: entries are dealt out in runs of 64.
std::size_t owner(std::int32_t entry, std::size_t threads) { return (static_cast<std::size_t>(entry) >> 6) % threads; }

// Inverse-variance mean of the four quadrant positions.
Point fallback_position(const PointEstimate& estimate) {
  float g[4];
  for (std::size_t q = 0; q < 4; ++q) {
    const float d = estimate.quadrants[q].deviation;
    g[q] = 1.0f / (d * d);
  }
  const float total = ((g[0] + g[1]) + g[2]) + g[3];
  Point mean{};
  for (std::size_t c = 0; c < 3; ++c) {
    float sum = g[0] * estimate.quadrants[0].position[c];
    for (std::size_t q = 1; q < 4; ++q) sum = sum + g[q] * estimate.quadrants[q].position[c];
    mean[c] = sum / total;
  }
  return mean;
}

}  // namespace

void Fusion::begin_chunk(int threads, std::size_t count, std::size_t groups, Accumulators& sums) {
  const auto parts = static_cast<std::size_t>(threads > 1 ? threads : 1);
  // Addends are numbered from the last clearing of last_added_, which starts again before the
  // numbers would overflow. What waits is added first then (and when the threads change,
  // since it was dealt out to the threads before).
  const auto addends = static_cast<std::int64_t>(4 * count);
  const bool renumber =
      last_added_.size() != sums.sums.size() || static_cast<std::int64_t>(next_addend_) + addends > INT32_MAX;
  if (waiting_ >= 0 && (renumber || parts != threads_)) {
    for (std::size_t own = 0; own < threads_; ++own) add_made(static_cast<int>(own), sums);
    waiting_ = -1;
  }
  threads_ = parts;
  if (renumber) {
    last_added_.assign(sums.sums.size(), -1);
    next_addend_ = 0;
  }
  current_ = waiting_ == 0 ? 1 : 0;
  Made& made = made_[static_cast<std::size_t>(current_)];
  made.addends.resize(4 * count);
  made.first_addend = next_addend_;
  next_addend_ += static_cast<std::int32_t>(4 * count);
  made.groups = threads_ == 1 ? 0 : groups;
  if (made.routed.size() < made.groups) made.routed.resize(made.groups);
  for (std::size_t g = 0; g < made.groups; ++g) {
    made.routed[g].resize(threads_);
    for (auto& list : made.routed[g]) list.clear();
  }
}

void Fusion::add(Accumulators& sums, std::int32_t entry, const Made& made, std::int32_t at) {
  const auto e = static_cast<std::size_t>(entry);
  const std::int32_t id = made.first_addend + at;
  if (last_added_[e] == id) return;  // listed twice in this support
  last_added_[e] = id;
  // Every sum adds its addend once, as sum + addend, lane by lane.
  float* sum = &sums.sums[e].normal[0];
  const float* addend = &made.addends[static_cast<std::size_t>(at)].normal[0];
#if defined(__SSE2__)
  for (std::size_t x = 0; x < 16; x += 4) _mm_store_ps(sum + x, _mm_add_ps(_mm_load_ps(sum + x), _mm_load_ps(addend + x)));
#else
  for (std::size_t x = 0; x < 16; ++x) sum[x] = sum[x] + addend[x];
#endif
}

void Fusion::make(std::size_t group, std::size_t k, std::int32_t row, const PointEstimate& estimate,
                  std::span<const Point> points, std::span<const float> noise, std::vector<float>& squares,
                  Accumulators& sums) {
  Made& made = made_[static_cast<std::size_t>(current_)];
  for (std::size_t q = 0; q < 4; ++q) {
    const QuadrantEstimate& quadrant = estimate.quadrants[q];
    if (!quadrant.plane) continue;
    const auto at = static_cast<std::int32_t>(4 * k + q);
    made.addends[static_cast<std::size_t>(at)] = addend_of<Addend>(points, noise, estimate.frame, quadrant, squares);
    if (threads_ == 1) {
      for (const std::int32_t support_row : quadrant.support) {
        const std::int32_t entry = sums.entry(support_row);
        if (entry >= 0) add(sums, entry, made, at);
      }
      continue;
    }
    // Room for the whole support in every owner's list, written through pointers and cut
    // back after.
    std::vector<RoutedList>& routed = made.routed[group];
    thread_local std::vector<std::int32_t*> ends;
    ends.resize(threads_);
    const std::size_t room = quadrant.support.size() + 1;
    for (std::size_t t = 0; t < threads_; ++t) {
      RoutedList& list = routed[t];
      const std::size_t size = list.size();
      if (list.capacity() < size + room) list.reserve(std::max(2 * list.capacity(), size + room));
      list.resize(size + room);
      ends[t] = list.data() + size;
      *ends[t]++ = -(at + 1);
    }
    if (threads_ == 2) {
      // Every entry is written to both lists and kept by advancing its owner's end: the
      // owner of a support's next entry is hard to foresee, and a branch on it is often
      // mispredicted.
      std::int32_t* out0 = ends[0];
      std::int32_t* out1 = ends[1];
      for (const std::int32_t support_row : quadrant.support) {
        const std::int32_t entry = sums.entry(support_row);
        if (entry < 0) continue;
        const auto second = static_cast<std::size_t>(entry >> 6) & 1u;
        *out0 = entry;
        *out1 = entry;
        out0 += 1 - second;
        out1 += second;
      }
      ends[0] = out0;
      ends[1] = out1;
    } else {
      // A support's rows come in ascending runs: the owner is worked out again only where
      // the run of 64 entries changes.
      std::int32_t run = -1;
      std::size_t to = 0;
      std::int32_t* out = nullptr;
      for (const std::int32_t support_row : quadrant.support) {
        const std::int32_t entry = sums.entry(support_row);
        if (entry < 0) continue;
        if ((entry >> 6) != run) {
          if (out != nullptr) ends[to] = out;
          run = entry >> 6;
          to = owner(entry, threads_);
          out = ends[to];
        }
        *out++ = entry;
      }
      if (out != nullptr) ends[to] = out;
    }
    for (std::size_t t = 0; t < threads_; ++t) {
      // An owner that got none of the support drops its marker too.
      std::int32_t* end = ends[t];
      if (end[-1] == -(at + 1)) --end;
      routed[t].resize(static_cast<std::size_t>(end - routed[t].data()));
    }
  }
  const std::int32_t entry = sums.entry(row);
  if (entry >= 0) sums.fallback[static_cast<std::size_t>(entry)] = fallback_position(estimate);
}

void Fusion::add_made(int thread, Accumulators& sums) {
  if (waiting_ < 0) return;
  const Made& made = made_[static_cast<std::size_t>(waiting_)];
  const auto own = static_cast<std::size_t>(thread);
  for (std::size_t g = 0; g < made.groups; ++g) {
    std::int32_t at = 0;
    for (const std::int32_t value : made.routed[g][own]) {
      if (value < 0) {
        at = -value - 1;
      } else {
        add(sums, value, made, at);
      }
    }
  }
}

void Fusion::end_chunk() { waiting_ = threads_ == 1 ? -1 : current_; }

void Fusion::finish(Accumulators& sums) {
  if (waiting_ < 0) return;
  for_each_share(static_cast<int>(threads_), static_cast<std::int64_t>(threads_), [&](int, std::int64_t first, std::int64_t last) {
    for (std::int64_t own = first; own < last; ++own) add_made(static_cast<int>(own), sums);
  });
  waiting_ = -1;
}

void Fusion::fuse(int threads, std::span<const Point> points, std::span<const float> noise,
                  std::span<const std::int32_t> rows, std::span<const PointEstimate> estimates, Accumulators& sums) {
  finish(sums);
  // A thread's share is one group.
  const auto parts = static_cast<std::size_t>(threads > 1 ? threads : 1);
  begin_chunk(threads, rows.size(), parts, sums);
  squares_.resize(parts);
  for_each_share(threads, static_cast<std::int64_t>(rows.size()), [&](int thread, std::int64_t first, std::int64_t last) {
    for (auto k = static_cast<std::size_t>(first); k < static_cast<std::size_t>(last); ++k) {
      make(static_cast<std::size_t>(thread), k, rows[k], estimates[k], points, noise, squares_[static_cast<std::size_t>(thread)], sums);
    }
  });
  end_chunk();
  finish(sums);
}

}  // namespace vandrel
