#include "core/point_normals.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <optional>
#include <queue>
#include <tuple>

#include "core/parallel.h"
#include "numeric/solve.h"
#include "numeric/symmetric_eigen.h"

namespace vandrel {
namespace {

// Neighbour rows listed at a time.
constexpr std::int64_t chunk_rows = 4 << 20;
// The fewest points normals are fitted to.
constexpr std::size_t min_normal_block = 50;
// Neighbours of each point the orientation spreads along (the nearest of its 50).
constexpr std::size_t spread_neighbours = 12;

// The neighbourhood sizes a normal is fitted at, smallest first.
constexpr std::array<std::int32_t, 5> normal_scales{25, 50, 100, 200, 400};
// A larger scale is taken while its normal stays within this factor of the cloud's median
// deviation from the next smaller scale's normal (on squared sines' scale: 4^2).
constexpr float median_factor_squared = 16.0f;

float dot(const Point& a, const Point& b) { return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]; }

// The surface through the first `k` rows of `rows` (nearest first), seen from `at`: in the
// frame of their principal axes about their mean, the quadric height
// h = c0 + c1 u + c2 v + c3 u^2 + c4 u v + c5 v^2 fitted by least squares (u, v scaled by the
// spread of the points), and its normal at `at`'s (u, v). A plane's normal leans on a curved
// surface unless the point is the neighbourhood's centre; the quadric's does not, so larger
// neighbourhoods stay unbiased. Falls back to the plane's normal when the quadric is not
// determined (points on a line). The curvature is the scatter's surface variation. Sums in
// list order.
NormalFit surface_fit(std::span<const Point> points, std::span<const std::int32_t> rows, std::size_t k,
                       const Point& at) {
  Point mean;
  for (std::size_t c = 0; c < 3; ++c) {
    float sum = points[static_cast<std::size_t>(rows[0])][c];
    for (std::size_t r = 1; r < k; ++r) sum += points[static_cast<std::size_t>(rows[r])][c];
    mean[c] = sum / static_cast<float>(k);
  }
  std::array<float, 9> scatter{};
  for (std::size_t r = 0; r < k; ++r) {
    const Point& p = points[static_cast<std::size_t>(rows[r])];
    const Point d = {p[0] - mean[0], p[1] - mean[1], p[2] - mean[2]};
    for (std::size_t col = 0; col < 3; ++col) {
      for (std::size_t row = 0; row <= col; ++row) scatter[row + 3 * col] += d[row] * d[col];
    }
  }
  const SymmetricEigen fit = symmetric_eigen_3x3(scatter);
  const float total = (fit.values[0] + fit.values[1]) + fit.values[2];
  const float curvature = total > 0.0f ? std::fabs(fit.values[2]) / total : 0.0f;
  const Point along{fit.vectors[0], fit.vectors[1], fit.vectors[2]};
  const Point across{fit.vectors[3], fit.vectors[4], fit.vectors[5]};
  const Point normal{fit.vectors[6], fit.vectors[7], fit.vectors[8]};
  const float spread = std::sqrt((fit.values[0] + fit.values[1]) / static_cast<float>(k));
  if (!(spread > 0.0f)) return {normal, curvature};
  auto in_frame = [&](const Point& p) {
    const Point d = {p[0] - mean[0], p[1] - mean[1], p[2] - mean[2]};
    return std::array<float, 3>{dot(d, along) / spread, dot(d, across) / spread, dot(d, normal)};
  };
  // Normal equations of the quadric, lower triangle row by row.
  std::array<float, 21> gram{};
  std::array<float, 6> moment{};
  for (std::size_t r = 0; r < k; ++r) {
    const auto [u, v, h] = in_frame(points[static_cast<std::size_t>(rows[r])]);
    const std::array<float, 6> basis{1.0f, u, v, u * u, u * v, v * v};
    std::size_t entry = 0;
    for (std::size_t i = 0; i < 6; ++i) {
      for (std::size_t j = 0; j <= i; ++j) gram[entry++] += basis[i] * basis[j];
      moment[i] += basis[i] * h;
    }
  }
  const std::optional<std::array<float, 6>> c = solve_spd_6x6(gram, moment);
  if (!c || !std::isfinite((*c)[1]) || !std::isfinite((*c)[2])) return {normal, curvature};
  const auto [u, v, h] = in_frame(at);
  const float slope_u = ((*c)[1] + 2.0f * (*c)[3] * u + (*c)[4] * v) / spread;
  const float slope_v = ((*c)[2] + (*c)[4] * u + 2.0f * (*c)[5] * v) / spread;
  Point surface;
  for (std::size_t i = 0; i < 3; ++i) surface[i] = (normal[i] - slope_u * along[i]) - slope_v * across[i];
  const float length = std::sqrt(dot(surface, surface));
  if (!(length > 0.0f) || !std::isfinite(length)) return {normal, curvature};
  for (float& x : surface) x /= length;
  return {surface, curvature};
}

void flip(Point& n) {
  for (float& c : n) c = -c;
}

// Hoppe's rule: per connected part, the highest point faces +z; signs spread through a
// minimum spanning tree of 1 - |n_i . n_j| over the nearest-neighbour graph (Prim's
// algorithm; ties broken by row, so the result is deterministic).
void propagate(std::span<const Point> points, std::span<Point> normals, std::span<const std::int32_t> graph) {
  const std::size_t n = points.size();
  std::vector<std::int32_t> by_height(n);
  std::iota(by_height.begin(), by_height.end(), 0);
  std::stable_sort(by_height.begin(), by_height.end(), [&](std::int32_t a, std::int32_t b) {
    return points[static_cast<std::size_t>(a)][2] > points[static_cast<std::size_t>(b)][2];
  });
  std::vector<std::uint8_t> done(n, 0);
  using Edge = std::tuple<float, std::int32_t, std::int32_t>;  // weight, to, from
  std::priority_queue<Edge, std::vector<Edge>, std::greater<>> queue;
  auto reach = [&](std::int32_t from) {
    const auto f = static_cast<std::size_t>(from);
    for (std::size_t r = 0; r < spread_neighbours; ++r) {
      const std::int32_t to = graph[f * spread_neighbours + r];
      if (to < 0 || done[static_cast<std::size_t>(to)]) continue;
      const float weight = 1.0f - std::fabs(dot(normals[f], normals[static_cast<std::size_t>(to)]));
      queue.emplace(weight, to, from);
    }
  };
  for (const std::int32_t seed : by_height) {
    if (done[static_cast<std::size_t>(seed)]) continue;
    if (normals[static_cast<std::size_t>(seed)][2] < 0.0f) flip(normals[static_cast<std::size_t>(seed)]);
    done[static_cast<std::size_t>(seed)] = 1;
    reach(seed);
    while (!queue.empty()) {
      const auto [weight, to, from] = queue.top();
      queue.pop();
      const auto t = static_cast<std::size_t>(to);
      if (done[t]) continue;
      if (dot(normals[t], normals[static_cast<std::size_t>(from)]) < 0.0f) flip(normals[t]);
      done[t] = 1;
      reach(to);
    }
  }
}

}  // namespace

