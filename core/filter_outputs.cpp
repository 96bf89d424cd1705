#include "core/filter_outputs.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace vandrel {

void FilterOutputs::reset(std::size_t rows) {
  const float nan = std::nanf("");
  position.assign(positions ? rows : 0, Point{nan, nan, nan});
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
    moves[k] = first_move_of(before[k], after[k], input_noise);
    first_move[static_cast<std::size_t>(rows[k])] = moves[k];
  }
  const std::size_t n = rows.size();
  const std::size_t listed = std::min(static_cast<std::size_t>(outlier_listed), n);
  const std::unique_ptr<NeighbourSearch> nearest = host.nearest_neighbours(before, static_cast<std::int32_t>(listed), nullptr);
  constexpr std::int64_t chunk = 16384;
  std::vector<float> near_mean(n), far_mean(n);
  NeighbourLists lists;
  for (std::int64_t begin = 0; begin < static_cast<std::int64_t>(n); begin += chunk) {
    const std::int64_t end = std::min(begin + chunk, static_cast<std::int64_t>(n));
    lists.clear();
    nearest->find(begin, end, nullptr, lists);
    for (std::int64_t k = begin; k < end; ++k) {
      const auto means = neighbour_mean_distances(before, static_cast<std::size_t>(k), lists[k - begin]);
      near_mean[static_cast<std::size_t>(k)] = means[0];
      far_mean[static_cast<std::size_t>(k)] = means[1];
    }
  }
  std::vector<float> scratch;
  for (std::int64_t begin = 0; begin < static_cast<std::int64_t>(n); begin += chunk) {
    const std::int64_t end = std::min(begin + chunk, static_cast<std::int64_t>(n));
    lists.clear();
    nearest->find(begin, end, nullptr, lists);
    for (std::int64_t k = begin; k < end; ++k) {
      const auto row = static_cast<std::size_t>(rows[static_cast<std::size_t>(k)]);
      const OutlierMeasures measures =
          outlier_measures_of(lists[k - begin], near_mean, far_mean, moves, static_cast<std::size_t>(k), scratch);
      isolation[row] = measures.isolation;
      spread[row] = measures.spread;
      move_around[row] = measures.move_around;
    }
  }
}

float first_move_of(const Point& before, const Point& after, float input_noise) {
  const Point d{after[0] - before[0], after[1] - before[1], after[2] - before[2]};
  // Without noise nothing moves.
  return input_noise > 0.0f ? std::sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]) / input_noise : 0.0f;
}

std::array<float, 2> neighbour_mean_distances(std::span<const Point> points, std::size_t k,
                                              std::span<const std::int32_t> list) {
  // Distances in point spacings: the block is scaled so that neighbours lie about 1 apart.
  // The lists hold the point itself first (or a copy of it): distance 0, counted out.
  constexpr std::size_t isolation_neighbours = 8;
  const Point& p = points[k];
  float near_sum = 0.0f;
  float sum = 0.0f;
  for (std::size_t r = 0; r < list.size(); ++r) {
    const Point& q = points[static_cast<std::size_t>(list[r])];
    const Point d{q[0] - p[0], q[1] - p[1], q[2] - p[2]};
    sum += std::sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]);
    if (r == std::min(isolation_neighbours, list.size() - 1)) near_sum = sum;
  }
  return {near_sum / static_cast<float>(std::min(isolation_neighbours, list.size() - 1)),
          sum / static_cast<float>(list.size() - 1)};
}

OutlierMeasures outlier_measures_of(std::span<const std::int32_t> list, std::span<const float> near_mean,
                                    std::span<const float> far_mean, std::span<const float> moves, std::size_t k,
                                    std::vector<float>& around) {
  OutlierMeasures measures;
  // Each as a ratio to the densest tenth of the point's 50 neighbours (itself among them):
  // a point spaced like the surface points around it scores about 1 however dense the
  // cloud is there (a depth camera's far wall, overlapping flight lines), while one off the
  // surface, in a sparse veil or a small cluster, has surface points among its neighbours
  // that are far denser.
  const auto tenth = static_cast<std::ptrdiff_t>(list.size() / 10);
  for (const bool near : {true, false}) {
    const std::span<const float> mean = near ? near_mean : far_mean;
    around.clear();
    for (const std::int32_t r : list) around.push_back(mean[static_cast<std::size_t>(r)]);
    // One element, whatever the order it is found in.
    std::nth_element(around.begin(), around.begin() + tenth, around.end());
    const float reference = around[static_cast<std::size_t>(tenth)];
    const float own = mean[k];
    (near ? measures.isolation : measures.spread) = reference > 0.0f ? own / reference : 1.0f;
  }
  // The median move of the neighbours: where all of them move far (vegetation, which
  // no plane fits), a far move is no sign of an outlier.
  around.clear();
  for (const std::int32_t r : list) around.push_back(moves[static_cast<std::size_t>(r)]);
  const auto middle = static_cast<std::ptrdiff_t>(list.size() / 2);
  std::nth_element(around.begin(), around.begin() + middle, around.end());
  measures.move_around = around[static_cast<std::size_t>(middle)];
  return measures;
}

void FilterOutputs::record_normals(Host& host, std::span<const std::int32_t> rows, std::span<const Point> points,
                                   float scale) {
  if (positions)
    for (std::size_t k = 0; k < rows.size(); ++k) position[static_cast<std::size_t>(rows[k])] = points[k];
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
