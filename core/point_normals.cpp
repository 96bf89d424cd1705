#include "core/point_normals.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <queue>
#include <tuple>

#include "core/local_frame.h"
#include "core/parallel.h"
#include "numeric/symmetric_eigen.h"

namespace vandrel {
namespace {

// Points whose nearest neighbours are listed at a time.
constexpr std::int64_t chunk_points = 8192;
// Neighbours of each point the orientation spreads along (the nearest of its 50).
constexpr std::size_t spread_neighbours = 12;

// The scatter matrix of local_frame, in its summation order, and its eigen-decomposition.
SymmetricEigen frame_fit(std::span<const Point, frame_neighbours> neighbourhood) {
  constexpr std::size_t n = frame_neighbours;
  Point mean;
  for (std::size_t c = 0; c < 3; ++c) {
    float sum = neighbourhood[0][c];
    for (std::size_t r = 1; r < n; ++r) sum += neighbourhood[r][c];
    mean[c] = sum / static_cast<float>(n);
  }
  std::array<float, 9> scatter{};
  for (std::size_t r = 0; r < n; ++r) {
    const Point d = {neighbourhood[r][0] - mean[0], neighbourhood[r][1] - mean[1], neighbourhood[r][2] - mean[2]};
    for (std::size_t col = 0; col < 3; ++col) {
      for (std::size_t row = 0; row <= col; ++row) scatter[row + 3 * col] += d[row] * d[col];
    }
  }
  return symmetric_eigen_3x3(scatter);
}

float dot(const Point& a, const Point& b) { return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]; }

void flip(Point& n) {
  for (float& c : n) c = -c;
}

// Hoppe's rule: per connected part, the highest point faces +z; signs spread through a
// minimum spanning tree of 1 - |n_i . n_j| over the nearest-neighbour graph (Prim's
// algorithm; ties broken by row, so the result is deterministic).
void propagate(std::span<const Point> points, std::span<Point> normals, const std::vector<std::int32_t>& graph) {
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

BlockNormals block_normals(Host& host, std::span<const Point> points, const NormalSign& orientation) {
  const std::size_t n = points.size();
  BlockNormals out;
  out.normals.resize(n);
  out.curvature.resize(n);
  if (n < static_cast<std::size_t>(frame_neighbours)) {
    const float nan = std::nanf("");
    std::fill(out.normals.begin(), out.normals.end(), Point{nan, nan, nan});
    std::fill(out.curvature.begin(), out.curvature.end(), nan);
    return out;
  }
  const int threads = host.thread_count();
  const std::unique_ptr<NeighbourSearch> nearest = host.nearest_neighbours(points, frame_neighbours);
  const bool spreading = orientation.rule == NormalSign::Rule::propagate;
  std::vector<std::int32_t> graph(spreading ? n * spread_neighbours : 0);
  NeighbourLists lists;
  for (std::int64_t begin = 0; begin < static_cast<std::int64_t>(n); begin += chunk_points) {
    const std::int64_t end = std::min(begin + chunk_points, static_cast<std::int64_t>(n));
    lists.clear();
    nearest->find(begin, end, nullptr, lists);
    for_each_share(threads, end - begin, [&](int, std::int64_t first, std::int64_t last) {
      std::array<Point, frame_neighbours> neighbourhood;
      for (std::int64_t k = first; k < last; ++k) {
        const std::span<const std::int32_t> rows = lists[k];
        for (std::size_t r = 0; r < neighbourhood.size(); ++r) neighbourhood[r] = points[static_cast<std::size_t>(rows[r])];
        const SymmetricEigen fit = frame_fit(neighbourhood);
        const auto i = static_cast<std::size_t>(begin + k);
        out.normals[i] = {fit.vectors[6], fit.vectors[7], fit.vectors[8]};
        const float total = (fit.values[0] + fit.values[1]) + fit.values[2];
        out.curvature[i] = total > 0.0f ? std::fabs(fit.values[2]) / total : 0.0f;
        if (spreading) {
          // The nearest first; the point itself (first or tied) is skipped by the spread.
          for (std::size_t r = 0; r < spread_neighbours; ++r)
            graph[i * spread_neighbours + r] = rows[r + 1] == static_cast<std::int32_t>(i) ? rows[0] : rows[r + 1];
        }
      }
    });
    host.progress("normals", end, static_cast<std::int64_t>(n));
  }
  host.stage_done("normals");
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

}  // namespace vandrel