std::size_t normal_scale_count(std::size_t points) {
  if (points < min_normal_block) return 0;
  std::size_t scales = 0;
  while (scales < normal_scales.size() && static_cast<std::size_t>(normal_scales[scales]) <= points) ++scales;
  return scales;
}

std::int32_t largest_normal_scale(std::size_t scales) { return normal_scales[scales - 1]; }

void fit_normals(Host& host, std::span<const Point> points, std::size_t scales, bool spreading,
                 std::span<const std::int32_t> wanted, const NormalFitSink& keep) {
  const int threads = host.thread_count();
  const auto largest = static_cast<std::size_t>(normal_scales[scales - 1]);
  const std::unique_ptr<NeighbourSearch> nearest =
      host.nearest_neighbours(points, static_cast<std::int32_t>(largest), nullptr);
  const auto count = static_cast<std::int64_t>(wanted.empty() ? points.size() : wanted.size());
  NeighbourLists lists;
  std::vector<std::int32_t> rows;
  const std::int64_t chunk = std::max<std::int64_t>(256, chunk_rows / static_cast<std::int64_t>(largest));
  for (std::int64_t begin = 0; begin < count; begin += chunk) {
    const std::int64_t end = std::min(begin + chunk, count);
    lists.clear();
    if (wanted.empty()) {
      nearest->find(begin, end, nullptr, lists);
    } else {
      nearest->find(wanted.subspan(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin)), nullptr,
                    lists);
    }
    for_each_share(threads, end - begin, [&](int, std::int64_t first, std::int64_t last) {
      std::array<NormalFit, normal_scales.size()> fits;
      std::array<std::int32_t, spread_neighbours> graph;
      for (std::int64_t k = first; k < last; ++k) {
        const std::span<const std::int32_t> list = lists[k];
        const auto i = wanted.empty() ? static_cast<std::size_t>(begin + k)
                                      : static_cast<std::size_t>(wanted[static_cast<std::size_t>(begin + k)]);
        for (std::size_t s = 0; s < scales; ++s)
          fits[s] = surface_fit(points, list, static_cast<std::size_t>(normal_scales[s]), points[i]);
        if (spreading) {
          // The nearest first; the point itself (first, or tied) is skipped by the spread.
          for (std::size_t r = 0; r < spread_neighbours; ++r)
            graph[r] = list[r + 1] == static_cast<std::int32_t>(i) ? list[0] : list[r + 1];
        }
        keep(i, std::span<const NormalFit>(fits.data(), scales), std::span<const std::int32_t>(graph.data(),
             spreading ? spread_neighbours : 0), list);
      }
    });
    host.progress("normals", end, count);
  }
}

