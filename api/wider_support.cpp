#include "api/wider_support.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "core/filter_outputs.h"
#include "core/finite.h"
#include "core/local_frame.h"
#include "core/parallel.h"
#include "host/kd_search.h"

namespace vandrel {
namespace {

float distance(const Point& p, const Point& q) {
  const Point d{q[0] - p[0], q[1] - p[1], q[2] - p[2]};
  return std::sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]);
}

// Groups by union under the smaller root row: the groups found do not depend on the order
// the links come in.
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
// (frame_neighbours of them, nearest first), in units of `sigma`; NaN with fewer others or
// without noise. The mean is summed in list order.
float plane_offset(std::span<const Point> points, std::size_t i, std::span<const std::int32_t> list, float sigma) {
  std::array<Point, frame_neighbours> others;
  std::size_t found = 0;
  for (std::size_t r = 0; r < list.size() && found < others.size(); ++r)
    if (static_cast<std::size_t>(list[r]) != i) others[found++] = points[static_cast<std::size_t>(list[r])];
  if (found < others.size() || !(sigma > 0.0f)) return std::numeric_limits<float>::quiet_NaN();
  Point mean{0.0f, 0.0f, 0.0f};
  for (const Point& q : others)
    for (std::size_t c = 0; c < 3; ++c) mean[c] += q[c];
  for (float& c : mean) c /= static_cast<float>(others.size());
  const Frame frame = local_frame(others);
  const Point& p = points[i];
  return std::fabs(to_local(frame, Point{p[0] - mean[0], p[1] - mean[1], p[2] - mean[2]})[2]) / sigma;
}

}  // namespace

WiderSupport wider_support(std::span<const Point> points, float sigma, const OutlierRule& rule, int threads) {
  const std::size_t n = points.size();
  WiderSupport wider;
  wider.veil.assign(n, std::numeric_limits<float>::quiet_NaN());
  wider.small_group.assign(n, 0);
  wider.offset.assign(n, std::numeric_limits<float>::quiet_NaN());
  wider.offset_around.assign(n, std::numeric_limits<float>::quiet_NaN());
  std::vector<std::int32_t> rows;
  for (std::size_t i = 0; i < n; ++i)
    if (finite(points[i])) rows.push_back(static_cast<std::int32_t>(i));
  if (rows.size() < 2) return wider;
  const KdSearch search(points);
  const auto count = static_cast<std::int64_t>(rows.size());
  const auto row_of = [&](std::int64_t k) { return static_cast<std::size_t>(rows[static_cast<std::size_t>(k)]); };

  // Each point's mean distance to its 8 nearest others, as the isolation test measures it.
  constexpr std::int32_t near_listed = 9;
  std::vector<float> near(n, 0.0f);
  for_each_share(threads, count, [&](int, std::int64_t begin, std::int64_t end) {
    for (std::int64_t k = begin; k < end; ++k) {
      const std::size_t i = row_of(k);
      const std::vector<std::int32_t> list = search.nearest(points[i].data(), near_listed);
      near[i] = neighbour_mean_distances(points, i, list)[0];
    }
  });

  // The reference of each point (the densest tenth's near mean over its 50 nearest and
  // itself) and its links, chunk by chunk: the links of a chunk are joined in row order.
  std::vector<float> reference(n, 0.0f);
  Groups groups(n);
  const auto linked = static_cast<std::size_t>(rule.group_neighbours);
  constexpr std::int64_t chunk = 16384;
  std::vector<std::int32_t> links(static_cast<std::size_t>(chunk) * linked);
  for (std::int64_t first = 0; first < count; first += chunk) {
    const std::int64_t last = std::min(first + chunk, count);
    std::fill(links.begin(), links.end(), -1);
    for_each_share(threads, last - first, [&](int, std::int64_t begin, std::int64_t end) {
      std::vector<float> around;
      for (std::int64_t k = first + begin; k < first + end; ++k) {
        const std::size_t i = row_of(k);
        const std::vector<std::int32_t> list = search.nearest(points[i].data(), outlier_listed);
        wider.offset[i] = plane_offset(points, i, list, sigma);
        around.clear();
        for (const std::int32_t r : list) around.push_back(near[static_cast<std::size_t>(r)]);
        const auto tenth = static_cast<std::ptrdiff_t>(list.size() / 10);
        std::nth_element(around.begin(), around.begin() + tenth, around.end());
        reference[i] = around[static_cast<std::size_t>(tenth)];
        const std::size_t slot = static_cast<std::size_t>(k - first) * linked;
        for (std::size_t r = 0; r < std::min(linked, list.size()); ++r) {
          const auto j = static_cast<std::size_t>(list[r]);
          if (j != i && distance(points[i], points[j]) <= rule.group_link * std::max(near[i], near[j]))
            links[slot + r] = list[r];
        }
      }
    });
    for (std::int64_t k = first; k < last; ++k)
      for (std::size_t r = 0; r < linked; ++r) {
        const std::int32_t j = links[static_cast<std::size_t>(k - first) * linked + r];
        if (j >= 0) groups.link(rows[static_cast<std::size_t>(k)], j);
      }
  }
  std::vector<std::int32_t> group_size(n, 0);
  for (const std::int32_t i : rows) ++group_size[static_cast<std::size_t>(groups.root(i))];
  const std::int32_t largest = *std::max_element(group_size.begin(), group_size.end());
  if (largest >= rule.group_points)
    for (const std::int32_t i : rows)
      wider.small_group[static_cast<std::size_t>(i)] =
          group_size[static_cast<std::size_t>(groups.root(i))] < rule.group_points ? 1 : 0;

  // The least reference within reach: a veil point's reach takes in the dense surfaces on
  // either side of it. A minimum, whatever order the points in reach come in.
  for_each_share(threads, count, [&](int, std::int64_t begin, std::int64_t end) {
    std::vector<float> around;
    for (std::int64_t k = begin; k < end; ++k) {
      const std::size_t i = row_of(k);
      if (!std::isnan(wider.offset[i])) {
        // The root mean square offset of its 50 nearest others, summed in list order.
        float squares = 0.0f;
        std::size_t others = 0;
        for (const std::int32_t r : search.nearest(points[i].data(), outlier_listed)) {
          if (static_cast<std::size_t>(r) == i) continue;
          const float value = wider.offset[static_cast<std::size_t>(r)];
          squares += value * value;
          ++others;
        }
        wider.offset_around[i] = std::sqrt(squares / static_cast<float>(others));
      }
      float least = std::numeric_limits<float>::infinity();
      for (const std::int32_t r : search.within(points[i].data(), rule.veil_reach * near[i])) {
        const float value = reference[static_cast<std::size_t>(r)];
        if (value > 0.0f) least = std::min(least, value);
      }
      wider.veil[i] = std::isfinite(least) ? near[i] / least : 1.0f;
    }
  });
  return wider;
}

}  // namespace vandrel
