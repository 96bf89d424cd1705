#include "api/wider_support.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "core/filter_outputs.h"
#include "core/finite.h"
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

}  // namespace

WiderSupport wider_support(std::span<const Point> points, const OutlierRule& rule, int threads) {
  const std::size_t n = points.size();
  WiderSupport wider;
  wider.veil.assign(n, std::numeric_limits<float>::quiet_NaN());
  wider.small_group.assign(n, 0);
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
    for (std::int64_t k = begin; k < end; ++k) {
      const std::size_t i = row_of(k);
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
