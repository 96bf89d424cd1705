#include "api/wider_support.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <numeric>
#include <vector>

#include "core/filter_outputs.h"
#include "core/finite.h"
#include "core/local_frame.h"
#include "core/parallel.h"
#include "host/kd_search.h"
#include "host/native_host.h"

namespace vandrel {
namespace {

float distance(const Point& p, const Point& q) {
  const Point d{q[0] - p[0], q[1] - p[1], q[2] - p[2]};
  return std::sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]);
}

// Groups by union under the smaller root: the groups found do not depend on the order the
// links come in.
struct Groups {
  std::vector<std::int32_t> parent;

  explicit Groups(std::size_t n) : parent(n) { std::iota(parent.begin(), parent.end(), 0); }
  std::int32_t root(std::int32_t i) {
    while (parent[static_cast<std::size_t>(i)] != i) {
      const std::int32_t up = parent[static_cast<std::size_t>(parent[static_cast<std::size_t>(i)])];
      parent[static_cast<std::size_t>(i)] = up;
      i = up;
    }
    return i;
  }
  void link(std::int32_t a, std::int32_t b) {
    a = root(a);
    b = root(b);
    if (a == b) return;
    if (a < b) parent[static_cast<std::size_t>(b)] = a;
    else parent[static_cast<std::size_t>(a)] = b;
  }
};

// How far point i lies from the plane of the others of its nearest-neighbour `list`
// (frame_neighbours of them, nearest first), in units of `noise`; NaN with fewer others or
// without noise. The mean is summed in list order.
float plane_offset(std::span<const Point> points, std::size_t i, std::span<const std::int32_t> list, float noise) {
  std::array<Point, frame_neighbours> others;
  std::size_t found = 0;
  for (std::size_t r = 0; r < list.size() && found < others.size(); ++r)
    if (static_cast<std::size_t>(list[r]) != i) others[found++] = points[static_cast<std::size_t>(list[r])];
  if (found < others.size() || !(noise > 0.0f)) return std::numeric_limits<float>::quiet_NaN();
  Point mean{0.0f, 0.0f, 0.0f};
  for (const Point& q : others)
    for (std::size_t c = 0; c < 3; ++c) mean[c] += q[c];
  for (float& c : mean) c /= static_cast<float>(others.size());
  const Frame frame = local_frame(others);
  const Point& p = points[i];
  return std::fabs(to_local(frame, Point{p[0] - mean[0], p[1] - mean[1], p[2] - mean[2]})[2]) / noise;
}

}  // namespace

