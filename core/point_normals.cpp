#include "core/point_normals.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
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
// A larger scale is taken while its normal turns from the next smaller scale's by at most
// this factor times the cloud's median turn at that step (on squared sines' scale: 8^2) ...
constexpr float median_factor_squared = 64.0f;
// ... and by at most 4 degrees (its squared sine): a step that turns a normal further sees
// more of the surface (an edge, a crease, a fine detail), not less of the noise.
constexpr float largest_turn_squared = 0.0048659656f;

float dot(const Point& a, const Point& b) { return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]; }

// The largest power of two at most x (x > 0, finite, normal): exact scaling factors.
float power_of_two_below(float x) { return std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) & 0x7f800000u); }

// What the fits of one point sum over its neighbours, in a frame of its own centred at the
// point (u, v along the surface, h across it, all in units of the frame's `unit`): the
// normal equations of the quadric h = c0 + c1 u + c2 v + c3 u^2 + c4 u v + c5 v^2 (lower
// triangle row by row), and the sums the scatter needs beyond them.
struct QuadricSums {
  std::array<float, 21> gram{};
  std::array<float, 6> moment{};
  float hh = 0.0f;  // sum of h^2

  void add(float u, float v, float h) {
    const std::array<float, 6> basis{1.0f, u, v, u * u, u * v, v * v};
    std::size_t entry = 0;
    for (std::size_t i = 0; i < 6; ++i) {
      for (std::size_t j = 0; j <= i; ++j) gram[entry++] += basis[i] * basis[j];
      moment[i] += basis[i] * h;
    }
    hh += h * h;
  }
};

// The scatter of the summed points about their mean, in the frame (column-major, upper
// triangle filled): from the sums, so centred once at the end.
std::array<float, 9> scatter_of(const QuadricSums& sums) {
  const float k = sums.gram[0];
  const std::array<float, 3> total{sums.gram[1], sums.gram[3], sums.moment[0]};  // u, v, h
  // Sums of products: uu, uv, vv from the gram, uh, vh from the moment, hh.
  const std::array<float, 9> products{sums.gram[2], sums.gram[4], sums.moment[1],
                                      sums.gram[4], sums.gram[5], sums.moment[2],
                                      sums.moment[1], sums.moment[2], sums.hh};
  std::array<float, 9> scatter{};
  for (std::size_t col = 0; col < 3; ++col)
    for (std::size_t row = 0; row <= col; ++row)
      scatter[row + 3 * col] = products[row + 3 * col] - total[row] * (total[col] / k);
  return scatter;
}

