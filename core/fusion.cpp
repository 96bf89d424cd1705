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

void Fusion::fuse(int threads, std::span<const Point> points, std::span<const float> noise,
                  std::span<const std::int32_t> rows, std::span<const PointEstimate> estimates, Accumulators& sums) {
  const auto parts = static_cast<std::size_t>(threads);
  routed_.resize(parts);
  squares_.resize(parts);
  for (auto& made : routed_) {
    made.resize(parts);
    for (auto& list : made) list.clear();
  }
  addends_.resize(4 * rows.size());
  // Addends are numbered from the last clearing of last_added_, which starts again before the
  // numbers would overflow.
  if (last_added_.size() != sums.sums.size() ||
      static_cast<std::int64_t>(first_addend_) + static_cast<std::int64_t>(addends_.size()) > INT32_MAX) {
    last_added_.assign(sums.sums.size(), -1);
    first_addend_ = 0;
  }

  // Adds addend `at` to the sums of `entry`, once for the addend's support.
  const auto add = [&](std::int32_t entry, std::int32_t at) {
    const auto e = static_cast<std::size_t>(entry);
    const std::int32_t id = first_addend_ + at;
    if (last_added_[e] == id) return;  // listed twice in this support
    last_added_[e] = id;
    // Every sum adds its addend once, as sum + addend, lane by lane.
    float* sum = &sums.sums[e].normal[0];
    const float* addend = &addends_[static_cast<std::size_t>(at)].normal[0];
#if defined(__SSE2__)
    for (std::size_t x = 0; x < 16; x += 4) _mm_store_ps(sum + x, _mm_add_ps(_mm_load_ps(sum + x), _mm_load_ps(addend + x)));
#else
    for (std::size_t x = 0; x < 16; ++x) sum[x] = sum[x] + addend[x];
#endif
  };

  // Addends, routed to the threads that own their support's entries.
  for_each_share(threads, static_cast<std::int64_t>(rows.size()), [&](int thread, std::int64_t first, std::int64_t last) {
    auto& routed = routed_[static_cast<std::size_t>(thread)];
    for (auto k = static_cast<std::size_t>(first); k < static_cast<std::size_t>(last); ++k) {
      const PointEstimate& estimate = estimates[k];
      for (std::size_t q = 0; q < 4; ++q) {
        const QuadrantEstimate& quadrant = estimate.quadrants[q];
        if (!quadrant.plane) continue;
        const std::size_t at = 4 * k + q;
        addends_[at] = addend_of<Addend>(points, noise, estimate.frame, quadrant, squares_[static_cast<std::size_t>(thread)]);
        for (const std::int32_t row : quadrant.support) {
          const std::int32_t entry = sums.entry(row);
          if (entry < 0) continue;
          // On one thread the addend goes straight to the sums, in the same order.
          if (parts == 1) {
            add(entry, static_cast<std::int32_t>(at));
          } else {
            routed[owner(entry, parts)].push_back({entry, static_cast<std::int32_t>(at)});
          }
        }
      }
      const std::int32_t entry = sums.entry(rows[k]);
      if (entry >= 0) sums.fallback[static_cast<std::size_t>(entry)] = fallback_position(estimate);
    }
  });

  // Each owner adds, in the order the addends were made.
  if (parts > 1) {
    for_each_share(threads, static_cast<std::int64_t>(parts), [&](int, std::int64_t first, std::int64_t last) {
      for (auto own = static_cast<std::size_t>(first); own < static_cast<std::size_t>(last); ++own) {
        for (const auto& made : routed_) {
          for (const Routed& r : made[own]) add(r.entry, r.addend);
        }
      }
    });
  }
  first_addend_ += static_cast<std::int32_t>(addends_.size());
}

}  // namespace vandrel