WiderSupport wider_support(std::span<const Point> points, float sigma, float density, const OutlierRule& rule,
                           int threads) {
  const std::size_t n = points.size();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  WiderSupport wider;
  wider.veil.assign(n, nan);
  wider.small_group.assign(n, 0);
  wider.offset.assign(n, nan);
  wider.offset_around.assign(n, nan);
  std::vector<std::int32_t> rows;
  for (std::size_t i = 0; i < n; ++i)
    if (finite(points[i])) rows.push_back(static_cast<std::int32_t>(i));
  const std::size_t m = rows.size();
  if (m < 2) return wider;
  // The finite points scaled so that neighbours lie about 1 apart, as the filter's block,
  // for the searches' cells, and in the order of those cells, so that one search starts
  // near where the last one ended.
  const float scale = std::sqrt(density);
  const auto cell_of = [&](std::int32_t row) {
    const Point& p = points[static_cast<std::size_t>(row)];
    return std::array<double, 3>{std::floor(double{p[2]} * scale), std::floor(double{p[1]} * scale),
                                 std::floor(double{p[0]} * scale)};
  };
  std::sort(rows.begin(), rows.end(), [&](std::int32_t a, std::int32_t b) {
    const auto cell_a = cell_of(a);
    const auto cell_b = cell_of(b);
    return cell_a != cell_b ? cell_a < cell_b : a < b;
  });
  std::vector<Point> block(m);
  for (std::size_t b = 0; b < m; ++b)
    for (std::size_t c = 0; c < 3; ++c) block[b][c] = points[static_cast<std::size_t>(rows[b])][c] * scale;
  const float noise = sigma * scale;

  NativeHostOptions host_options;
  host_options.threads = threads;
  NativeHost host(host_options);
  const auto listed = static_cast<std::int32_t>(std::min(static_cast<std::size_t>(outlier_listed), m));
  const std::unique_ptr<NeighbourSearch> nearest = host.nearest_neighbours(block, listed, nullptr);
  // Every point's list of itself and its 50 nearest, chunk by chunk: found on this thread,
  // then read by `each(point, list)` on all threads; `after(first, last)` then runs on this
  // thread for the chunk's points.
  NeighbourLists lists;
  constexpr std::int64_t chunk = 16384;
  const auto sweep = [&](const auto& each, const auto& after) {
    for (std::int64_t first = 0; first < static_cast<std::int64_t>(m); first += chunk) {
      const std::int64_t last = std::min(first + chunk, static_cast<std::int64_t>(m));
      lists.clear();
      nearest->find(first, last, nullptr, lists);
      for_each_share(threads, last - first, [&](int, std::int64_t begin, std::int64_t end) {
        for (std::int64_t k = begin; k < end; ++k) each(static_cast<std::size_t>(first + k), lists[k]);
      });
      after(static_cast<std::size_t>(first), static_cast<std::size_t>(last));
    }
  };
  const auto nothing_after = [](std::size_t, std::size_t) {};

  // Each point's mean distance to its 8 nearest others, as the isolation test measures it.
  std::vector<float> near(m);
  sweep([&](std::size_t b, std::span<const std::int32_t> list) { near[b] = neighbour_mean_distances(block, b, list)[0]; },
        nothing_after);

  // The reference of each point (the densest tenth's near mean over its list), its offset
  // and its links; the links of a chunk are joined after it, in point order.
  std::vector<float> reference(m);
  std::vector<float> offset(m);
  const auto linked = static_cast<std::size_t>(rule.group_neighbours);
  std::vector<std::int32_t> links(static_cast<std::size_t>(chunk) * linked);
  Groups groups(m);
  sweep([&](std::size_t b, std::span<const std::int32_t> list) {
    std::array<float, outlier_listed> around{};
    for (std::size_t r = 0; r < list.size(); ++r) around[r] = near[static_cast<std::size_t>(list[r])];
    const auto tenth = static_cast<std::ptrdiff_t>(list.size() / 10);
    // One element, whatever the order it is found in.
    std::nth_element(around.begin(), around.begin() + tenth, around.begin() + static_cast<std::ptrdiff_t>(list.size()));
    reference[b] = around[static_cast<std::size_t>(tenth)];
    offset[b] = plane_offset(block, b, list, noise);
    const std::size_t slot = (b % static_cast<std::size_t>(chunk)) * linked;
    for (std::size_t r = 0; r < linked; ++r) {
      const auto j = r < list.size() ? static_cast<std::size_t>(list[r]) : b;
      const bool link = j != b && distance(block[b], block[j]) <= rule.group_link * std::max(near[b], near[j]);
      links[slot + r] = link ? static_cast<std::int32_t>(j) : -1;
    }
  }, [&](std::size_t first, std::size_t last) {
    for (std::size_t b = first; b < last; ++b)
      for (std::size_t r = 0; r < linked; ++r) {
        const std::int32_t j = links[(b - first) * linked + r];
        if (j >= 0) groups.link(static_cast<std::int32_t>(b), j);
      }
  });
  links = {};
  std::vector<std::int32_t> group_size(m, 0);
  for (std::size_t b = 0; b < m; ++b) ++group_size[static_cast<std::size_t>(groups.root(static_cast<std::int32_t>(b)))];
  if (*std::max_element(group_size.begin(), group_size.end()) >= rule.group_points)
    for (std::size_t b = 0; b < m; ++b)
      wider.small_group[static_cast<std::size_t>(rows[b])] =
          group_size[static_cast<std::size_t>(groups.root(static_cast<std::int32_t>(b)))] < rule.group_points ? 1 : 0;

  // The root mean square offset of each point's 50 nearest others, summed in list order.
  sweep([&](std::size_t b, std::span<const std::int32_t> list) {
    const auto row = static_cast<std::size_t>(rows[b]);
    wider.offset[row] = offset[b];
    if (std::isnan(offset[b])) return;
    float squares = 0.0f;
    std::size_t others = 0;
    for (const std::int32_t r : list) {
      if (static_cast<std::size_t>(r) == b) continue;
      squares += offset[static_cast<std::size_t>(r)] * offset[static_cast<std::size_t>(r)];
      ++others;
    }
    wider.offset_around[row] = std::sqrt(squares / static_cast<float>(others));
  }, nothing_after);

  // The least reference within reach: a veil point's reach takes in the dense surfaces on
  // either side of it. A minimum, whatever order the points in reach come in. No reference
  // in the cloud is below the least of all, so a point whose near mean is within veil_factor
  // of that cannot be a veil point: its search is skipped (the ratio is then left at 1).
  float least_of_all = std::numeric_limits<float>::infinity();
  for (const float value : reference)
    if (value > 0.0f) least_of_all = std::min(least_of_all, value);
  const KdSearch search(block);
  for_each_share(threads, static_cast<std::int64_t>(m), [&](int, std::int64_t begin, std::int64_t end) {
    for (auto b = static_cast<std::size_t>(begin); b < static_cast<std::size_t>(end); ++b) {
      if (!(near[b] > rule.veil_factor * least_of_all)) {
        wider.veil[static_cast<std::size_t>(rows[b])] = 1.0f;
        continue;
      }
      float least = std::numeric_limits<float>::infinity();
      for (const std::int32_t r : search.within(block[b].data(), rule.veil_reach * near[b])) {
        const float value = reference[static_cast<std::size_t>(r)];
        if (value > 0.0f) least = std::min(least, value);
      }
      wider.veil[static_cast<std::size_t>(rows[b])] = std::isfinite(least) ? near[b] / least : 1.0f;
    }
  });
  return wider;
}

}  // namespace vandrel