BlockNormals choose_normals(std::span<const Point> points, std::span<const NormalFit> fits, std::size_t scales,
                            std::span<const std::int32_t> graph, const NormalSign& orientation, int threads) {
  const std::size_t n = points.size();
  BlockNormals out;
  out.normals.resize(n);
  out.curvature.resize(n);
  // How far each scale's normal turns from the next smaller scale's, as a squared sine
  // (1 - cos^2), and the cloud's median of it per scale: what a scale's own noise makes it
  // turn, on a surface smooth at that scale. A point keeps growing its scale while each step
  // turns by less than median_factor_squared times that: near an edge or a fine detail the
  // larger fits turn further, and the point keeps the last scale before them.
  std::vector<float> turn(n * scales, 0.0f);
  for_each_share(threads, static_cast<std::int64_t>(n), [&](int, std::int64_t first, std::int64_t last) {
    for (auto i = static_cast<std::size_t>(first); i < static_cast<std::size_t>(last); ++i) {
      for (std::size_t s = 1; s < scales; ++s) {
        const float cosine = dot(fits[i * scales + s - 1].normal, fits[i * scales + s].normal);
        turn[i * scales + s] = 1.0f - cosine * cosine;
      }
    }
  });
  std::vector<float> limit(scales, 0.0f);
  {
    std::vector<float> column(n);
    for (std::size_t s = 1; s < scales; ++s) {
      for (std::size_t i = 0; i < n; ++i) column[i] = turn[i * scales + s];
      std::nth_element(column.begin(), column.begin() + static_cast<std::ptrdiff_t>(n / 2), column.end());
      limit[s] = median_factor_squared * column[n / 2];
    }
  }
  for_each_share(threads, static_cast<std::int64_t>(n), [&](int, std::int64_t first, std::int64_t last) {
    for (auto i = static_cast<std::size_t>(first); i < static_cast<std::size_t>(last); ++i) {
      std::size_t chosen = 0;
      while (chosen + 1 < scales && turn[i * scales + chosen + 1] <= limit[chosen + 1]) ++chosen;
      out.normals[i] = fits[i * scales + chosen].normal;
      out.curvature[i] = fits[i * scales + chosen].curvature;
    }
  });
  switch (orientation.rule) {
    case NormalSign::Rule::propagate:
      propagate(points, out.normals, graph);
      break;
    case NormalSign::Rule::viewpoint:
      for (std::size_t i = 0; i < n; ++i) {
        const Point to{orientation.target[0] - points[i][0], orientation.target[1] - points[i][1],
                       orientation.target[2] - points[i][2]};
        if (dot(out.normals[i], to) < 0.0f) flip(out.normals[i]);
      }
      break;
    case NormalSign::Rule::direction:
      for (Point& normal : out.normals)
        if (dot(normal, orientation.target) < 0.0f) flip(normal);
      break;
  }
  return out;
}

BlockNormals block_normals(Host& host, std::span<const Point> points, const NormalSign& orientation) {
  const std::size_t n = points.size();
  const std::size_t scales = normal_scale_count(n);
  if (scales == 0) {
    const float nan = std::nanf("");
    return {std::vector<Point>(n, Point{nan, nan, nan}), std::vector<float>(n, nan)};
  }
  const bool spreading = orientation.rule == NormalSign::Rule::propagate;
  std::vector<std::int32_t> graph(spreading ? n * spread_neighbours : 0);
  // Every point's fit at every scale: chosen once the cloud's medians are known.
  std::vector<NormalFit> fits(n * scales);
  fit_normals(host, points, scales, spreading, {},
              [&](std::size_t i, std::span<const NormalFit> fitted, std::span<const std::int32_t> nearest,
                  std::span<const std::int32_t>) {
                std::copy(fitted.begin(), fitted.end(), fits.begin() + static_cast<std::ptrdiff_t>(i * scales));
                std::copy(nearest.begin(), nearest.end(),
                          graph.begin() + static_cast<std::ptrdiff_t>(i * nearest.size()));
              });
  BlockNormals out = choose_normals(points, fits, scales, graph, orientation, host.thread_count());
  host.stage_done("normals");
  return out;
}

}  // namespace vandrel