// The surface of a point's neighbourhood at each of `scales` sizes (the first
// normal_scales[s] rows of `rows`, nearest first), seen from `at`, the point: the quadric
// height over one frame for all sizes, the principal axes of the smallest neighbourhood (the
// least one its plane's normal), fitted by least squares, and its normal at the point. A
// plane's normal leans on a curved surface unless the point is the neighbourhood's centre;
// the quadric's does not, so larger neighbourhoods stay unbiased. The sums grow row by row
// from one size to the next; each size's equations are scaled by a power of two (exact) so
// that its u and v are about 1. Falls back to the least principal axis of the size's scatter
// when the quadric is not determined (points on a line). The curvature is the scatter's
// surface variation. Sums in list order.
void surface_fits(std::span<const Point> points, std::span<const std::int32_t> rows, std::size_t scales,
                  const Point& at, std::span<NormalFit> fits) {
  const auto smallest = static_cast<std::size_t>(normal_scales[0]);
  Point mean;
  for (std::size_t c = 0; c < 3; ++c) {
    float sum = points[static_cast<std::size_t>(rows[0])][c];
    for (std::size_t r = 1; r < smallest; ++r) sum += points[static_cast<std::size_t>(rows[r])][c];
    mean[c] = sum / static_cast<float>(smallest);
  }
  std::array<float, 9> scatter{};
  for (std::size_t r = 0; r < smallest; ++r) {
    const Point& p = points[static_cast<std::size_t>(rows[r])];
    const Point d = {p[0] - mean[0], p[1] - mean[1], p[2] - mean[2]};
    for (std::size_t col = 0; col < 3; ++col) {
      for (std::size_t row = 0; row <= col; ++row) scatter[row + 3 * col] += d[row] * d[col];
    }
  }
  const SymmetricEigen frame = symmetric_eigen_3x3(scatter);
  const Point along{frame.vectors[0], frame.vectors[1], frame.vectors[2]};
  const Point across{frame.vectors[3], frame.vectors[4], frame.vectors[5]};
  const Point normal{frame.vectors[6], frame.vectors[7], frame.vectors[8]};
  const float spread = std::sqrt((frame.values[0] + frame.values[1]) / static_cast<float>(smallest));
  // Points on one spot (or within a subnormal spread of it): no scaling.
  const float unit =
      spread >= std::numeric_limits<float>::min() && std::isfinite(spread) ? power_of_two_below(spread) : 1.0f;
  QuadricSums sums;
  std::size_t r = 0;
  for (std::size_t s = 0; s < scales; ++s) {
    for (const auto k = static_cast<std::size_t>(normal_scales[s]); r < k; ++r) {
      const Point& p = points[static_cast<std::size_t>(rows[r])];
      const Point d = {(p[0] - at[0]) / unit, (p[1] - at[1]) / unit, (p[2] - at[2]) / unit};
      sums.add(dot(d, along), dot(d, across), dot(d, normal));
    }
    const SymmetricEigen shape = symmetric_eigen_3x3(scatter_of(sums));
    const float total = (shape.values[0] + shape.values[1]) + shape.values[2];
    const float curvature = total > 0.0f ? std::fabs(shape.values[2]) / total : 0.0f;
    // The plane's normal, from the frame's coordinates back to the cloud's.
    Point plane;
    for (std::size_t i = 0; i < 3; ++i)
      plane[i] = (shape.vectors[6] * along[i] + shape.vectors[7] * across[i]) + shape.vectors[8] * normal[i];
    fits[s] = {plane, curvature};
    // u and v of this size in units of `size`, a power of two: the neighbourhood's radius
    // grows by sqrt(2) a size.
    const float size = static_cast<float>(1u << (s / 2));
    std::array<float, 21> gram = sums.gram;
    std::array<float, 6> moment = sums.moment;
    // Each basis function's factor: 1 for the constant, 1 / size for u and v, 1 / size^2 for
    // the squares and the product.
    const std::array<float, 6> factor{1.0f, 1.0f / size, 1.0f / size, 1.0f / (size * size), 1.0f / (size * size),
                                      1.0f / (size * size)};
    std::size_t entry = 0;
    for (std::size_t i = 0; i < 6; ++i) {
      for (std::size_t j = 0; j <= i; ++j) gram[entry++] *= factor[i] * factor[j];
      moment[i] *= factor[i];
    }
    const std::optional<std::array<float, 6>> c = solve_spd_6x6(gram, moment);
    if (!c || !std::isfinite((*c)[1]) || !std::isfinite((*c)[2])) continue;
    // The slopes dh/du, dh/dv at the point (u = v = 0).
    const float slope_u = (*c)[1] / size;
    const float slope_v = (*c)[2] / size;
    Point surface;
    for (std::size_t i = 0; i < 3; ++i) surface[i] = (normal[i] - slope_u * along[i]) - slope_v * across[i];
    const float length = std::sqrt(dot(surface, surface));
    if (!(length > 0.0f) || !std::isfinite(length)) continue;
    for (float& x : surface) x /= length;
    fits[s].normal = surface;
  }
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
        surface_fits(points, list, scales, points[i], std::span<NormalFit>(fits.data(), scales));
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
  // turns by less than median_factor_squared times that and less than largest_turn_squared:
  // near an edge or a fine detail the larger fits turn further, and the point keeps the last
  // scale before them. The median alone is not enough: where most of a cloud's large
  // neighbourhoods reach an edge or a crease (a small cloud of a faceted or detailed object)
  // the median is their turn, and every point would grow across its edge.
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
      limit[s] = std::min(median_factor_squared * column[n / 2], largest_turn_squared);
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
