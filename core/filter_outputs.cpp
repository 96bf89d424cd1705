#include "core/filter_outputs.h"

#include <algorithm>
#include <cmath>

namespace vandrel {

void FilterOutputs::reset(std::size_t rows) {
  const float nan = std::nanf("");
  normal.assign(normals ? rows : 0, Point{nan, nan, nan});
  curvature.assign(normals ? rows : 0, nan);
  noise_level.assign(noise ? rows : 0, nan);
  first_move.assign(outlier_measures ? rows : 0, nan);
  move_around.assign(outlier_measures ? rows : 0, nan);
  isolation.assign(outlier_measures ? rows : 0, nan);
  spread.assign(outlier_measures ? rows : 0, nan);
}

void FilterOutputs::record_first_pass(Host& host, std::span<const std::int32_t> rows, std::span<const Point> before,
                                      std::span<const Point> after, std::span<const float> levels, float scale,
                                      float input_noise) {
  if (noise)
    for (std::size_t k = 0; k < rows.size(); ++k) noise_level[static_cast<std::size_t>(rows[k])] = levels[k] / scale;
  if (!outlier_measures) return;
  std::vector<float> moves(rows.size());
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const Point d{after[k][0] - before[k][0], after[k][1] - before[k][1], after[k][2] - before[k][2]};
    // Without noise nothing moves.
    moves[k] = input_noise > 0.0f ? std::sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]) / input_noise : 0.0f;
    first_move[static_cast<std::size_t>(rows[k])] = moves[k];
  }
  // Distances in point spacings: the block is scaled so that neighbours lie about 1 apart.
  // The lists hold the point itself first (or a copy of it): distance 0, counted out.
  constexpr std::size_t isolation_neighbours = 8;
  constexpr std::size_t spread_neighbours = 50;
  const std::size_t n = rows.size();
  const std::size_t listed = std::min(spread_neighbours + 1, n);
  const std::unique_ptr<NeighbourSearch> nearest = host.nearest_neighbours(before, static_cast<std::int32_t>(listed), nullptr);
  constexpr std::int64_t chunk = 16384;
  std::vector<float> near_mean(n), far_mean(n);
  NeighbourLists lists;
  for (std::int64_t begin = 0; begin < static_cast<std::int64_t>(n); begin += chunk) {
    const std::int64_t end = std::min(begin + chunk, static_cast<std::int64_t>(n));
    lists.clear();
    nearest->find(begin, end, nullptr, lists);
    for (std::int64_t k = begin; k < end; ++k) {
      const Point& p = before[static_cast<std::size_t>(k)];
      const std::span<const std::int32_t> list = lists[k - begin];
      float near_sum = 0.0f;
      float sum = 0.0f;
      for (std::size_t r = 0; r < list.size(); ++r) {
        const Point& q = before[static_cast<std::size_t>(list[r])];
        const Point d{q[0] - p[0], q[1] - p[1], q[2] - p[2]};
        sum += std::sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]);
        if (r == std::min(isolation_neighbours, list.size() - 1)) near_sum = sum;
      }
      near_mean[static_cast<std::size_t>(k)] = near_sum / static_cast<float>(std::min(isolation_neighbours, list.size() - 1));
      far_mean[static_cast<std::size_t>(k)] = sum / static_cast<float>(list.size() - 1);
    }
  }
  // Each as a ratio to the densest tenth of the point's 50 neighbours (itself among them):
  // a point spaced like the surface points around it scores about 1 however dense the
  // cloud is there (a depth camera's far wall, overlapping flight lines), while one off the
  // surface, in a sparse veil or a small cluster, has surface points among its neighbours
  // that are far denser.
  std::vector<float> around;
  for (std::int64_t begin = 0; begin < static_cast<std::int64_t>(n); begin += chunk) {
    const std::int64_t end = std::min(begin + chunk, static_cast<std::int64_t>(n));
    lists.clear();
    nearest->find(begin, end, nullptr, lists);
    for (std::int64_t k = begin; k < end; ++k) {
      const std::span<const std::int32_t> list = lists[k - begin];
      const auto row = static_cast<std::size_t>(rows[static_cast<std::size_t>(k)]);
      const auto tenth = static_cast<std::ptrdiff_t>(list.size() / 10);
      for (const bool near : {true, false}) {
        const std::vector<float>& mean = near ? near_mean : far_mean;
        around.clear();
        for (const std::int32_t r : list) around.push_back(mean[static_cast<std::size_t>(r)]);
        // One element, whatever the order it is found in.
        std::nth_element(around.begin(), around.begin() + tenth, around.end());
        const float reference = around[static_cast<std::size_t>(tenth)];
        const float own = mean[static_cast<std::size_t>(k)];
        (near ? isolation : spread)[row] = reference > 0.0f ? own / reference : 1.0f;
      }
      // The median move of the neighbours: where all of them move far (vegetation, which
      // no plane fits), a far move is no sign of an outlier.
      around.clear();
      for (const std::int32_t r : list) around.push_back(moves[static_cast<std::size_t>(r)]);
      const auto middle = static_cast<std::ptrdiff_t>(list.size() / 2);
      std::nth_element(around.begin(), around.begin() + middle, around.end());
      move_around[row] = around[static_cast<std::size_t>(middle)];
    }
  }
}

void FilterOutputs::record_normals(Host& host, std::span<const std::int32_t> rows, std::span<const Point> points,
                                   float scale) {
  if (!normals) return;
  NormalSign rule = orientation;
  if (rule.rule == NormalSign::Rule::viewpoint)
    for (float& c : rule.target) c *= scale;
  const BlockNormals found = block_normals(host, points, rule);
  for (std::size_t k = 0; k < rows.size(); ++k) {
    normal[static_cast<std::size_t>(rows[k])] = found.normals[k];
    curvature[static_cast<std::size_t>(rows[k])] = found.curvature[k];
  }
}

}  // namespace vandrel
